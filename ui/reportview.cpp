#include "ui/reportview.h"

#include "router/describe.h"
#include "session/checksession.h"
#include "support/plaintext.h"
#include "support/theme.h"
#include "ui_mainwindow.h"

#include <QHostAddress>
#include <QLabel>

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

// Shows the first IPv4 address of `addresses`, if there is one.
void showFirstIpv4(QLabel& label, const QList<QHostAddress>& addresses)
{
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            label.setText(address.toString());
            return;
        }
    }
}

// The short names by code. Other parts of the program may add codes of their own; a code missing
// here falls back to the headline, cut to the line.
struct NamedFinding
{
    QStringView code;
    QStringView name;
};
constexpr NamedFinding kFindingNames[] = {
    {u"forwarded-here", u"Forwarded here"},
    {u"forwarded-elsewhere", u"Goes to another device"},
    {u"not-forwarded", u"Not forwarded"},
    {u"forwarded-but-blocked", u"Forwarded, but blocked"},
    {u"carrier-nat", u"Carrier-grade NAT"},
    {u"double-nat", u"Double NAT"},
    {u"another-nat", u"Another NAT in the way"},
    {u"no-router", u"No router answered"},
    {u"no-check-result", u"No check result"},
    {u"blocked-by-this-computer", u"Blocked by this computer"},
    {u"blocked-upstream", u"Blocked before the router"},
};

// A line cut to the label, with the whole of it on hover.
void showLine(QLabel& label, const QString& line)
{
    label.setText(label.fontMetrics().elidedText(line, Qt::ElideRight, label.width()));
    label.setToolTip(plainToolTip(line));
}

} // namespace

QString findingName(QStringView code)
{
    for (const NamedFinding& named : kFindingNames) {
        if (named.code == code)
            return named.name.toString();
    }
    return {};
}

QString shortFinding(QStringView code, const QFontMetrics& metrics, int width)
{
    const QString name = findingName(code);
    if (name.isEmpty())
        return {};
    const QString pointed = name + u": Router\u2026 explains"_s;
    return metrics.horizontalAdvance(pointed) <= width ? pointed : name;
}

ReportView::ReportView(Ui::MainWindow& ui, session::CheckSession& session)
    : m_ui(ui)
    , m_session(session)
{
    // Result labels carry text from the network: never rich text, never links.
    for (QLabel* label : {m_ui.lblStatus, m_ui.lblInfo, m_ui.lblPingStatus, m_ui.lblExternalIP,
                          m_ui.Label11, m_ui.lblIpv6, m_ui.lblServerNote}) {
        label->setTextFormat(Qt::PlainText);
        label->setTextInteractionFlags(Qt::NoTextInteraction);
    }
    m_ui.lblRouter->setTextFormat(Qt::PlainText);
    m_ui.lblRouter->setTextInteractionFlags(Qt::NoTextInteraction);
}

QLabel* ReportView::resultLabel(ResultLabel label) const
{
    switch (label) {
    case ResultLabel::Status:
        return m_ui.lblStatus;
    case ResultLabel::Info:
        return m_ui.lblInfo;
    case ResultLabel::PingStatus:
        return m_ui.lblPingStatus;
    case ResultLabel::ExternalIP:
        break;
    }
    return m_ui.lblExternalIP;
}

void ReportView::setResultText(ResultLabel label, const QString& text)
{
    resultLabel(label)->setText(text);
}

void ReportView::setResultColour(ResultLabel label, TextColour colour)
{
    QLabel* target = resultLabel(label);
    QPalette palette = target->palette();
    palette.setColor(QPalette::WindowText, colorFromBgr(quint32(colour)));
    target->setPalette(palette);
}

void ReportView::checkStarted()
{
    m_ui.lblIpv6->clear();
    m_ui.lblIpv6->setToolTip(QString());
    m_ui.cmdCheckService->hide();
}

// The check's labels show its verdict already: what follows it is the offer to check a running
// service after a locked port, and who holds the port after a service check.
void ReportView::verdictStands()
{
    const session::Report& report = m_session.report();
    const session::CheckResult& check = *report.check;
    if (check.portLocked && report.port > 0)
        m_ui.cmdCheckService->show();
    if (report.holders.isDone()) {
        const QString holders =
            service::describeHolders(*report.holders, quint16(report.port), report.protocol);
        const QString info = m_ui.lblInfo->text();
        if (!info.endsWith(holders))
            m_ui.lblInfo->setText(info + u" Port "_s + QString::number(report.port) + u" is "_s +
                                  holders + u'.');
    }
}

