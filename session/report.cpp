#include "session/report.h"

namespace quillmere::session {

using namespace Qt::StringLiterals;

VerdictKind CheckResult::kind() const
{
    if (portLocked || !verdict)
        return VerdictKind::Pending;
    return verdict->kind();
}

ServiceReach CheckResult::reach() const
{
    if (portLocked || !verdict)
        return ServiceReach::Pending;
    return serviceReach(*verdict);
}

QString CheckResult::addressText() const
{
    if (verdict && verdict->externalAddress)
        return *verdict->externalAddress;
    return u"address unknown"_s;
}

QString controlPortText(const Report& report)
{
    if (!report.controlPort.isDone())
        return {};
    const ControlPortResult& control = *report.controlPort;
    QString text = router::controlPortDiagnosis(report.port, report.protocol, control.port,
                                                control.open, control.probeArrivedHere)
                       .text();
    text += control.removed ? u" The control port's mapping was removed."_s
                            : u" The control port's mapping could not be removed; it ends with "
                              u"its lease of "_s +
                                  QString::number(kControlPortLeaseSeconds) + u" s."_s;
    return text;
}

QString hairpinText(const Report& report)
{
    if (!report.hairpin.isDone() || !report.check.isDone() || !report.check->verdict)
        return {};
    const HairpinResult& hairpin = *report.hairpin;
    const QString external =
        report.check->verdict->externalAddress.value_or(u"the external address"_s) + u':' +
        QString::number(report.port);
    const QString lan =
        hairpin.lanAddress.isEmpty() ? u"this computer's LAN address"_s : hairpin.lanAddress;
    switch (hairpin.result) {
    case HairpinEnd::Works:
        return u"a connection from here to "_s + external +
               u" came back in: the router loops back, so devices inside can use the external "
               u"address as well as "_s +
               lan + u'.';
    case HairpinEnd::Refused:
        return external +
               u" refused a connection from here: the router answered for itself (its own web "
               u"page on port 80 or 443 often does). Devices inside must use "_s +
               lan + u'.';
    case HairpinEnd::TimedOut:
        break;
    }
    return u"a connection from here to "_s + external +
           u" got no answer within 1 s: the router takes it only half way back in (no full "
           u"loopback). Devices inside must use "_s +
           lan + u'.';
}

} // namespace quillmere::session
