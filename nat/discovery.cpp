#include "nat/discovery.h"

#include "nat/natlabels.h"
#include "nat/stunendpoint.h"
#include "stun/stunmessage.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QStringBuilder>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillmere::nat {

void Cancel::cancel()
{
    const std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_loop)
        QMetaObject::invokeMethod(m_loop, "quit", Qt::QueuedConnection);
}

bool Cancel::cancelled() const
{
    const std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool Cancel::attach(QObject* loop)
{
    const std::lock_guard lock(m_mutex);
    m_loop = loop;
    return !m_cancelled;
}

void Cancel::detach()
{
    const std::lock_guard lock(m_mutex);
    m_loop = nullptr;
}

namespace {

QString text(const stun::Endpoint& endpoint)
{
    return QString::fromStdString(stun::endpointText(endpoint));
}

QString text(const QHostAddress& address, quint16 port)
{
    return text(stunEndpoint(address, port));
}

bool sameAddress(const stun::Endpoint& a, const stun::Endpoint& b)
{
    return a.ipv6 == b.ipv6 && a.address == b.address;
}

stun::TransactionId newTransactionId()
{
    stun::TransactionId id;
    for (auto& byte : id)
        byte = quint8(QRandomGenerator::system()->bounded(256));
    return id;
}

// One request and its retransmissions, until an answer or the last wait.
struct Transaction
{
    QString name;
    QUdpSocket* socket = nullptr;
    stun::Endpoint to;
    stun::TransactionId id{};
    QByteArray bytes;
    int sent = 0;
    bool finished = false;
    std::optional<stun::Message> answer; // a success or an error response
    std::optional<stun::Endpoint> from;  // where the answer came from
    QTimer timer;
    std::function<void(Transaction&)> onFinished;

    bool answered() const { return answer.has_value(); }
    bool succeeded() const { return answer && answer->kind == stun::MessageKind::Success; }
};

QString timeRanOut()
{
    return QStringLiteral("the time ran out before every test had its answer");
}

// Where an answer to a change request came from, as against the address asked.
enum class Origin { Asked, OtherPort, OtherAddress };

class Run : public QObject
{
public:
    Run(const NatRequest& request, const Timing& timing, QEventLoop& loop)
        : m_request(request)
        , m_timing(timing)
        , m_loop(loop)
    {
        m_facts.server = serverText(request.host, request.port);
    }

    void start();
    NatFacts finish(bool cancelled);

    static QString serverText(const QString& host, quint16 port)
    {
        if (host.contains(u':'))
            return u'[' % host % QStringLiteral("]:") % QString::number(port);
        return host % u':' % QString::number(port);
    }

private:
    void resolved(const QHostAddress& address);
    Transaction& begin(const QString& name, QUdpSocket& socket, const stun::Endpoint& to,
                       bool changeIp, bool changePort,
                       std::function<void(Transaction&)> onFinished = {});
    void send(Transaction& transaction);
    void giveUp(Transaction& transaction);
    void read(QUdpSocket& socket);
    void mappingAnswered(Transaction& test1);
    void startPortTest();
    void learnOtherPort(const stun::Endpoint& port);
    void settle();
    void askOverTcp();
    void end();
    void log(const QString& line) { m_facts.log.append(line); }
    void limit(const QString& what)
    {
        if (!m_limits.contains(what))
            m_limits.append(what);
    }
    Origin origin(const Transaction& transaction) const;
    void judgeMapping();
    void judgeFiltering();

    NatRequest m_request;
    Timing m_timing;
    QEventLoop& m_loop;
    NatFacts m_facts;
    QStringList m_limits;
    bool m_ended = false;

    stun::Endpoint m_primary;
    std::optional<stun::Endpoint> m_other; // the server's OTHER-ADDRESS, when of the same family
    bool m_boundToRequested = false;       // the mapping socket holds the port asked for
    QUdpSocket m_mappingSocket;
    QUdpSocket m_filteringSocket;
    std::vector<std::unique_ptr<Transaction>> m_transactions;
    Transaction* m_test1 = nullptr;
    Transaction* m_test2 = nullptr;   // to the other address, the primary port
    Transaction* m_test3 = nullptr;   // to the other address and port (or, with one address, port)
    Transaction* m_filter2 = nullptr; // change address and port
    Transaction* m_filter3 = nullptr; // change port
    bool m_udpBlocked = false;
    bool m_tcpAsked = false;
    std::unique_ptr<QTcpSocket> m_tcp;
    bool m_tcpDone = false;
    QTimer m_tcpTimer;
};

void Run::start()
{
    QHostAddress literal;
    if (literal.setAddress(m_request.host)) {
        resolved(literal);
        return;
    }
    log(QStringLiteral("Looking up ") % m_request.host);
    QHostInfo::lookupHost(m_request.host, this, [this](const QHostInfo& info) {
        if (m_ended)
            return;
        QHostAddress chosen;
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                chosen = address;
                break;
            }
            if (chosen.isNull())
                chosen = address;
        }
        if (chosen.isNull()) {
            limit(QStringLiteral("the STUN server's name did not resolve (") % info.errorString() %
                  u')');
            end();
            return;
        }
        resolved(chosen);
    });
}

