#include "nat/discovery.h"

#include <QMetaObject>

namespace quillmere::nat {

void Cancel::cancel()
{
    const std::lock_guard lock(m_mutex);
    m_cancelled = true;
    if (m_loop)
        QMetaObject::invokeMethod(m_loop, "quit", Qt::QueuedConnection);
}

bool Cancel::cancelled() const
{
    const std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool Cancel::attach(QObject* loop)
{
    const std::lock_guard lock(m_mutex);
    m_loop = loop;
    return !m_cancelled;
}

void Cancel::detach()
{
    const std::lock_guard lock(m_mutex);
    m_loop = nullptr;
}

NatFacts runDiscovery(const NatRequest& request, Cancel& /*cancel*/, const Timing& /*timing*/)
{
    NatFacts facts;
    facts.server = request.host + u':' + QString::number(request.port);
    facts.localPort = request.localPort;
    facts.limits = QStringLiteral("the STUN exchange is not in this build yet");
    return facts;
}

} // namespace quillmere::nat
