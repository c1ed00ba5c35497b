#pragma once

// Shared pieces of the engine tests: a front end that records everything the engine shows, free
// ports, an engine pointed at a scripted check server, and a server the test drives by hand.

#include "engine/checkengine.h"
#include "tests/support/scriptedcheckserver.h"

#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace quillmere::test {

using namespace Qt::StringLiterals;

constexpr int kWait = 20000; // for QTRY: generous, the sanitizer build is slow

// Remembers every call of the engine, in order, as lines such as "text Status: Contacting
// Dunmoor port checker...", "colour Status: blue" or "box critical: the message".
class RecordingView final : public CheckView
{
public:
    QString port = u"1000"_s;
    bool tcp = true;
    QStringList calls;
    QStringList boxes;
    std::function<void()> whileBoxOpen;         // a test may spin an event loop here
    std::function<void(ResultLabel)> afterText; // a look at the engine as a label is set

    QString portText() const override { return port; }
    void setPortText(const QString& text) override
    {
        calls << u"port "_s + text;
        port = text;
    }
    bool isTcpSelected() const override { return tcp; }
    void setResultText(ResultLabel label, const QString& text) override
    {
        calls << u"text "_s + name(label) + u": "_s + text;
        m_texts[int(label)] = text;
        if (afterText)
            afterText(label);
    }
    void setResultColour(ResultLabel label, TextColour colour) override
    {
        calls << u"colour "_s + name(label) + u": "_s + QString(colourName(colour));
        m_colours[int(label)] = colour;
    }
    void showMessageBox(const QString& text, MessageIcon icon) override
    {
        calls << (icon == MessageIcon::Critical ? u"box critical: "_s : u"box plain: "_s) + text;
        boxes << calls.constLast();
        if (whileBoxOpen)
            whileBoxOpen();
    }

    QString text(ResultLabel label) const { return m_texts[int(label)]; }
    TextColour colour(ResultLabel label) const { return m_colours[int(label)]; }

private:
    static QString name(ResultLabel label)
    {
        static const QString names[] = {u"Status"_s, u"Info"_s, u"Ping"_s, u"ExternalIP"_s};
        return names[int(label)];
    }

    QString m_texts[4];
    TextColour m_colours[4] = {};
};

// A port that was free a moment ago (also the way to name a loopback port nobody listens on).
inline quint16 freePort(bool tcp = true)
{
    if (tcp) {
        QTcpServer probe;
        probe.listen(QHostAddress::Any, 0);
        return probe.serverPort();
    }
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

inline CheckServerAddress loopbackServer(quint16 port)
{
    return CheckServerAddress{u"127.0.0.1"_s, port};
}

// What the engine showed and armed at one evaluation, taken as it signals the verdict.
struct Evaluation
{
    Verdict verdict;
    QString status;
    QString info;
    bool waitActive = false;
    int waitInterval = 0;
    bool timeoutActive = false;
    QString httpLog;
};

// An engine with a recording view, pointed at a scripted server on loopback.
struct EngineRig
{
    RecordingView view;
    ScriptedCheckServer server;
    std::unique_ptr<CheckEngine> engine;
    QList<Evaluation> evaluations;

    bool start(bool tcp = true) { return server.listen() && attach(server.port(), tcp); }

    bool attach(quint16 serverPort, bool tcp)
    {
        view.tcp = tcp;
        view.port = QString::number(freePort(tcp));
        engine = std::make_unique<CheckEngine>(view, loopbackServer(serverPort));
        QObject::connect(
            engine.get(), &CheckEngine::evaluated, engine.get(), [this](const Verdict& verdict) {
                const QTimer& wait = engine->waitTimer();
                evaluations.append({verdict, view.text(ResultLabel::Status),
                                    view.text(ResultLabel::Info), wait.isActive(), wait.interval(),
                                    engine->timeoutTimer().isActive(), engine->httpLogText()});
            });
        return view.port != u"0"_s;
    }

    quint16 port() const { return quint16(view.port.toUInt()); }
    Outcome lastOutcome() const
    {
        return evaluations.isEmpty() ? Outcome::Undecided : evaluations.constLast().verdict.outcome;
    }
    // The outcomes of all evaluations, repeats of one folded into one.
    QList<Outcome> outcomeSequence() const
    {
        QList<Outcome> outcomes;
        for (const Evaluation& evaluation : evaluations) {
            if (outcomes.isEmpty() || outcomes.constLast() != evaluation.verdict.outcome)
                outcomes.append(evaluation.verdict.outcome);
        }
        return outcomes;
    }
};

// A check server driven by the test: each reply piece is written only once the engine has
// logged the one before, so that every piece is an arrival of its own however busy the machine.
class LockstepServer
{
public:
    bool listen() { return m_listener.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_listener.serverPort(); }

    void takeRequest()
    {
        QTRY_VERIFY_WITH_TIMEOUT(m_listener.hasPendingConnections(), kWait);
        m_client = m_listener.nextPendingConnection();
        QByteArray head;
        QTRY_VERIFY_WITH_TIMEOUT((head += m_client->readAll()).endsWith("\r\n\r\n"), kWait);
    }

    void reply(const CheckEngine& engine, const QList<QByteArray>& pieces)
    {
        for (const QByteArray& piece : pieces) {
            const qsizetype before = arrivals(engine);
            m_client->write(piece);
            QTRY_VERIFY_WITH_TIMEOUT(arrivals(engine) > before, kWait);
        }
        m_client->disconnectFromHost();
    }

    static qsizetype arrivals(const CheckEngine& engine)
    {
        return engine.httpLogText().count(u"HTTP: Begin data arrived: "_s);
    }

private:
    QTcpServer m_listener;
    QTcpSocket* m_client = nullptr;
};

// The entries of a log, split at CR LF.
inline QStringList logLines(const QString& log)
{
    QStringList lines = log.split(u"\r\n"_s);
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace quillmere::test