void Run::resolved(const QHostAddress& address)
{
    m_primary = stunEndpoint(address, m_request.port);
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const QHostAddress any(ipv6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4);
    // The mapping tests run from the port asked for when it is free (the checked port, which a
    // forward may map), else from any port. Never shared: another socket on the port would take
    // the answers.
    if (m_request.localPort > 0 && m_request.localPort <= 65535) {
        m_boundToRequested = m_mappingSocket.bind(any, quint16(m_request.localPort),
                                                  QAbstractSocket::DontShareAddress);
        if (!m_boundToRequested) {
            log(QStringLiteral("UDP port ") % QString::number(m_request.localPort) %
                QStringLiteral(" is taken here (") % m_mappingSocket.errorString() %
                QStringLiteral("); the tests use another port"));
        }
    }
    if (!m_boundToRequested && !m_mappingSocket.bind(any, 0, QAbstractSocket::DontShareAddress)) {
        limit(QStringLiteral("no UDP socket could be opened here (") %
              m_mappingSocket.errorString() % u')');
        end();
        return;
    }
    if (!m_filteringSocket.bind(any, 0, QAbstractSocket::DontShareAddress)) {
        limit(QStringLiteral("no UDP socket could be opened here (") %
              m_filteringSocket.errorString() % u')');
        end();
        return;
    }
    m_facts.localPort = m_mappingSocket.localPort();
    connect(&m_mappingSocket, &QUdpSocket::readyRead, this, [this] { read(m_mappingSocket); });
    connect(&m_filteringSocket, &QUdpSocket::readyRead, this, [this] { read(m_filteringSocket); });

    // Mapping test I, and on a socket of their own both filtering tests at once: a change
    // request goes to the primary address like test I, so they need nothing test I tells, and
    // the one answer each can let in does not depend on the other's request.
    m_test1 = &begin(QStringLiteral("mapping test I"), m_mappingSocket, m_primary, false, false,
                     [this](Transaction& t) {
                         if (t.succeeded())
                             mappingAnswered(t);
                     });
    m_filter2 = &begin(QStringLiteral("filtering test II (change address and port)"),
                       m_filteringSocket, m_primary, true, true);
    m_filter3 = &begin(QStringLiteral("filtering test III (change port)"), m_filteringSocket,
                       m_primary, false, true);
}

Transaction& Run::begin(const QString& name, QUdpSocket& socket, const stun::Endpoint& to,
                        bool changeIp, bool changePort,
                        std::function<void(Transaction&)> onFinished)
{
    auto transaction = std::make_unique<Transaction>();
    Transaction& t = *transaction;
    m_transactions.push_back(std::move(transaction));
    t.name = name;
    t.socket = &socket;
    t.to = to;
    t.id = newTransactionId();
    const std::vector<std::uint8_t> bytes = stun::bindingRequest(t.id, changeIp, changePort);
    t.bytes = QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    t.onFinished = std::move(onFinished);
    t.timer.setSingleShot(true);
    connect(&t.timer, &QTimer::timeout, this, [this, &t] {
        if (t.sent < m_timing.sends)
            send(t);
        else
            giveUp(t);
    });
    send(t);
    return t;
}

