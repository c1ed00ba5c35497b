#pragma once

// NAT-PMP through libnatpmp, with our own deadline: the request is sent, and resent on
// libnatpmp's schedule, only until the caller's deadline (never its full nine tries).

#include "common/probeprotocol.h"
#include "router/httpfetch.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <natpmp.h>

#include <atomic>

namespace quillmere::router {

struct NatpmpReply
{
    bool answered = false; // the gateway answered over NAT-PMP (with any result)
    int result = 0;        // 0, or libnatpmp's NATPMP_ERR_* for what went wrong
    QString error;         // one line when result != 0
    QString publicAddress; // a public address reply
    quint16 privatePort = 0;
    quint16 mappedPort = 0; // a mapping reply
    quint32 lifetime = 0;
};

class NatpmpClient
{
public:
    // `gateway` empty: the default gateway. `port` is NAT-PMP's own outside tests. Lines for the
    // exchange go to `log`, which must outlive the client and is only touched by the thread
    // that calls publicAddress() or map().
    NatpmpClient(const QString& gateway, quint16 port, QStringList* log);
    ~NatpmpClient();
    NatpmpClient(const NatpmpClient&) = delete;
    NatpmpClient& operator=(const NatpmpClient&) = delete;

    bool isOpen() const { return m_open; }
    // While *cancel is true, a wait for an answer ends within ~50 ms (another thread sets it).
    void setCancel(const std::atomic<bool>* cancel) { m_cancel = cancel; }
    QHostAddress gateway() const { return m_gateway; }

    NatpmpReply publicAddress(Deadline until);
    // lifetime 0 removes this computer's mapping of privatePort.
    NatpmpReply map(ProbeProtocol protocol, quint16 privatePort, quint16 publicPort,
                    quint32 lifetime, Deadline until);

private:
    NatpmpReply await(Deadline until, int expectedType);

    natpmp_t m_natpmp{};
    bool m_open = false;
    QHostAddress m_gateway;
    quint16 m_port;
    QStringList* m_log;
    const std::atomic<bool>* m_cancel = nullptr;
};

} // namespace quillmere::router
