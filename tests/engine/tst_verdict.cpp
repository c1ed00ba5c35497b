// The verdict table: which row the logs decide; and the ping and address lines. What each row
// shows is tested through the engine.

#include "engine/verdict.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace quillmere;

class TestVerdict : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowDecided_data();
    void rowDecided();
    void tokenDecidesWhichProbeCounts_data();
    void tokenDecidesWhichProbeCounts();
    void resultLines_data();
    void resultLines();
    void probeEndIsReadForTcpOnly_data();
    void probeEndIsReadForTcpOnly();
};

void TestVerdict::rowDecided_data()
{
    QTest::addColumn<QString>("httpLog");
    QTest::addColumn<QString>("listenerLog");
    QTest::addColumn<bool>("udp");
    QTest::addColumn<bool>("waitElapsed");
    QTest::addColumn<Outcome>("outcome");

    const QString ok = u"HTTP/1.0 200 OK\r\n\r\n"_s;
    const QString done = ok + u"-done- "_s;
    const QString open = ok + u"-done- -tcpopen-"_s;
    const QString probe = u"Data arrived on local port: 5000\r\nDunmoor port probe\r\n"_s;
    const QString none;

    QTest::newRow("200 OK without -done-")
        << ok + u"-tcpopen-"_s << probe << false << false << Outcome::ReplyWithoutCheck;
    QTest::newRow("200 OK without -done-, udp")
        << ok << probe << true << true << Outcome::ReplyWithoutCheck;
    QTest::newRow("200 ok in lower case")
        << u"HTTP/1.0 200 ok"_s << none << false << false << Outcome::ReplyWithoutCheck;
    QTest::newRow("nothing") << u"Quillmere version 1.0.39"_s << none << true << true
                             << Outcome::NoServerResult;
    QTest::newRow("other status") << u"HTTP/1.0 500 Oops\r\n-tcpopen-"_s << probe << false << false
                                  << Outcome::NoServerResult;
    QTest::newRow("-done- in the listener log only")
        << none << u"-done- dunmoor"_s << false << false << Outcome::NoServerResult;
    QTest::newRow("udp waits") << done << none << true << false << Outcome::UdpGraceWait;
    QTest::newRow("udp waits even with the probe here")
        << done << probe << true << false << Outcome::UdpGraceWait;
    QTest::newRow("udp probe arrived") << done << probe << true << true << Outcome::UdpArrived;
    QTest::newRow("udp probe in upper case")
        << done << u"DUNMOOR"_s << true << true << Outcome::UdpArrived;
    QTest::newRow("udp no probe") << done << none << true << true << Outcome::UdpMissing;
    QTest::newRow("udp ignores -tcpopen-") << open << none << true << true << Outcome::UdpMissing;
    QTest::newRow("probe word in the server log")
        << done + u"dunmoor"_s << none << true << true << Outcome::UdpMissing;
    QTest::newRow("tcp without -tcpopen-, probe here")
        << done << probe << false << false << Outcome::TcpNotReached;
    QTest::newRow("tcp open") << open << probe << false << false << Outcome::TcpArrived;
    QTest::newRow("tcp open, wait flag ignored")
        << open << probe << false << true << Outcome::TcpArrived;
    QTest::newRow("tcp markers in mixed case")
        << u"200 ok -Done- -TCPOPEN-"_s << u"DunMoor"_s << false << false << Outcome::TcpArrived;
    QTest::newRow("tcp other device") << open << u"Connection request from: 1.2.3.4:5"_s << false
                                      << false << Outcome::TcpElsewhere;
    QTest::newRow("tcp other device, wait flag ignored")
        << open << none << false << true << Outcome::TcpElsewhere;
}

void TestVerdict::rowDecided()
{
    QFETCH(QString, httpLog);
    QFETCH(QString, listenerLog);
    QFETCH(bool, udp);
    QFETCH(bool, waitElapsed);

    const auto protocol = udp ? ProbeProtocol::Udp : ProbeProtocol::Tcp;
    QTEST(decideVerdict(httpLog, listenerLog, protocol, waitElapsed).outcome, "outcome");
}

