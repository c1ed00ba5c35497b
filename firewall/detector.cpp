#include "firewall/detector.h"

#include <QFile>

namespace quillmere::firewall {

using namespace Qt::StringLiterals;

namespace {

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(1 << 20);
}

} // namespace

FirewallDetector::FirewallDetector(DetectorSources sources, QObject* parent)
    : QObject(parent)
    , m_sources(std::move(sources))
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_running)
            return;
        if (m_detection.note.isEmpty())
            m_detection.note = u"the look at the firewall took too long"_s;
        // Cut short before anything was found: some firewall may be there.
        if (!m_detection.found)
            m_detection.found = Kind::Unknown;
        finish();
    });
}

FirewallDetector::~FirewallDetector()
{
    cancel();
}

void FirewallDetector::cancel()
{
    m_running = false;
    m_deadline.stop();
    m_firewalld.reset();
    if (m_nft) {
        m_nft->disconnect(this);
        m_nft->kill();
        m_nft->waitForFinished(1000);
        m_nft.reset();
    }
}

void FirewallDetector::detect(int port, ProbeProtocol protocol)
{
    cancel();
    m_running = true;
    m_detection = Detection();
    m_detection.interface =
        defaultRouteInterface(readSmallFile(m_sources.route), readSmallFile(m_sources.ipv6Route));
    m_deadline.start(2 * m_sources.timeoutMs);
    if (ufwEnabled(readSmallFile(m_sources.ufwConf))) {
        m_detection.found = Kind::Ufw;
        // Queued: found() never comes before detect() returns.
        QMetaObject::invokeMethod(this, &FirewallDetector::finish, Qt::QueuedConnection);
        return;
    }
    m_firewalldAbsent = false;
    m_nftFound.reset();
    // nft starts now, beside the question to firewalld rather than after it, so that the look
    // takes the longer of the two and not both.
    if (hasNetAdmin(readSmallFile(m_sources.procStatus))) {
        startNft();
    } else {
        // The ruleset is for CAP_NET_ADMIN only: some firewall may be there, unseen.
        Detection unseen;
        unseen.found = Kind::Unknown;
        unseen.note = u"without CAP_NET_ADMIN the packet filter's rules cannot be read"_s;
        m_nftFound = unseen;
    }
    m_firewalld = std::make_unique<FirewalldQuery>(
        m_sources.bus.value_or(QDBusConnection::systemBus()), m_sources.timeoutMs);
    connect(m_firewalld.get(), &FirewalldQuery::lookedUp, this, &FirewallDetector::onFirewalld);
    m_firewalld->lookUp(m_detection.interface, port, protocol);
}

void FirewallDetector::onFirewalld(const FirewalldZones& zones)
{
    if (!m_running)
        return;
    if (zones.running) {
        m_detection.found = Kind::Firewalld;
        m_detection.defaultZone = zones.defaultZone;
        m_detection.zone = zones.zone;
        m_detection.portAllowed = zones.portAllowed;
        m_detection.note = zones.note;
        finish();
        return;
    }
    m_firewalldAbsent = true;
    conclude();
}

void FirewallDetector::startNft()
{
    m_nft = std::make_unique<QProcess>();
    m_nft->setProcessChannelMode(QProcess::SeparateChannels);
    connect(m_nft.get(), &QProcess::finished, this, &FirewallDetector::onNftFinished);
    connect(m_nft.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onNftFinished();
    });
    // The deadline of the whole look bounds it; cancel() ends it then.
    m_nft->start(m_sources.nftProgram, {u"-j"_s, u"list"_s, u"ruleset"_s});
}

void FirewallDetector::onNftFinished()
{
    if (!m_running || !m_nft)
        return;
    const bool ran = m_nft->error() != QProcess::FailedToStart &&
                     m_nft->exitStatus() == QProcess::NormalExit && m_nft->exitCode() == 0;
    const QByteArray json = ran ? m_nft->readAllStandardOutput() : QByteArray();
    m_nft->disconnect(this);
    m_nft.release()->deleteLater();
    Detection found;
    if (!ran) {
        found.found = Kind::Unknown;
        found.note = u"nft could not list the ruleset"_s;
    } else if (const auto chain = nftInputChain(json)) {
        found.found = Kind::Nftables;
        found.nftChain = chain;
    } else {
        // Listed, and nothing filters what comes in: no firewall here.
        found.note = u"nftables has no input filter"_s;
    }
    m_nftFound = found;
    conclude();
}

// firewalld is not there, and nftables has said what it has.
void FirewallDetector::conclude()
{
    if (!m_running || !m_firewalldAbsent || !m_nftFound)
        return;
    m_detection.found = m_nftFound->found;
    m_detection.nftChain = m_nftFound->nftChain;
    m_detection.note = m_nftFound->note;
    finish();
}

void FirewallDetector::finish()
{
    if (!m_running)
        return;
    const Detection detection = m_detection;
    cancel();
    Q_EMIT found(detection);
}

} // namespace quillmere::firewall