void Run::send(Transaction& t)
{
    t.socket->writeDatagram(t.bytes, hostAddress(t.to), t.to.port);
    ++t.sent;
    log(QStringLiteral("→ ") % text(t.to) % QStringLiteral(" ") % t.name %
        (t.sent > 1 ? QString(QStringLiteral(", again (") % QString::number(t.sent) % u')')
                    : QString()));
    // RFC 5389's schedule, scaled: the waits double from the RTO; the last is a wait of its own.
    t.timer.start(t.sent < m_timing.sends ? m_timing.rto << (t.sent - 1) : m_timing.lastWait);
}

void Run::giveUp(Transaction& t)
{
    t.finished = true;
    log(QStringLiteral("  no answer to ") % t.name);
    if (t.onFinished)
        t.onFinished(t);
    settle();
}

void Run::read(QUdpSocket& socket)
{
    while (socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket.receiveDatagram(4096);
        if (m_ended)
            continue;
        const QString from = text(datagram.senderAddress(), quint16(datagram.senderPort()));
        const QByteArray data = datagram.data();
        const auto message = stun::parseMessage(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size())));
        if (!message ||
            (message->kind != stun::MessageKind::Success &&
             message->kind != stun::MessageKind::Error) ||
            message->method != stun::kBinding) {
            log(QStringLiteral("← ") % from % QStringLiteral(" not a STUN answer; ignored"));
            continue;
        }
        Transaction* match = nullptr;
        for (const auto& t : m_transactions) {
            if (t->socket == &socket && !t->finished && t->id == message->transaction)
                match = t.get();
        }
        if (!match) {
            log(QStringLiteral("← ") % from %
                QStringLiteral(" an answer to no request outstanding; ignored"));
            continue;
        }
        if (message->kind == stun::MessageKind::Success && !message->mapped) {
            log(QStringLiteral("← ") % from %
                QStringLiteral(" an answer without a mapped address; ignored"));
            continue;
        }
        QHostAddress sender = datagram.senderAddress();
        // An IPv4 sender on a dual-stack socket comes as ::ffff:a.b.c.d.
        bool isV4 = false;
        const quint32 v4 = sender.toIPv4Address(&isV4);
        if (isV4)
            sender = QHostAddress(v4);
        const stun::Endpoint source = stunEndpoint(sender, quint16(datagram.senderPort()));
        Transaction& t = *match;
        t.finished = true;
        t.timer.stop();
        t.answer = *message;
        t.from = source;
        if (message->kind == stun::MessageKind::Error) {
            log(QStringLiteral("← ") % from % u' ' % t.name % QStringLiteral(": error ") %
                QString::number(message->errorCode.value_or(0)));
        } else {
            QString line = QStringLiteral("← ") % from % u' ' % t.name %
                           QStringLiteral(": mapped ") % text(*message->mapped);
            if (message->otherAddress)
                line += QStringLiteral(", other address ") % text(*message->otherAddress);
            log(line);
        }
        if ((&t == m_filter2 || &t == m_filter3) && t.succeeded() && origin(t) == Origin::OtherPort)
            learnOtherPort(*t.from);
        if (t.onFinished)
            t.onFinished(t);
        settle();
    }
}