void ReportView::ipv6Started()
{
    m_ui.lblIpv6->setText(u"IPv6: checking..."_s);
}

void ReportView::showIpv6Line()
{
    const session::Report& report = m_session.report();
    const session::CheckResult& ipv6 = *report.ipv6;
    QString line = u"IPv6: the port could not be opened on this computer to check it."_s;
    QString details;
    if (!ipv6.portLocked) {
        line = u"IPv6: "_s + ipv6.text(ResultLabel::Status) + u" ("_s + ipv6.addressText() + u')';
        details = ipv6.text(ResultLabel::Info);
        if (ipv6.verdict && ipv6.verdict->externalAddress && !report.check->portLocked) {
            const QString hint = ipv6OnlyHint(report.check->kind(), ipv6.kind(),
                                              *ipv6.verdict->externalAddress, report.portText);
            if (!hint.isEmpty())
                details += u"\n\n"_s + hint;
        }
    }
    QLabel* label = m_ui.lblIpv6;
    label->setText(label->fontMetrics().elidedText(line, Qt::ElideRight, label->width()));
    label->setToolTip(plainToolTip(line + u"\n\n"_s + details));
}

void ReportView::finished()
{
    const session::Report& report = m_session.report();
    if (report.nothingHoldsPort)
        m_ui.lblInfo->setText(
            u"Port "_s + QString::number(report.port) + u" is "_s +
            service::describeHolders(*report.holders, quint16(report.port), report.protocol) +
            u'.');
}

void ReportView::clearServerAddress()
{
    m_ui.Label11->clear();
    m_ui.lblServerNote->clear();
    m_ui.lblServerNote->hide();
}

void ReportView::serverLookedUp()
{
    const session::Report& report = m_session.report();
    showFirstIpv4(*m_ui.Label11, report.serverAddresses.result().value_or(QList<QHostAddress>()));
    const QString& note = report.serverNote;
    m_ui.lblServerNote->setText(note);
    m_ui.lblServerNote->setToolTip(plainToolTip(note));
    m_ui.lblServerNote->setVisible(!note.isEmpty());
}

// The router's answer and the check's verdict meet in the diagnosis whenever either changes;
// the router never holds up the verdict.
RouterFinding ReportView::showRouterFinding()
{
    const session::Report& report = m_session.report();
    QString line;
    QString facts;
    QString diagnosis;
    QString shortLine; // the finding by name, when there is one
    bool diagnosed = false;
    bool canForward = false;
    if (report.router.isRunning()) {
        line = facts = u"Asking the router..."_s;
        diagnosis = u"Waiting for the router..."_s;
    } else if (report.router.isNotRun() && !report.router.reason().isEmpty()) {
        // The window says why; the line beside "Router..." stays as it was.
        facts = diagnosis = u"Not checked: "_s + report.router.reason() + u'.';
    } else if (report.router.isDone()) {
        facts =
            u"Router: "_s + router::describeRouter(*report.router, report.port, report.protocol);
        if (m_session.engine().isServiceCheck()) {
            line = facts;
            diagnosis = session::kServiceCheckDiagnosis.toString();
        } else if (report.check.isDone() && report.check->portLocked) {
            // No check ran: there is nothing to set beside the router's answer.
            line = facts;
            diagnosis = u"The port could not be opened on this computer, so it was not checked."_s;
        } else if (!report.diagnosis.isDone()) {
            line = diagnosis = u"Waiting for the check..."_s;
        } else {
            line = report.diagnosis->headline;
            diagnosis = report.diagnosis->text();
            canForward = m_session.forwardObstacle().isEmpty();
            diagnosed = true;
            shortLine = shortFinding(QString(router::findingCode(report.diagnosis->finding)),
                                     m_ui.lblRouter->fontMetrics(), m_ui.lblRouter->width());
        }
    }
    QLabel* label = m_ui.lblRouter;
    if (shortLine.isEmpty())
        showLine(*label, line);
    else
        label->setText(shortLine);
    // A finding's whole text, headline and next step, is one hover away.
    if (diagnosed)
        label->setToolTip(plainToolTip(diagnosis));
    return RouterFinding{facts, diagnosis, canForward};
}

} // namespace quillmere
