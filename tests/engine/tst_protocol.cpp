// The texts that go over the wire and the rules for reading them back: the request, marker
// search and extraction, the bounded exchange log, the port field's rules and the server
// address.

#include "engine/checkengine.h"
#include "engine/checkprotocol.h"
#include "engine/checkserver.h"
#include "engine/exchangelog.h"
#include "engine/porttext.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

class TestProtocol : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void request_data();
    void request();
    void markerSearch_data();
    void markerSearch();
    void extraction_data();
    void extraction();
    void refusal_data();
    void refusal();

    void logEntries();
    void logBoundKeepsWhatFits();

    void portText_data();
    void portText();

    void serverAddress_data();
    void serverAddress();
};

void TestProtocol::request_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("tcp") << u"8080"_s << true << u"localhost"_s
                         << QByteArray("GET /portcheck3.cgi?port=8080&protocol=tcp&version=0 "
                                       "HTTP/1.0\r\nHost: localhost\r\n"
                                       "User-Agent: Quillmere/1.0\r\n\r\n");
    QTest::newRow("udp, leading zeros kept") << u"00080"_s << false << u"check.example.net"_s
                                             << QByteArray("GET /portcheck3.cgi?port=00080&"
                                                           "protocol=udp&version=0 HTTP/1.0\r\n"
                                                           "Host: check.example.net\r\n"
                                                           "User-Agent: Quillmere/1.0\r\n\r\n");
    QTest::newRow("ipv6 host") << u"65535"_s << false << u"[::1]"_s
                               << QByteArray("GET /portcheck3.cgi?port=65535&protocol=udp&"
                                             "version=0 HTTP/1.0\r\nHost: [::1]\r\n"
                                             "User-Agent: Quillmere/1.0\r\n\r\n");
}

void TestProtocol::request()
{
    QFETCH(QString, port);
    QFETCH(bool, tcp);
    QFETCH(QString, host);
    QFETCH(QByteArray, expected);

    const QByteArray request =
        buildCheckRequest(port, tcp ? ProbeProtocol::Tcp : ProbeProtocol::Udp, host);
    QCOMPARE(request, expected);
    QVERIFY(!request.contains('\0'));
}

void TestProtocol::markerSearch_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<bool>("found");

    QTest::newRow("lower case") << u"x -done- y"_s << u"-done-"_s << true;
    QTest::newRow("upper case") << u"X -DONE- Y"_s << u"-done-"_s << true;
    QTest::newRow("dashes belong to the marker") << u"done tcpopen"_s << u"-done-"_s << false;
    QTest::newRow("blank inside ping") << u"-ping ok"_s << u"-ping ok"_s << true;
    QTest::newRow("ping needs its dash") << u"ping ok"_s << u"-ping ok"_s << false;
    QTest::newRow("200 OK lower") << u"HTTP/1.0 200 ok"_s << u"200 OK"_s << true;
    QTest::newRow("inside the version line")
        << u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:80\r\n"_s << u"Quillmere"_s
        << true;
    QTest::newRow("inside an error entry")
        << u"Quillmere version 1.0.39wshttp_ERROR: Host x-done-.example not found\r\n"_s
        << u"-done-"_s << true;
}

void TestProtocol::markerSearch()
{
    QFETCH(QString, text);
    QFETCH(QString, marker);
    QFETCH(bool, found);

    const QByteArray latin = marker.toLatin1();
    QCOMPARE(containsMarker(text, QLatin1StringView(latin)), found);
}

void TestProtocol::extraction_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ip"); // true: the address markers, false: the message markers
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("value");

    QTest::newRow("address") << u"a -ip:203.0.113.7- b"_s << true << true << u"203.0.113.7"_s;
    QTest::newRow("address directly followed by -") << u"-ip:-done-"_s << true << true << QString();
    QTest::newRow("address without later -")
        << u"-ip:203.0.113.7 end"_s << true << true << QString();
    QTest::newRow("address not trimmed") << u"-ip: 1.2.3.4 -"_s << true << true << u" 1.2.3.4 "_s;
    QTest::newRow("first address counts")
        << u"-ip:1.1.1.1- -ip:2.2.2.2-"_s << true << true << u"1.1.1.1"_s;
    QTest::newRow("no address") << u"-done- -ping ok"_s << true << false << QString();

    QTest::newRow("message") << u"<message>Hello there</message>"_s << false << true
                             << u"Hello there"_s;
    QTest::newRow("message without close") << u"<message>Hello"_s << false << true << QString();
    QTest::newRow("message mixed case") << u"<MESSAGE>Hi</Message>"_s << false << true << u"Hi"_s;
    QTest::newRow("close before open ignored")
        << u"</message><message>x</message>"_s << false << true << u"x"_s;
    QTest::newRow("no message") << u"message</message>"_s << false << false << QString();
}