// Test I told the external address and, from an RFC 5780 server, its other address: tests II and
// III go out at once from the same socket (test III's request does not change what test II's
// answer says, and a run that waits for II's silence before III would not keep within the time).
void Run::mappingAnswered(Transaction& test1)
{
    if (!sameAddress(*test1.from, m_primary) || test1.from->port != m_primary.port)
        log(QStringLiteral("  (the answer to test I came from ") % text(*test1.from) %
            QStringLiteral(", not the address asked)"));
    const auto& other = test1.answer->otherAddress;
    if (!other) {
        // A change request may yet show another port of the server (learnOtherPort()).
        if (m_other)
            startPortTest();
        return;
    }
    if (other->ipv6 != m_primary.ipv6) {
        limit(QStringLiteral("the STUN server's other address ") % text(*other) %
              QStringLiteral(" is of the other family and was not used"));
        return;
    }
    if (*other == m_primary) {
        limit(QStringLiteral("the STUN server named its own address as its other one"));
        return;
    }
    m_other = *other;
    if (!sameAddress(*other, m_primary)) {
        stun::Endpoint alternateAddress = *other;
        alternateAddress.port = m_primary.port;
        m_test2 = &begin(QStringLiteral("mapping test II (other address)"), m_mappingSocket,
                         alternateAddress, false, false);
        m_test3 = &begin(QStringLiteral("mapping test III (other address and port)"),
                         m_mappingSocket, *other, false, false);
    } else {
        startPortTest();
    }
}

// The mapping test a server with one address allows: to its other port.
void Run::startPortTest()
{
    if (m_test3 || !m_other)
        return;
    m_test3 = &begin(QStringLiteral("mapping test (other port)"), m_mappingSocket, *m_other, false,
                     false);
}

// A server that names no other address but answered a change request from another port of its
// own address serves the port change: that port is the one its mapping test can use.
void Run::learnOtherPort(const stun::Endpoint& port)
{
    if (m_other || (m_test1 && m_test1->succeeded() && m_test1->answer->otherAddress))
        return;
    m_other = port;
    log(QStringLiteral("  the STUN server answered from its other port ") % text(port) %
        QStringLiteral(": it serves the change of port"));
    if (m_test1 && m_test1->succeeded())
        startPortTest();
}

// Ends the run when every request has its answer or has been given up; with no answer at all,
// asks once over TCP first.
void Run::settle()
{
    if (m_ended)
        return;
    for (const auto& t : m_transactions) {
        if (!t->finished)
            return;
    }
    bool anyAnswer = false;
    for (const auto& t : m_transactions)
        anyAnswer = anyAnswer || t->answered();
    if (!anyAnswer && !m_tcpAsked) {
        askOverTcp();
        return;
    }
    if (!m_tcpAsked)
        end();
}

// No answer over UDP: blocked UDP or no server? A STUN server answers over TCP on the same port
// (RFC 5389, and coturn does); an answer there while UDP stayed silent shows UDP blocked. No
// answer over TCP either tells nothing: the server may be missing.
void Run::askOverTcp()
{
    m_tcpAsked = true;
    m_tcp = std::make_unique<QTcpSocket>();
    auto buffer = std::make_shared<QByteArray>();
    const stun::TransactionId id = newTransactionId();
    log(QStringLiteral("→ ") % text(m_primary) % QStringLiteral(" Binding request over TCP"));
    const auto done = [this](const QString& line) {
        if (m_tcpDone)
            return;
        m_tcpDone = true;
        log(line);
        m_tcpTimer.stop();
        m_tcp->abort();
        end();
    };
    connect(m_tcp.get(), &QTcpSocket::connected, this, [this, id] {
        const std::vector<std::uint8_t> bytes = stun::bindingRequest(id);
        m_tcp->write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    });
    connect(m_tcp.get(), &QTcpSocket::readyRead, this, [this, buffer, id, done] {
        buffer->append(m_tcp->readAll());
        if (buffer->size() < 20)
            return;
        const int length = (quint8(buffer->at(2)) << 8) | quint8(buffer->at(3));
        if (buffer->size() < 20 + length)
            return;
        const auto message = stun::parseMessage(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(buffer->constData()), std::size_t(20 + length)));
        if (message && message->transaction == id &&
            (message->kind == stun::MessageKind::Success ||
             message->kind == stun::MessageKind::Error)) {
            m_udpBlocked = true;
            done(QStringLiteral("← ") % text(m_primary) % QStringLiteral(" an answer over TCP"));
        } else {
            done(QStringLiteral("← ") % text(m_primary) %
                 QStringLiteral(" not a STUN answer over TCP"));
        }
    });
    connect(m_tcp.get(), &QTcpSocket::errorOccurred, this,
            [this, done] { done(QStringLiteral("  TCP: ") % m_tcp->errorString()); });
    m_tcpTimer.setSingleShot(true);
    connect(&m_tcpTimer, &QTimer::timeout, this,
            [done] { done(QStringLiteral("  no answer over TCP either")); });
    m_tcpTimer.start(m_timing.tcpWait);
    m_tcp->connectToHost(hostAddress(m_primary), m_primary.port);
}