// With a token in the reply only a probe that carries it counts; the rows give the reply's token
// part and what the listener saw, and say whether that is this check's probe.
void TestVerdict::tokenDecidesWhichProbeCounts_data()
{
    QTest::addColumn<QString>("tokenPart");
    QTest::addColumn<QString>("listenerLog");
    QTest::addColumn<bool>("arrived");

    const QString token = u"0123456789abcdef0123456789abcdef"_s;
    const QString tokenPart = u"-token:"_s + token + u"-"_s;
    const QString probe = u"Data arrived on local port: 5000\r\nquillmere dunmoor "_s;
    const QString forged = u"Data arrived on local port: 5000\r\nDunmoor port probe\r\n"_s;

    QTest::newRow("no token: the probe word counts") << QString() << forged << true;
    QTest::newRow("no token: nothing") << QString() << QString() << false;
    QTest::newRow("the probe with its token") << tokenPart << probe + token + u"\r\n"_s << true;
    QTest::newRow("token in other letter case")
        << u"-TOKEN:"_s + token.toUpper() + u"-"_s << probe + token + u"\r\n"_s << true;
    QTest::newRow("probe in upper case") << tokenPart << (probe + token).toUpper() << true;
    QTest::newRow("the probe word alone") << tokenPart << forged << false;
    QTest::newRow("another token")
        << tokenPart << probe + u"0123456789abcdef0123456789abcdee"_s << false;
    QTest::newRow("token cut short") << tokenPart << probe + token.left(31) << false;
    QTest::newRow("token without the separator") << tokenPart << u"dunmoor"_s + token << false;
    QTest::newRow("token without the probe word") << tokenPart << token << false;
    QTest::newRow("token split by a second arrival")
        << tokenPart
        << probe + token.left(8) + u"\r\nData arrived on local port: 5000\r\n"_s + token.mid(8)
        << false;
    QTest::newRow("16 digits") << u"-token:0123456789abcdef-"_s << probe + u"0123456789abcdef"_s
                               << true;
    QTest::newRow("64 digits") << u"-token:"_s + token + token + u"-"_s << probe + token + token
                               << true;
    QTest::newRow("the first of two tokens counts")
        << tokenPart + u" -token:fedcba9876543210-"_s << probe + u"fedcba9876543210"_s << false;

    // A malformed token lets nothing count, however much of it the listener saw.
    const QList<std::pair<const char*, QString>> malformed{
        {"empty", u"-token:-"_s},
        {"not hex", u"-token:0123456789abcdefg123456789abcdef-"_s},
        {"15 digits", u"-token:0123456789abcde-"_s},
        {"65 digits", u"-token:"_s + token + token + u"0-"_s},
        {"no end", u"-token:"_s + token},
        {"space before the end", u"-token:"_s + token + u" -"_s},
        {"non-ASCII digit", u"-token:0123456789abcdef0123456789abcde\u0661-"_s},
    };
    for (const auto& [name, part] : malformed) {
        const QString digits = part.mid(7).chopped(part.endsWith(u'-') ? 1 : 0);
        QTest::addRow("malformed, %s, probe word", name) << part << forged << false;
        QTest::addRow("malformed, %s, probe with the digits", name)
            << part << probe + digits + u"\r\n"_s << false;
    }
}

void TestVerdict::tokenDecidesWhichProbeCounts()
{
    QFETCH(QString, tokenPart);
    QFETCH(QString, listenerLog);
    QFETCH(bool, arrived);

    const QString reply =
        u"HTTP/1.0 200 OK\r\n\r\n-ip:192.0.2.1- "_s + tokenPart + u" -tcpopen- -done-"_s;
    QCOMPARE(probeArrived(reply, listenerLog), arrived);
    QCOMPARE(decideVerdict(reply, listenerLog, ProbeProtocol::Tcp, false).outcome,
             arrived ? Outcome::TcpArrived : Outcome::TcpElsewhere);
    QCOMPARE(decideVerdict(reply, listenerLog, ProbeProtocol::Udp, true).outcome,
             arrived ? Outcome::UdpArrived : Outcome::UdpMissing);
    // The probe mark in the reply itself proves nothing.
    QCOMPARE(probeArrived(QString(reply + listenerLog), QString()), false);
}

