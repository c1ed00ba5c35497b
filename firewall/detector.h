#pragma once

// Finds which firewall this computer runs, without root: ufw from its world-readable
// configuration, firewalld over the system bus, plain nftables only where this program has
// CAP_NET_ADMIN to list the ruleset. Everything is bounded in time; found() follows once.

#include "firewall/firewalld.h"
#include "firewall/firewallfacts.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <memory>
#include <optional>

namespace quillmere::firewall {

// Where the detector looks; the tests give files, a bus and a program of their own.
struct DetectorSources
{
    QString ufwConf = QStringLiteral("/etc/ufw/ufw.conf");
    QString procStatus = QStringLiteral("/proc/self/status");
    QString route = QStringLiteral("/proc/net/route");
    QString ipv6Route = QStringLiteral("/proc/net/ipv6_route");
    // nullopt: the system bus.
    std::optional<QDBusConnection> bus;
    QString nftProgram = QStringLiteral("nft");
    // Each D-Bus call, and nft, get this long; the whole look at most twice as long.
    int timeoutMs = 1000;
};

class FirewallDetector : public QObject
{
    Q_OBJECT

public:
    explicit FirewallDetector(DetectorSources sources = {}, QObject* parent = nullptr);
    ~FirewallDetector() override;

    // Starts a new look (one under way is abandoned). `port` and `protocol`: the port to ask
    // firewalld about.
    void detect(int port, ProbeProtocol protocol);
    void cancel();
    bool isRunning() const { return m_running; }

Q_SIGNALS:
    void found(const quillmere::firewall::Detection& detection);

private:
    void onFirewalld(const FirewalldZones& zones);
    void startNft();
    void onNftFinished();
    void conclude();
    void finish();

    DetectorSources m_sources;
    std::unique_ptr<FirewalldQuery> m_firewalld;
    std::unique_ptr<QProcess> m_nft;
    QTimer m_deadline;
    Detection m_detection;
    bool m_running = false;
    bool m_firewalldAbsent = false;      // firewalld did not answer: nftables decides
    std::optional<Detection> m_nftFound; // what nft showed, once it is done
};

} // namespace quillmere::firewall