void Run::end()
{
    if (m_ended)
        return;
    m_ended = true;
    m_loop.quit();
}

Origin Run::origin(const Transaction& t) const
{
    if (!sameAddress(*t.from, m_primary))
        return Origin::OtherAddress;
    if (t.from->port != m_primary.port)
        return Origin::OtherPort;
    return Origin::Asked;
}

// RFC 5780 section 4.3.
void Run::judgeMapping()
{
    if (!m_test1 || !m_test1->succeeded())
        return;
    const stun::Endpoint mapped1 = *m_test1->answer->mapped;
    m_facts.externalAddress = text(mapped1);
    m_facts.portPreserved = mapped1.port == m_facts.localPort;
    const QHostAddress external = hostAddress(mapped1);
    const auto own = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : own) {
        if (address.isEqual(external, QHostAddress::TolerantConversion)) {
            m_facts.mapping = Behaviour::None;
            return;
        }
    }
    if (!m_other) {
        if (!m_test1->answer->otherAddress)
            limit(QStringLiteral("the STUN server named no other address of its own (it does not "
                                 "serve RFC 5780), so only the external address was told"));
        return; // otherwise a limit says why
    }
    const auto mappedBy = [](const Transaction* t) -> std::optional<stun::Endpoint> {
        if (t && t->succeeded())
            return t->answer->mapped;
        return std::nullopt;
    };
    if (!m_test2) { // one address: the port change only
        const auto mapped3 = mappedBy(m_test3);
        if (!mapped3 && !m_test3->finished) {
            limit(timeRanOut());
        } else if (!mapped3) {
            limit(QStringLiteral("the STUN server's other port did not answer, so the mapping "
                                 "was not told"));
        } else if (*mapped3 != mapped1) {
            m_facts.mapping = Behaviour::AddressAndPortDependent;
        } else {
            limit(QStringLiteral("the STUN server has one address: the mapping stays for "
                                 "another port of it; whether it stays for another address "
                                 "was not told"));
        }
        return;
    }
    const auto mapped2 = mappedBy(m_test2);
    if (!mapped2 && !m_test2->finished) {
        limit(timeRanOut());
        return;
    }
    if (!mapped2) {
        limit(QStringLiteral("the STUN server's other address did not answer, so the mapping was "
                             "not told"));
        return;
    }
    if (*mapped2 == mapped1) {
        m_facts.mapping = Behaviour::EndpointIndependent;
        return;
    }
    const auto mapped3 = mappedBy(m_test3);
    if (!mapped3 && !m_test3->finished) {
        limit(timeRanOut());
        return;
    }
    if (!mapped3) {
        limit(QStringLiteral("the STUN server's other port did not answer: the mapping depends "
                             "on the address, and whether on the port too was not told"));
        return;
    }
    m_facts.mapping =
        *mapped3 == *mapped2 ? Behaviour::AddressDependent : Behaviour::AddressAndPortDependent;
}