void TestProtocol::extraction()
{
    QFETCH(QString, text);
    QFETCH(bool, ip);
    QFETCH(bool, present);
    QFETCH(QString, value);

    const auto found = ip ? extractDelimited(text, marker::kIpOpen, marker::kIpClose)
                          : extractDelimited(text, marker::kMessageOpen, marker::kMessageClose);
    QCOMPARE(found.has_value(), present);
    if (found)
        QCOMPARE(*found, value);
}

void TestProtocol::refusal_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("status");     // 0: no refusal
    QTest::addColumn<int>("retryAfter"); // -1: none

    QTest::newRow("429 with Retry-After")
        << QByteArray("HTTP/1.0 429 Too Many Requests\r\nContent-Type: text/html\r\n"
                      "Retry-After: 60\r\n\r\nbody")
        << 429 << 60;
    QTest::newRow("503, header name in any case, spaces")
        << QByteArray("HTTP/1.1 503 Service Unavailable\r\nretry-AFTER:   5  \r\n\r\n") << 503 << 5;
    QTest::newRow("503 without Retry-After")
        << QByteArray("HTTP/1.0 503 Busy\r\n\r\n") << 503 << -1;
    QTest::newRow("a date is not seconds")
        << QByteArray("HTTP/1.0 429 x\r\nRetry-After: Wed, 21 Oct 2026 07:28:00 GMT\r\n\r\n") << 429
        << -1;
    QTest::newRow("negative") << QByteArray("HTTP/1.0 429 x\r\nRetry-After: -5\r\n\r\n") << 429
                              << -1;
    QTest::newRow("longer than a day is a day")
        << QByteArray("HTTP/1.0 429 x\r\nRetry-After: 999999999\r\n\r\n") << 429 << 86400;
    QTest::newRow("too long to be a number")
        << QByteArray("HTTP/1.0 429 x\r\nRetry-After: 99999999999999999999\r\n\r\n") << 429 << -1;
    QTest::newRow("after the headers it is body")
        << QByteArray("HTTP/1.0 429 x\r\n\r\nRetry-After: 60\r\n") << 429 << -1;
    QTest::newRow("headers cut short")
        << QByteArray("HTTP/1.0 429 x\r\nRetry-After: 7") << 429 << 7;
    QTest::newRow("bare LF lines") << QByteArray("HTTP/1.0 429 x\nRetry-After: 3\n\n") << 429 << 3;
    QTest::newRow("status line alone") << QByteArray("HTTP/1.0 503") << 503 << -1;
    QTest::newRow("200") << QByteArray("HTTP/1.0 200 OK\r\nRetry-After: 60\r\n\r\n") << 0 << -1;
    QTest::newRow("404") << QByteArray("HTTP/1.0 404 Not Found\r\n\r\n") << 0 << -1;
    QTest::newRow("4290") << QByteArray("HTTP/1.0 4290 x\r\n\r\n") << 0 << -1;
    QTest::newRow("not at the start") << QByteArray(" HTTP/1.0 429 x\r\n\r\n") << 0 << -1;
    QTest::newRow("HTTP/2") << QByteArray("HTTP/2 429\r\n\r\n") << 0 << -1;
    QTest::newRow("the number in the body")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\nHTTP/1.0 429 x") << 0 << -1;
    QTest::newRow("empty") << QByteArray() << 0 << -1;
}

void TestProtocol::refusal()
{
    QFETCH(QByteArray, head);
    QFETCH(int, status);
    QFETCH(int, retryAfter);
    const std::optional<ServerRefusal> refusal = findRefusal(head);
    QCOMPARE(refusal.has_value(), status != 0);
    if (!refusal)
        return;
    QCOMPARE(refusal->status, status);
    QCOMPARE(refusal->retryAfterSeconds,
             retryAfter < 0 ? std::nullopt : std::optional<int>(retryAfter));
}

void TestProtocol::logEntries()
{
    ExchangeLog log;
    log.reset(CheckEngine::versionLine());
    QCOMPARE(log.text(), u"Quillmere version 1.0.39"_s);

    QVERIFY(log.append(u"HTTP: Connect to: 127.0.0.1:80"));
    QVERIFY(log.append(u""));
    QVERIFY(log.append(u"HTTP: Begin data arrived: 4\r\nab\r\n"));
    QCOMPARE(log.text(), u"Quillmere version 1.0.39HTTP: Connect to: 127.0.0.1:80\r\n"
                         u"\r\n"
                         u"HTTP: Begin data arrived: 4\r\nab\r\n\r\n"_s);
    QVERIFY(!log.isFull());
}

