// The socket object on its own: both address families on one listener, peers as the logs show
// them, and the events it must not raise.

#include "engine/socketobject.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::StringLiterals;
using namespace quillmere;

namespace {

bool hasIPv6Loopback()
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

class TestSocketObject : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void listenerTakesBothFamilies_data();
    void listenerTakesBothFamilies();
    void boundSocketTakesBothFamilies_data();
    void boundSocketTakesBothFamilies();
    void closeRaisesNoEvent();
    void listenerKeepsListeningBesideItsConnections();
};

void TestSocketObject::listenerTakesBothFamilies_data()
{
    QTest::addColumn<QHostAddress>("peer");
    QTest::addColumn<QString>("shown");
    QTest::newRow("IPv4, dotted") << QHostAddress(QHostAddress::LocalHost) << u"127.0.0.1"_s;
    QTest::newRow("IPv6") << QHostAddress(QHostAddress::LocalHostIPv6) << u"::1"_s;
}

void TestSocketObject::listenerTakesBothFamilies()
{
    QFETCH(QHostAddress, peer);
    QFETCH(QString, shown);
    if (peer.protocol() == QAbstractSocket::IPv6Protocol && !hasIPv6Loopback())
        QSKIP("no IPv6 on this machine");

    SocketObject listener;
    QVERIFY(listener.setLocalPort(0));
    QVERIFY(listener.listen());
    QString requester;
    connect(&listener, &SocketObject::connectionRequest, this, [&](int id) {
        requester = listener.remoteHostIP();
        listener.close();
        listener.accept(id);
    });
    QSignalSpy arrivals(&listener, &SocketObject::dataArrival);

    QTcpSocket client;
    client.connectToHost(peer, quint16(listener.localPort()));
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(requester, shown);
    QCOMPARE(listener.state(), SocketObject::State::Connected);
    client.write("dunmoor");
    QTRY_VERIFY(!arrivals.isEmpty());
    QCOMPARE(listener.getData(), QByteArray("dunmoor"));
    QCOMPARE(listener.remoteHostIP(), shown);
}

void TestSocketObject::boundSocketTakesBothFamilies_data()
{
    listenerTakesBothFamilies_data();
}

void TestSocketObject::boundSocketTakesBothFamilies()
{
    QFETCH(QHostAddress, peer);
    QFETCH(QString, shown);
    if (peer.protocol() == QAbstractSocket::IPv6Protocol && !hasIPv6Loopback())
        QSKIP("no IPv6 on this machine");

    SocketObject bound;
    QVERIFY(bound.bind(u"0"_s));
    QCOMPARE(bound.protocol(), ProbeProtocol::Udp);
    // A datagram is read in the handler of its arrival, as the engine does.
    QList<QByteArray> read;
    qint64 announced = 0;
    QString sender;
    connect(&bound, &SocketObject::dataArrival, this, [&](qint64 bytes) {
        announced = bytes;
        read << bound.getData() << bound.getData();
        sender = bound.remoteHostIP();
    });
    QUdpSocket out;
    out.writeDatagram("a datagram", peer, quint16(bound.localPort()));
    QTRY_COMPARE(read.size(), 2);
    QCOMPARE(announced, 10);
    QCOMPARE(read, (QList<QByteArray>{"a datagram", QByteArray()})); // read once
    QCOMPARE(sender, shown);
}

void TestSocketObject::closeRaisesNoEvent()
{
    SocketObject listener;
    QVERIFY(listener.setLocalPort(0));
    QVERIFY(listener.listen());
    connect(&listener, &SocketObject::connectionRequest, this, [&listener](int id) {
        listener.close();
        listener.accept(id);
    });
    QSignalSpy closes(&listener, &SocketObject::closed);
    QSignalSpy errors(&listener, &SocketObject::errorOccurred);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, quint16(listener.localPort()));
    QVERIFY(peer.waitForConnected(5000));
    QTRY_COMPARE(listener.state(), SocketObject::State::Connected);
    listener.close(); // this side closes: no event
    QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(listener.state(), SocketObject::State::Closed);

    // The peer closing is the close event, and not an error.
    QVERIFY(listener.listen());
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, quint16(listener.localPort()));
    QVERIFY(second.waitForConnected(5000));
    QTRY_COMPARE(listener.state(), SocketObject::State::Connected);
    QCOMPARE(closes.size(), 0);
    second.disconnectFromHost();
    QTRY_COMPARE(closes.size(), 1);
    QCOMPARE(errors.size(), 0);
}

// Accepted without closing the listener, connections are held side by side: each event names its
// own peer, getData() reads that connection's bytes only, and a peer's close ends its connection
// alone.
void TestSocketObject::listenerKeepsListeningBesideItsConnections()
{
    SocketObject listener;
    QVERIFY(listener.setLocalPort(0));
    QVERIFY(listener.listen());
    connect(&listener, &SocketObject::connectionRequest, this,
            [&listener](int id) { listener.accept(id); });
    QStringList seen; // "port: data" for each arrival, "port closed" for each close
    connect(&listener, &SocketObject::dataArrival, this, [&](qint64) {
        seen << QString::number(listener.remotePort()) + u": "_s +
                    QString::fromLatin1(listener.getData());
    });
    connect(&listener, &SocketObject::closed, this,
            [&] { seen << QString::number(listener.remotePort()) + u" closed"_s; });

    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* client : {&first, &second}) {
        client->connectToHost(QHostAddress::LocalHost, quint16(listener.localPort()));
        QVERIFY(client->waitForConnected(5000));
    }
    QTRY_COMPARE(listener.heldPeers(), 2);
    QCOMPARE(listener.state(), SocketObject::State::Listening);
    const QString one = QString::number(first.localPort());
    const QString two = QString::number(second.localPort());

    second.write("from the second");
    QTRY_COMPARE(seen, QStringList{two + u": from the second"_s});
    first.write("from the first");
    QTRY_COMPARE(seen.size(), 2);
    QCOMPARE(seen.constLast(), one + u": from the first"_s);
    second.disconnectFromHost();
    QTRY_COMPARE(listener.heldPeers(), 1);
    QCOMPARE(seen.constLast(), two + u" closed"_s);
    first.write("still here");
    QTRY_COMPARE(seen.constLast(), one + u": still here"_s);
    QCOMPARE(first.state(), QAbstractSocket::ConnectedState);

    listener.close(); // this side ends everything, without an event
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(listener.heldPeers(), 0);
    QCOMPARE(seen.size(), 4);
}

QTEST_GUILESS_MAIN(TestSocketObject)
#include "tst_socketobject.moc"