// RFC 5780 section 4.4, from the answers (or silence) to the two change requests.
void Run::judgeFiltering()
{
    if (!m_test1 || !m_test1->succeeded())
        return; // without an answer to test I, silence tells nothing
    bool fromOtherAddress = false, fromOtherPort = false, refused = false, ignored = false;
    for (const Transaction* t : {m_filter2, m_filter3}) {
        if (!t || !t->answered())
            continue;
        if (t->answer->kind == stun::MessageKind::Error) {
            refused = true;
            continue;
        }
        switch (origin(*t)) {
        case Origin::OtherAddress:
            fromOtherAddress = true;
            break;
        case Origin::OtherPort:
            fromOtherPort = true;
            break;
        case Origin::Asked:
            ignored = true;
            break;
        }
    }
    if (fromOtherAddress) {
        m_facts.filtering = Behaviour::EndpointIndependent;
        return;
    }
    if (!m_other) {
        if (refused || ignored || fromOtherPort)
            limit(QStringLiteral("the STUN server does not answer from another address on request, "
                                 "so the filtering was not told"));
        return;
    }
    const bool twoAddresses = !sameAddress(*m_other, m_primary);
    const bool filter2Silent = m_filter2 && m_filter2->finished && !m_filter2->answered();
    const bool filter3Silent = m_filter3 && m_filter3->finished && !m_filter3->answered();
    if (fromOtherPort) {
        if (twoAddresses && filter2Silent) {
            m_facts.filtering = Behaviour::AddressDependent;
        } else {
            limit(QStringLiteral("answers from another port of the STUN server come in; whether "
                                 "from another address was not told"));
        }
        return;
    }
    if (refused || ignored) {
        limit(QStringLiteral("the STUN server did not answer from another address or port as "
                             "asked, so the filtering was not told"));
        return;
    }
    if (filter3Silent && (filter2Silent || !twoAddresses)) {
        m_facts.filtering = Behaviour::AddressAndPortDependent;
        return;
    }
    limit(timeRanOut());
}

NatFacts Run::finish(bool cancelled)
{
    m_ended = true;
    bool anyAnswer = false;
    for (const auto& t : m_transactions)
        anyAnswer = anyAnswer || t->answered();
    m_facts.answered = anyAnswer;
    if (cancelled) {
        limit(QStringLiteral("stopped before the end"));
    } else {
        bool unfinished = false;
        for (const auto& t : m_transactions)
            unfinished = unfinished || !t->finished;
        if (unfinished || (m_transactions.empty() && m_limits.isEmpty()))
            limit(timeRanOut());
    }
    judgeMapping();
    judgeFiltering();
    std::optional<bool> predictable;
    if (m_facts.mapping == Behaviour::AddressDependent ||
        m_facts.mapping == Behaviour::AddressAndPortDependent) {
        QList<int> ports;
        for (const Transaction* t : {m_test1, m_test2, m_test3}) {
            if (t && t->succeeded() && (ports.isEmpty() || ports.last() != t->answer->mapped->port))
                ports.append(t->answer->mapped->port);
        }
        predictable = portsPredictable(ports);
    }
    if (!anyAnswer && !cancelled) {
        if (m_udpBlocked) {
            limit(QStringLiteral("no answer over UDP while the STUN server answered over TCP: "
                                 "UDP is blocked"));
        } else if (m_tcpAsked) {
            limit(QStringLiteral("no answer over UDP or TCP: whether UDP is blocked or the "
                                 "server is missing was not told"));
        }
    }
    if (anyAnswer || m_udpBlocked) {
        const Label labels =
            label(Situation{m_facts.mapping, m_facts.filtering,
                            m_request.forwarded && m_boundToRequested, predictable, m_udpBlocked});
        m_facts.type = labels.type;
        m_facts.nintendo = labels.nintendo;
    }
    m_facts.limits = m_limits.join(QStringLiteral("; "));
    return m_facts;
}

} // namespace

NatFacts runDiscovery(const NatRequest& request, Cancel& cancel, const Timing& timing)
{
    QEventLoop loop;
    Run run(request, timing, loop);
    if (!cancel.attach(&loop)) {
        cancel.detach();
        return run.finish(true);
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(timing.total);
    QTimer::singleShot(0, &run, [&run] { run.start(); });
    loop.exec();
    cancel.detach();
    return run.finish(cancel.cancelled());
}

} // namespace quillmere::nat
