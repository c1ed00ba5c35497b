#include "ui/ipv6check.h"

#include "engine/verdictwords.h"

namespace quillmere {

using namespace Qt::StringLiterals;

Ipv6Check::Ipv6Check(const CheckServerAddress& server, QObject* parent)
    : QObject(parent)
    , m_engine(*this, server)
{
    m_engine.setFamily(AddressFamily::IPv6);
    connect(&m_settler, &VerdictSettler::settled, this, &Ipv6Check::settle);
    connect(&m_engine, &CheckEngine::evaluated, this, &Ipv6Check::onEvaluated);
    connect(&m_engine, &CheckEngine::portLocked, this, [this] {
        m_locked = true;
        settle();
    });
}

void Ipv6Check::start(const QString& portText, ProbeProtocol protocol,
                      std::optional<VerdictKind> ipv4, int timeoutMs)
{
    cancel();
    m_portText = portText;
    m_protocol = protocol;
    m_ipv4 = ipv4;
    m_locked = false;
    m_running = true;
    m_engine.setTimeoutInterval(timeoutMs);
    m_engine.cmdCheckMeClick();
}

void Ipv6Check::cancel()
{
    m_running = false;
    m_settler.reset();
    m_engine.stopCheck();
}

void Ipv6Check::setResultText(ResultLabel label, const QString& text)
{
    if (label == ResultLabel::Status)
        m_status = text;
    else if (label == ResultLabel::Info)
        m_info = text;
}

void Ipv6Check::onEvaluated(const Verdict& verdict)
{
    if (m_running)
        m_settler.evaluated(verdict);
}

void Ipv6Check::settle()
{
    if (!m_running)
        return;
    m_running = false;
    m_settler.reset();
    m_engine.stopCheck();
    if (m_locked) {
        Q_EMIT finished(u"IPv6: the port could not be opened on this computer to check it."_s,
                        QString());
        return;
    }
    const auto& verdict = m_engine.lastVerdict();
    const QString address =
        verdict && verdict->externalAddress ? *verdict->externalAddress : u"address unknown"_s;
    QString details = m_info;
    if (verdict && verdict->externalAddress && m_ipv4) {
        const QString hint = ipv6OnlyHint(*m_ipv4, verdict->kind(), address, m_portText);
        if (!hint.isEmpty())
            details += u"\n\n"_s + hint;
    }
    Q_EMIT finished(u"IPv6: "_s + m_status + u" ("_s + address + u')', details);
}

} // namespace quillmere
