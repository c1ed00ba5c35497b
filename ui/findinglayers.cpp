#include "ui/findinglayers.h"

#include "firewall/firewallfacts.h"
#include "session/report.h"

namespace quillmere {

using namespace Qt::StringLiterals;

namespace {

using Layer = RouterWindow::Layer;

// A step that did not run: why, or, while the check has not got that far, that nothing ran.
template <typename T>
void showNotRun(RouterWindow& window, Layer layer, const session::Step<T>& step,
                const session::Report& report)
{
    if (!step.reason().isEmpty())
        window.showNotChecked(layer, step.reason());
    else if (report.check.isRunning())
        window.showNotChecked(layer, u"the check has not finished"_s);
    else if (report.check.isNotRun())
        window.showNotChecked(layer, u"no check has run yet"_s);
    else
        window.showNotChecked(layer, u"not needed for this result"_s);
}

// "Allow in firewall" is offered for firewalld only, which opens a port over D-Bus with the
// user's consent; for the others the command is there to copy.
void showComputer(RouterWindow& window, const session::Report& report, const QString& note)
{
    const session::Step<firewall::FirewallFacts>& step = report.firewall;
    if (step.isRunning()) {
        window.showComputer(u"Looking at this computer's firewall..."_s, {}, false);
        return;
    }
    if (!step.isDone()) {
        showNotRun(window, Layer::Computer, step, report);
        return;
    }
    QString text = u"Firewall: "_s + firewall::describe(*step) + u'.';
    if (!note.isEmpty())
        text += u"\n\n"_s + note;
    const bool offerAllow = step->found == firewall::Kind::Firewalld && step->blocks == true;
    window.showComputer(text, step->fix.value_or(QString()), offerAllow);
}

void showPath(RouterWindow& window, const session::Report& report)
{
    const session::Step<session::ControlPortResult>& step = report.controlPort;
    if (step.isRunning()) {
        window.showPath(u"Trying a control port: mapping a second port and checking it..."_s, 0);
        return;
    }
    if (step.isDone()) {
        window.showPath(session::controlPortText(report), step->open ? step->port : 0);
        return;
    }
    showNotRun(window, Layer::Path, step, report);
}

void showInside(RouterWindow& window, const session::Report& report)
{
    const session::Step<session::HairpinResult>& step = report.hairpin;
    if (step.isRunning()) {
        window.showInside(u"Connecting to the external address from here..."_s);
        return;
    }
    if (step.isDone()) {
        window.showInside(session::hairpinText(report));
        return;
    }
    showNotRun(window, Layer::Inside, step, report);
}

QString behaviourText(const std::optional<nat::Behaviour>& behaviour)
{
    if (!behaviour)
        return u"not told"_s;
    QString text = nat::behaviourWord(*behaviour);
    if (*behaviour == nat::Behaviour::None)
        text += u" (the address the server saw is this computer's own)"_s;
    return text;
}

} // namespace

RouterWindow::NatSection natSection(const nat::NatFacts& facts)
{
    // What could not be told goes with the details, once, rather than after the advice.
    nat::NatFacts withoutLimits = facts;
    withoutLimits.limits.clear();
    const nat::NatWords words = nat::natWords(withoutLimits);
    RouterWindow::NatSection section{words.title, words.meaning, words.change, QString()};
    if (!facts.answered && facts.nintendo != nat::Nintendo::F) {
        // The window asks the check server's host; another check server is the other one to ask.
        section.change = u"Try again later, or choose another check server in Options > Check "
                         u"server...: its host is the STUN server asked."_s;
    }

    QStringList lines;
    if (facts.answered) {
        lines << u"Mapping: "_s + behaviourText(facts.mapping)
              << u"Filtering: "_s + behaviourText(facts.filtering)
              << u"Port preserved: "_s + (facts.portPreserved
                                              ? (*facts.portPreserved ? u"yes"_s : u"no"_s)
                                              : u"not told"_s);
        QString external =
            u"External address: "_s +
            (facts.externalAddress.isEmpty() ? u"not told"_s : facts.externalAddress);
        if (facts.localPort > 0)
            external += u" (local UDP port "_s + QString::number(facts.localPort) + u')';
        lines << external;
    }
    lines << u"STUN server: "_s + facts.server;
    if (!facts.limits.isEmpty())
        lines << u"Not told: "_s + facts.limits;
    section.detail = lines.join(u'\n');
    return section;
}

void showFindingLayers(RouterWindow& window, const session::Report& report,
                       const QString& computerNote)
{
    showComputer(window, report, computerNote);
    showPath(window, report);
    showInside(window, report);
}

} // namespace quillmere