void TestVerdict::resultLines_data()
{
    QTest::addColumn<QString>("httpLog");
    QTest::addColumn<bool>("pingOk");
    QTest::addColumn<QString>("addressText"); // empty: the address is unknown
    QTest::addColumn<bool>("hasMessage");
    QTest::addColumn<QString>("message");

    const QString prefix = u"Your external IP address is: "_s;
    QTest::newRow("all present") << u"-done- -ping ok -ip:198.51.100.4- <message>Hi</message>"_s
                                 << true << prefix + u"198.51.100.4"_s << true << u"Hi"_s;
    QTest::newRow("also without -done-") << u"garbage -PING OK -IP:10.0.0.9-"_s << true
                                         << prefix + u"10.0.0.9"_s << false << QString();
    QTest::newRow("none present") << u"-done- -ping failed"_s << false << QString() << false
                                  << QString();
    QTest::newRow("address ends at once")
        << u"-ip:-done-"_s << false << QString() << false << QString();
    QTest::newRow("address without end")
        << u"-ip:192.0.2.1"_s << false << QString() << false << QString();
    QTest::newRow("IPv6 address") << u"-done- -ip:2001:db8::7-"_s << false
                                  << prefix + u"2001:db8::7"_s << false << QString();
    // What is not an address is never shown as one: markup, control characters, words.
    QTest::newRow("markup for an address")
        << u"-done- -ip:<b>1.2.3.4</b><img src=\"http://example.invalid/x.png\">-"_s << false
        << QString() << false << QString();
    QTest::newRow("address and more") << u"-done- -ip:1.2.3.4\x1b[2J\r\nStatus: forged-"_s << false
                                      << QString() << false << QString();
    QTest::newRow("blanks around the address")
        << u"-done- -ip: 1.2.3.4 -"_s << false << QString() << false << QString();
    QTest::newRow("message without end")
        << u"<message>Down for"_s << false << QString() << true << QString();
}

void TestVerdict::resultLines()
{
    QFETCH(QString, httpLog);
    QFETCH(bool, pingOk);
    QFETCH(QString, addressText);
    QFETCH(bool, hasMessage);

    for (ProbeProtocol protocol : {ProbeProtocol::Tcp, ProbeProtocol::Udp}) {
        const Verdict verdict = decideVerdict(httpLog, QString(), protocol, false);
        QCOMPARE(verdict.pingText(), pingOk ? u"We were able to ping your router."_s
                                            : u"We were not able to ping your router."_s);
        QCOMPARE(verdict.pingColour(), pingOk ? TextColour::Green : TextColour::Red);
        QCOMPARE(verdict.externalIpText(),
                 addressText.isEmpty()
                     ? u"We were not able to determine your external IP address."_s
                     : addressText);
        QCOMPARE(verdict.externalIpColour(),
                 addressText.isEmpty() ? TextColour::Red : TextColour::Green);
        QCOMPARE(verdict.message.has_value(), hasMessage);
        if (hasMessage)
            QTEST(*verdict.message, "message");
    }
}

void TestVerdict::probeEndIsReadForTcpOnly_data()
{
    QTest::addColumn<QString>("httpLog");
    QTest::addColumn<bool>("udp");
    QTest::addColumn<int>("probe"); // -1: none

    const auto reply = [](const QString& marker) -> QString {
        return u"HTTP/1.0 200 OK\r\n\r\n-ip:192.0.2.7-"_s + marker + u"-done-"_s;
    };
    QTest::newRow("connected") << reply(u"-tcpopen--probe:connected-"_s) << false
                               << int(wire::ProbeEnd::Connected);
    QTest::newRow("refused") << reply(u"-probe:refused-"_s) << false
                             << int(wire::ProbeEnd::Refused);
    QTest::newRow("timed-out, a dash inside the word")
        << reply(u"-probe:timed-out-"_s) << false << int(wire::ProbeEnd::TimedOut);
    QTest::newRow("unreachable, upper case")
        << reply(u"-PROBE:UNREACHABLE-"_s) << false << int(wire::ProbeEnd::Unreachable);
    QTest::newRow("first marker counts")
        << reply(u"-probe:refused--probe:connected-"_s) << false << int(wire::ProbeEnd::Refused);
    QTest::newRow("no marker, an older server") << reply({}) << false << -1;
    QTest::newRow("unknown word") << reply(u"-probe:filtered-"_s) << false << -1;
    QTest::newRow("word cut short") << reply(u"-probe:timed-"_s) << false << -1;
    QTest::newRow("word without its dash") << u"-probe:connected"_s << false << -1;
    QTest::newRow("a longer word") << reply(u"-probe:connectedness-"_s) << false << -1;
    QTest::newRow("udp check ignores it") << reply(u"-probe:refused-"_s) << true << -1;
}

void TestVerdict::probeEndIsReadForTcpOnly()
{
    QFETCH(QString, httpLog);
    QFETCH(bool, udp);
    QFETCH(int, probe);
    const Verdict v =
        decideVerdict(httpLog, {}, udp ? ProbeProtocol::Udp : ProbeProtocol::Tcp, true);
    if (probe < 0)
        QVERIFY(!v.probe);
    else
        QCOMPARE(v.probe, std::optional(wire::ProbeEnd(probe)));
}
QTEST_GUILESS_MAIN(TestVerdict)
#include "tst_verdict.moc"
