#pragma once

// UPnP IGD over our own HTTP client: the device description, parsed with miniupnpc's
// parserootdesc and GetUPNPUrls, and SOAP actions on its WANIPConnection or WANPPPConnection
// service, built here and parsed with miniupnpc's ParseNameValue. Only the device's own address
// is ever contacted.

#include "router/httpfetch.h"
#include "router/ssdp.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillmere::router {

struct IgdService
{
    QHostAddress address; // the device
    HttpUrl description;
    HttpUrl control;
    QByteArray serviceType; // urn:schemas-upnp-org:service:WAN(IP|PPP)Connection:N
};

using SoapArguments = QList<QPair<QByteArray, QByteArray>>;

struct SoapReply
{
    bool answered = false; // a reply came that could be read (success or a UPnP error)
    int errorCode = 0;     // the UPnP error code; 0 when none
    QString error;         // one line when not ok(): no reply, or the UPnP error
    QList<QPair<QByteArray, QString>> values; // the reply's elements, each value at most 127 bytes

    bool ok() const { return answered && errorCode == 0 && error.isEmpty(); }
    QString value(QByteArrayView name) const;
};

// The SOAP request body for `action` (values are escaped here).
QByteArray soapEnvelope(QByteArrayView serviceType, QByteArrayView action,
                        const SoapArguments& arguments);

// Reads a device description: the WAN connection services it offers (at most two, a
// WANIPConnection and a WANPPPConnection, in the order listed) with their control URLs, each of
// which must be on the device that answered the search. Empty otherwise, with `*why`.
QList<IgdService> servicesFromDescription(QByteArrayView body, const SsdpAnswer& answer,
                                          QString* why);
// The first of them.
std::optional<IgdService> serviceFromDescription(QByteArrayView body, const SsdpAnswer& answer,
                                                 QString* why);

// Reads a SOAP reply (its HTTP status and body, of which at most `limitBytes` are looked at):
// the values, or the UPnP error it carries.
SoapReply readSoapReply(int status, QByteArrayView body, qsizetype limitBytes);

class UpnpClient
{
public:
    // Each HTTP exchange takes at most `fetchMs` and reads at most `limitBytes`. Lines for the
    // exchange go to `log`, which must outlive the client.
    UpnpClient(int fetchMs, qsizetype limitBytes, QStringList* log);

    // Fetches and reads the description a search answer names: its WAN connection services.
    // Empty (with a log line and lastError()) when it is no IGD with one on that device.
    QList<IgdService> readDescription(const SsdpAnswer& answer, Deadline until);

    SoapReply call(const IgdService& service, QByteArrayView action, const SoapArguments& arguments,
                   Deadline until);

    const QString& lastError() const { return m_lastError; }
    // Adds a line of the caller's to the exchange's log.
    void note(const QString& line) { m_log->append(line); }

private:
    Deadline fetchDeadline(Deadline until) const;

    int m_fetchMs;
    qsizetype m_limitBytes;
    QStringList* m_log;
    QString m_lastError;
};

} // namespace quillmere::router
