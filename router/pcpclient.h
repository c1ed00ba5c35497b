#pragma once

// PCP (RFC 6887) over a UDP socket of its own, beside NAT-PMP on the same server port. Every
// call blocks until an answer or the caller's deadline, whichever comes first, and runs on the
// router client's worker thread.

#include "common/probeprotocol.h"
#include "router/httpfetch.h"
#include "router/pcp.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

namespace quillmere::router {

// What an ANNOUNCE came to.
struct PcpAnnounceReply
{
    bool answered = false; // something answered, PCP or a NAT-PMP server
    bool present = false;  // a PCP server answered SUCCESS
    int version = pcp::kVersion;
    int result = -1; // the result code; -1: no answer
    std::optional<quint32> epoch;
    bool natpmpOnly = false; // UNSUPP_VERSION: NAT-PMP is the way to this server
    QString error;           // one line when not present
};

struct PcpMapRequest
{
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    quint16 internalPort = 0;
    quint16 suggestedExternalPort = 0;     // 0: any
    QHostAddress suggestedExternalAddress; // null: any
    // The address the mapping goes to, IPv4 or IPv6 (an IPv6 pinhole). The request is sent
    // from it. Null: this computer's address towards the gateway.
    QHostAddress internalAddress;
    pcp::Nonce nonce{};   // the same nonce to renew or delete the mapping
    quint32 lifetime = 0; // 0: delete
};

struct PcpMapReply
{
    bool answered = false;
    int result = -1; // the result code; -1: no answer
    QString error;   // one line when not SUCCESS, naming the result code
    QHostAddress externalAddress;
    quint16 externalPort = 0;
    quint16 internalPort = 0;
    quint32 lifetime = 0;
    quint32 epoch = 0;
    QHostAddress internalAddress; // the address the request was sent from

    bool ok() const { return answered && result == pcp::Success; }
};

class PcpClient
{
public:
    // `gateway` is the PCP server's address (IPv4 or IPv6), `port` 5351 outside tests. Lines for
    // the exchange go to `log`, which must outlive the client.
    PcpClient(const QHostAddress& gateway, quint16 port, QStringList* log);

    // While *cancel is true, a wait for an answer ends within ~50 ms (another thread sets it).
    void setCancel(const std::atomic<bool>* cancel) { m_cancel = cancel; }
    QHostAddress gateway() const { return m_gateway; }

    PcpAnnounceReply announce(Deadline until);
    PcpMapReply map(const PcpMapRequest& request, Deadline until);

    // 12 random bytes from the system's generator.
    static pcp::Nonce randomNonce();

private:
    struct Exchange
    {
        std::optional<pcp::Reply> reply;
        QHostAddress source;
        QString error;
    };
    // Sends `request` (resent while no answer comes) and reads the first reply that answers it.
    // `build` makes the request from the socket's source address.
    template <typename Build>
    Exchange exchange(const QHostAddress& from, std::uint8_t opcode, const pcp::Nonce* nonce,
                      Build build, Deadline until);

    QHostAddress m_gateway;
    quint16 m_port;
    QStringList* m_log;
    const std::atomic<bool>* m_cancel = nullptr;
};

} // namespace quillmere::router
