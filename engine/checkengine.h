#pragma once

#include "engine/addressfamily.h"
#include "engine/checkprotocol.h"
#include "engine/checkserver.h"
#include "engine/checkview.h"
#include "engine/exchangelog.h"
#include "engine/socketobject.h"
#include "engine/verdict.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <optional>

namespace quillmere {

// One port check, from the click on "Check Me" to the verdict.
//
// The engine opens the probe socket `wsin` on the user's port, connects `wshttp` to the check
// server and sends the request, records both sides in the exchange logs `httpLog` and
// `listenerLog`, and decides the verdict from those logs alone. Everything is driven by events
// on one thread: the click, the socket events and the ticks of `tmrTimeout` (the overall time-out)
// and `tmrWait` (the UDP grace wait and the TCP re-check). Each handler runs to its end.
//
// The probe socket stays open for the whole check and takes every connection or datagram that
// comes (within SocketObject's bounds): anybody can reach the port, and only the probe that
// carries the check's token counts.
//
// Front ends plug in through CheckView: the engine reads the port text and the protocol choice
// from it and shows its results through it.
class CheckEngine : public QObject
{
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 30000;
    static constexpr int kGraceWaitMs = 5000;
    static constexpr int kRecheckMs = 5;
    static constexpr qsizetype kReplyHeadBytes = 8192;

    CheckEngine(CheckView& view, CheckServerAddress server, QObject* parent = nullptr);
    ~CheckEngine() override;

    // The overall time-out of a check; 30000 ms unless a caller (a test, the command line) asks
    // for another.
    void setTimeoutInterval(int milliseconds) { m_timeoutInterval = milliseconds; }
    int timeoutInterval() const { return m_timeoutInterval; }
    void setLogLimit(qsizetype characters);

    // The family the check runs over: the connection to the server goes over it, so the server
    // probes this computer's address of that family. Any (the default) lets the system choose.
    // A check over IPv6 shows its verdict in IPv6's own words.
    void setFamily(AddressFamily family) { m_family = family; }
    AddressFamily family() const { return m_family; }

    // A check of the service that already holds the port: no port is opened here, the server
    // probes whatever listens, and the verdict is decided once the server has answered, in the
    // words of serviceWords(). Nothing here can see a probe arrive, so nothing waits for one.
    void setServiceCheck(bool serviceCheck) { m_serviceCheck = serviceCheck; }
    bool isServiceCheck() const { return m_serviceCheck; }

    const CheckServerAddress& server() const { return m_server; }
    // The server the next check goes to; a check under way keeps its own.
    void setServer(const CheckServerAddress& server) { m_server = server; }

    // "Quillmere version 1.0.39", the line every check's server log starts with.
    static QString versionLine();
    // The line the listener log gets once half of its bound is used: from then on only what
    // carries the probe word is recorded from the port, so that strangers cannot crowd the
    // probe out of the log the verdict is read from.
    static QString strangerNotice(qsizetype limit);

    // Event handlers, named after the element and its event.
    void cmdCheckMeClick();
    void tmrTimeoutTick();
    void tmrWaitTick();
    void wsinConnectionRequest(int requestId);
    void wsinDataArrival(qint64 bytesTotal);
    void wsinClose();
    void wsinConnect();
    void wsinError(int number, const QString& description);
    void wsinPeerDropped(const QString& reason);
    void wshttpConnect();
    void wshttpDataArrival(qint64 bytesTotal);
    void wshttpClose();
    void wshttpError(int number, const QString& description);

    // Decides the verdict from the logs as they stand and shows it.
    void EvaluateResult();

    // Append one entry (without its line end) to a log.
    void AddLogHTTP(const QString& entry);
    void AddLogWS(const QString& entry);

    void ShowStatus(const QString& text, TextColour colour);
    void ShowInfo(const QString& text);
    void ShowPingStatus(const QString& text, TextColour colour);
    void ShowExternalIP(const QString& text, TextColour colour);

    // Ends whatever the current check still waits for: both timers stop, both sockets close.
    void stopCheck();

    // Read access for front ends and tests.
    const QString& httpLogText() const { return httpLog.text(); }
    const QString& listenerLogText() const { return listenerLog.text(); }
    bool isWaitElapsed() const { return waitElapsed; }
    const SocketObject& probeSocket() const { return wsin; }
    const SocketObject& serverSocket() const { return wshttp; }
    const QTimer& timeoutTimer() const { return tmrTimeout; }
    const QTimer& waitTimer() const { return tmrWait; }
    const std::optional<Verdict>& lastVerdict() const { return m_lastVerdict; }
    // Why the connection to the check server failed (refused, unreachable, reset): the error's
    // text, or nullopt when it did not fail.
    const std::optional<QString>& serverError() const { return m_serverError; }
    // The check server's refusal to run this check (429, 503), read from its reply.
    std::optional<ServerRefusal> refusal() const { return findRefusal(m_replyHead); }

Q_SIGNALS:
    // A click started a new check: both logs were reset.
    void checkStarted();
    void httpLogAppended();
    void listenerLogAppended();
    // After every evaluation, once the labels show it and before any server message is shown.
    void evaluated(const quillmere::Verdict& verdict);
    // The probe socket could not be opened; the locked-port texts are showing.
    void portLocked();

private:
    void reportLockedPort();
    // Whether an event of the checked port is recorded (see strangerNotice()).
    bool recordsFromPort(bool carriesProbeWord);
    void showVerdictLabels(const Verdict& verdict);
    void showExternalAddress(const Verdict& verdict);

    CheckView& m_view;
    CheckServerAddress m_server;
    CheckServerAddress m_checkServer; // the server of the check under way
    int m_timeoutInterval = kTimeoutMs;
    AddressFamily m_family = AddressFamily::Any;
    bool m_serviceCheck = false;

    SocketObject wsin;
    SocketObject wshttp;
    QTimer tmrTimeout;
    QTimer tmrWait;
    ExchangeLog httpLog;
    ExchangeLog listenerLog;
    bool waitElapsed = false;
    bool m_strangerNoticeLogged = false;

    QSet<QString> m_shownMessages; // server messages already shown in this check
    std::optional<QString> m_serverError;
    QByteArray m_replyHead; // the reply's first bytes, as far as a refusal is read from them

    // What the last verdict was decided from. The re-check runs every few milliseconds while
    // nothing changes; it reuses the verdict instead of searching the logs again.
    struct VerdictInputs
    {
        quint64 httpRevision = 0;
        quint64 listenerRevision = 0;
        ProbeProtocol protocol = ProbeProtocol::Tcp;
        bool waitElapsed = false;
        bool m_strangerNoticeLogged = false;
        friend bool operator==(const VerdictInputs&, const VerdictInputs&) = default;
    };
    VerdictInputs m_verdictInputs;
    std::optional<Verdict> m_lastVerdict;
};

} // namespace quillmere