void TestProtocol::logBoundKeepsWhatFits()
{
    ExchangeLog log(64);
    log.reset(u"0123456789"_s);
    QVERIFY(log.append(QString(52, u'a'))); // 10 + 52 + CR LF: exactly the bound
    QVERIFY(!log.isFull());
    QCOMPARE(log.text().size(), 64);
    const QString notice = ExchangeLog::limitNotice(64);
    QVERIFY(notice.contains(u"64"_s));

    QVERIFY(log.append(u"bcdefg"_s)); // no room left: the entry is kept empty
    QVERIFY(log.isFull());
    QCOMPARE(log.text(), u"0123456789"_s + QString(52, u'a') + u"\r\n\r\n"_s + notice + u"\r\n"_s);

    QVERIFY(!log.append(u"more"_s));
    QVERIFY(!log.append(QString()));
    QCOMPARE(log.text().count(notice), 1);
    QCOMPARE(log.text().size(), 64 + 2 + notice.size() + 2);

    // An entry that straddles the bound keeps its first part.
    ExchangeLog cut(32);
    cut.reset(u"v"_s);
    QVERIFY(cut.append(u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"_s));
    QVERIFY(cut.text().startsWith(u"v0123456789ABCDEFGHIJKLMNOPQRS\r\n"_s));
    QVERIFY(cut.text().endsWith(ExchangeLog::limitNotice(32) + u"\r\n"_s));
}

void TestProtocol::portText_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept"); // the field's text after its change check
    QTest::addColumn<int>("number");   // -1: names no port

    QTest::newRow("empty stays") << QString() << QString() << -1;
    QTest::newRow("plain") << u"8080"_s << u"8080"_s << 8080;
    QTest::newRow("leading zeros stay") << u"00080"_s << u"00080"_s << 80;
    QTest::newRow("zero stays") << u"0"_s << u"0"_s << 0;
    QTest::newRow("highest") << u"65535"_s << u"65535"_s << 65535;
    QTest::newRow("one above") << u"65536"_s << u"65535"_s << 65535;
    QTest::newRow("70000") << u"70000"_s << u"65535"_s << 65535;
    QTest::newRow("letters") << u"abc"_s << u"65535"_s << 65535;
    QTest::newRow("digits then letter") << u"12a"_s << u"65535"_s << 65535;
    QTest::newRow("beyond 32 bits") << u"99999999999"_s << u"65535"_s << 65535;
    QTest::newRow("leading blank") << u" 80"_s << u"65535"_s << 65535;
    QTest::newRow("other script digits") << u"\u0663\u0660"_s << u"65535"_s << 65535;
    QTest::newRow("negative stays, names no port") << u"-1"_s << u"-1"_s << -1;
}

void TestProtocol::portText()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QFETCH(int, number);

    QCOMPARE(normalisedPortText(typed), kept);
    QCOMPARE(cappedPortText(typed).has_value(), kept != typed);
    // Once checked, the text stays as it is.
    QVERIFY(!cappedPortText(kept).has_value());
    QCOMPARE(portNumber(kept).value_or(-1), number);
}

void TestProtocol::serverAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed"); // host, port, Host header, authority; empty: rejected

    QTest::newRow("host") << u"check.example.net"_s
                          << u"check.example.net 80 check.example.net check.example.net"_s;
    QTest::newRow("host:port") << u"localhost:8080"_s
                               << u"localhost 8080 localhost localhost:8080"_s;
    QTest::newRow("port 80 left out")
        << u"127.0.0.1:00080"_s << u"127.0.0.1 80 127.0.0.1 127.0.0.1"_s;
    QTest::newRow("ipv6") << u"[::1]:8080"_s << u"::1 8080 [::1] [::1]:8080"_s;
    QTest::newRow("ipv6, port 80")
        << u"[2001:db8::5]"_s << u"2001:db8::5 80 [2001:db8::5] [2001:db8::5]"_s;
    QTest::newRow("ipv6 with a zone")
        << u"[fe80::1%eth0]:81"_s << u"fe80::1%eth0 81 [fe80::1%eth0] [fe80::1%eth0]:81"_s;
    // Qt reads these as IPv6 addresses, but they would break the Host header.
    for (const QString& text :
         {u"[\r::]"_s, u"[::1 ]"_s, u"[::%*]"_s, u"[::1%]"_s, u"[::1%\r\nX-Injected: 1]:8080"_s})
        QTest::newRow(qPrintable(u"rejects header-breaking "_s + text.toHtmlEscaped()))
            << text << QString();
    // Separated by "|"; the first is the empty text.
    QStringList junk = u"|:80|host:|host:0|host:65536|host:80a|host:+80|host:\uff18\uff10|ho st|"
                       u"host\r\nX-Evil: 1|host/path|http://host|a:b:c|[::1|[::1]x|[::1]:|"
                       u"[1.2.3.4]|::1"_s.split(u'|');
    junk << QString(254, u'a');
    for (const QString& text : std::as_const(junk))
        QTest::newRow(qPrintable(u"rejects "_s + text.left(16))) << text << QString();
}

void TestProtocol::serverAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);

    const auto address = CheckServerAddress::parse(text);
    QCOMPARE(address.has_value(), !parsed.isEmpty());
    if (address) {
        QCOMPARE(address->host + u' ' + QString::number(address->port) + u' ' +
                     address->hostHeader() + u' ' + address->authority(),
                 parsed);
    }
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
