#include "engine/checkengine.h"

#include "engine/porttext.h"
#include "engine/verdictwords.h"
#include "engine/version.h"

namespace quillmere {

using namespace Qt::StringLiterals;

CheckEngine::CheckEngine(CheckView& view, CheckServerAddress server, QObject* parent)
    : QObject(parent)
    , m_view(view)
    , m_server(std::move(server))
{
    // Coarse timers, Qt's default, may fire up to 5 % early: a 5 s wait could end after 4.75 s.
    tmrTimeout.setTimerType(Qt::PreciseTimer);
    tmrWait.setTimerType(Qt::PreciseTimer);
    connect(&tmrTimeout, &QTimer::timeout, this, &CheckEngine::tmrTimeoutTick);
    connect(&tmrWait, &QTimer::timeout, this, &CheckEngine::tmrWaitTick);

    connect(&wsin, &SocketObject::connectionRequest, this, &CheckEngine::wsinConnectionRequest);
    connect(&wsin, &SocketObject::dataArrival, this, &CheckEngine::wsinDataArrival);
    connect(&wsin, &SocketObject::closed, this, &CheckEngine::wsinClose);
    connect(&wsin, &SocketObject::connected, this, &CheckEngine::wsinConnect);
    connect(&wsin, &SocketObject::errorOccurred, this, &CheckEngine::wsinError);
    connect(&wsin, &SocketObject::peerDropped, this, &CheckEngine::wsinPeerDropped);

    connect(&wshttp, &SocketObject::connected, this, &CheckEngine::wshttpConnect);
    connect(&wshttp, &SocketObject::dataArrival, this, &CheckEngine::wshttpDataArrival);
    connect(&wshttp, &SocketObject::closed, this, &CheckEngine::wshttpClose);
    connect(&wshttp, &SocketObject::errorOccurred, this, &CheckEngine::wshttpError);
}

CheckEngine::~CheckEngine()
{
    stopCheck();
}

void CheckEngine::setLogLimit(qsizetype characters)
{
    httpLog.setLimit(characters);
    listenerLog.setLimit(characters);
}

QString CheckEngine::versionLine()
{
    return u"Quillmere version "_s + versionText();
}

QString CheckEngine::strangerNotice(qsizetype limit)
{
    return u"LOG: half of the "_s + QString::number(limit) +
           u"-character limit used; from here on only data with the probe word is recorded "
           u"from the port"_s;
}

void CheckEngine::cmdCheckMeClick()
{
    ShowExternalIP(QString(), TextColour::Black);
    ShowPingStatus(QString(), TextColour::Black);
    httpLog.reset(versionLine());
    listenerLog.reset();
    Q_EMIT checkStarted();
    m_view.setResultText(ResultLabel::Info, QString());
    waitElapsed = false;
    m_strangerNoticeLogged = false;
    // A wait armed by an earlier check must not evaluate this one, nor cancel its time-out.
    tmrWait.stop();
    m_shownMessages.clear();
    m_serverError.reset();
    m_replyHead.clear();
    m_lastVerdict.reset();
    tmrTimeout.setInterval(m_timeoutInterval);
    tmrTimeout.start();
    if (m_view.portText().isEmpty())
        m_view.setPortText(kDefaultPortText.toString());

    wsin.close();
    const QString port = m_view.portText();
    wsin.setProtocol(m_view.isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp);
    // A service check opens nothing: a running service holds the port. A text that names no
    // port fails like a locked port rather than reopening whatever port the socket had before.
    if (!m_serviceCheck && !openCheckPort(wsin, port)) {
        reportLockedPort();
        return;
    }

    wshttp.close();
    ShowStatus(text::kContacting.toString(), TextColour::Blue);
    m_checkServer = m_server;
    wshttp.connectToHost(m_checkServer.host, m_checkServer.port, networkLayer(m_family));
}

void CheckEngine::reportLockedPort()
{
    // The server is never contacted for this check, so nothing may later claim it could not
    // be reached: no time-out, and no earlier check's connection left to close into this one.
    tmrTimeout.stop();
    wshttp.close();
    const QString port = m_view.portText();
    m_view.showMessageBox(u"Could not test port "_s + port +
                              u" because some other application has that port locked. Please "
                              u"close any applications that may be using this port and try "
                              u"again."_s,
                          MessageIcon::None);
    ShowStatus(u"Port "_s + port +
                   u" could not be checked. Please close any applications that may be using "
                   u"this port and try again."_s,
               TextColour::Red);
    ShowInfo(u"Try closing all applications that could be using port "_s + port +
             u" and try again."_s);
    Q_EMIT portLocked();
}

void CheckEngine::tmrTimeoutTick()
{
    AddLogHTTP(u"ERR: Timeout"_s);
    tmrTimeout.stop();
    wshttp.close();
    wsin.close();
    EvaluateResult();
}

void CheckEngine::tmrWaitTick()
{
    tmrWait.stop();
    waitElapsed = true;
    EvaluateResult();
}

// Every connection is taken and the port goes on listening: whoever else reaches the port (a
// scanner, a device on the LAN) must not keep the server's probe out. Which connection was the
// probe is told by the check's token.
void CheckEngine::wsinConnectionRequest(int requestId)
{
    if (recordsFromPort(false)) {
        AddLogWS(u"Connection request from: "_s + wsin.remoteHostIP() + u':' +
                 QString::number(wsin.remotePort()) + u" on local port: "_s +
                 QString::number(wsin.localPort()));
    }
    wsin.accept(requestId);
}

void CheckEngine::wsinDataArrival(qint64 /*bytesTotal*/)
{
    const QString data = QString::fromLatin1(wsin.getData());
    if (!recordsFromPort(containsMarker(data, marker::kProbe)))
        return;
    AddLogWS(u"Data arrived on local port: "_s + QString::number(wsin.localPort()));
    AddLogWS(data);
}

void CheckEngine::wsinClose()
{
    if (recordsFromPort(false))
        AddLogWS(u"TCP: Close"_s);
}

void CheckEngine::wsinConnect()
{
    AddLogWS(u"Connect to: "_s + wsin.remoteHostIP() + u':' + QString::number(wsin.remotePort()));
}

void CheckEngine::wsinError(int /*number*/, const QString& description)
{
    if (recordsFromPort(false))
        AddLogWS(u"wsin_ERROR: "_s + description);
}

void CheckEngine::wsinPeerDropped(const QString& reason)
{
    if (recordsFromPort(false)) {
        AddLogWS(u"Dropped the connection from "_s + wsin.remoteHostIP() + u':' +
                 QString::number(wsin.remotePort()) + u": "_s + reason);
    }
}

bool CheckEngine::recordsFromPort(bool carriesProbeWord)
{
    if (carriesProbeWord || listenerLog.text().size() < listenerLog.limit() / 2)
        return true;
    if (!m_strangerNoticeLogged) {
        m_strangerNoticeLogged = true;
        AddLogWS(strangerNotice(listenerLog.limit()));
    }
    return false;
}

void CheckEngine::wshttpConnect()
{
    ShowStatus(text::kConnected.toString(), TextColour::Blue);
    AddLogHTTP(u"HTTP: Connect to: "_s + wshttp.remoteHostIP() + u':' +
               QString::number(wshttp.remotePort()));
    const ProbeProtocol protocol = m_view.isTcpSelected() ? ProbeProtocol::Tcp : ProbeProtocol::Udp;
    wshttp.sendData(buildCheckRequest(m_view.portText(), protocol, m_checkServer.hostHeader()));
}

void CheckEngine::wshttpDataArrival(qint64 bytesTotal)
{
    const QByteArray data = wshttp.getData();
    if (m_replyHead.size() < kReplyHeadBytes)
        m_replyHead += data.first(std::min(data.size(), kReplyHeadBytes - m_replyHead.size()));
    AddLogHTTP(u"HTTP: Begin data arrived: "_s + QString::number(bytesTotal) + u"\r\n"_s +
               QString::fromLatin1(data));
}

void CheckEngine::wshttpClose()
{
    AddLogHTTP(u"HTTP: Close ok"_s);
    // Closed (or reset: the system reports both alike) before a byte of reply came.
    if (m_replyHead.isEmpty() && !m_serverError) {
        m_serverError = u"The check server closed the connection without a reply"_s;
        AddLogHTTP(u"wshttp_ERROR: "_s + *m_serverError);
    }
    wshttp.close();
    EvaluateResult();
}

// A connection that failed (refused, unreachable, reset) brings nothing more: the check ends at
// once with what the log holds, which before any reply is no result. A server that accepted and
// stays silent is not an error; the time-out ends that check.
void CheckEngine::wshttpError(int /*number*/, const QString& description)
{
    AddLogHTTP(u"wshttp_ERROR: "_s + description);
    if (!m_serverError)
        m_serverError = description;
    wshttp.close();
    EvaluateResult();
}

void CheckEngine::EvaluateResult()
{
    tmrTimeout.stop();
    // A service check has no probe to wait for: what the server said is all there is.
    const bool elapsed = waitElapsed || m_serviceCheck;
    const VerdictInputs inputs{httpLog.revision(), listenerLog.revision(), wsin.protocol(),
                               elapsed};
    if (!m_lastVerdict || inputs != m_verdictInputs) {
        m_lastVerdict = decideVerdict(httpLog.text(), listenerLog.text(), wsin.protocol(), elapsed);
        m_verdictInputs = inputs;
    }
    const Verdict verdict = *m_lastVerdict;

    switch (m_serviceCheck ? WaitRequest::None : verdict.wait) {
    case WaitRequest::Recheck:
        tmrWait.stop();
        tmrWait.setInterval(kRecheckMs);
        tmrWait.start();
        showVerdictLabels(verdict);
        break;
    case WaitRequest::GraceWait:
        showVerdictLabels(verdict);
        tmrWait.setInterval(kGraceWaitMs);
        tmrWait.start();
        break;
    case WaitRequest::None:
        showVerdictLabels(verdict);
        break;
    }
    ShowPingStatus(verdict.pingText(), verdict.pingColour());
    showExternalAddress(verdict);

    Q_EMIT evaluated(verdict);

    // The re-check runs every few milliseconds; a message is shown once per check however often
    // the verdict runs, and marked before the (modal) box opens so that a run made while it is
    // open does not open another.
    if (verdict.message && !m_shownMessages.contains(*verdict.message)) {
        m_shownMessages.insert(*verdict.message);
        m_view.showMessageBox(*verdict.message, MessageIcon::Critical);
    }
}

void CheckEngine::showVerdictLabels(const Verdict& verdict)
{
    if (m_serviceCheck || m_family == AddressFamily::IPv6) {
        const QString port = m_view.portText();
        const VerdictWords words = m_serviceCheck ? serviceWords(verdict, port)
                                                  : ipv6Words(verdict, wsin.protocol(), port);
        ShowStatus(words.status, words.statusColour);
        if (words.info)
            ShowInfo(*words.info);
        return;
    }
    ShowStatus(verdict.status, verdict.statusColour);
    if (verdict.info)
        ShowInfo(*verdict.info);
}

void CheckEngine::showExternalAddress(const Verdict& verdict)
{
    if (m_family == AddressFamily::IPv6) {
        const VerdictWords words = ipv6Words(verdict, wsin.protocol(), m_view.portText());
        ShowExternalIP(words.externalIp, words.externalIpColour);
        return;
    }
    ShowExternalIP(verdict.externalIpText(), verdict.externalIpColour());
}

void CheckEngine::AddLogHTTP(const QString& entry)
{
    if (httpLog.append(entry))
        Q_EMIT httpLogAppended();
}

void CheckEngine::AddLogWS(const QString& entry)
{
    if (listenerLog.append(entry))
        Q_EMIT listenerLogAppended();
}

void CheckEngine::ShowStatus(const QString& text, TextColour colour)
{
    m_view.setResultText(ResultLabel::Status, text);
    m_view.setResultColour(ResultLabel::Status, colour);
}

void CheckEngine::ShowInfo(const QString& text)
{
    m_view.setResultText(ResultLabel::Info, text);
    m_view.setResultColour(ResultLabel::Info, TextColour::Black);
}

void CheckEngine::ShowPingStatus(const QString& text, TextColour colour)
{
    m_view.setResultText(ResultLabel::PingStatus, text);
    m_view.setResultColour(ResultLabel::PingStatus, colour);
}

void CheckEngine::ShowExternalIP(const QString& text, TextColour colour)
{
    m_view.setResultText(ResultLabel::ExternalIP, text);
    m_view.setResultColour(ResultLabel::ExternalIP, colour);
}

void CheckEngine::stopCheck()
{
    tmrTimeout.stop();
    tmrWait.stop();
    wshttp.close();
    wsin.close();
}

} // namespace quillmere
