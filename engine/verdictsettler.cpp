#include "engine/verdictsettler.h"

namespace quillmere {

VerdictSettler::VerdictSettler(QObject* parent)
    : QObject(parent)
{
    m_grace.setSingleShot(true);
    m_grace.setTimerType(Qt::PreciseTimer); // a coarse one may end the 5 s early
    m_grace.setInterval(kOtherDeviceGraceMs);
    connect(&m_grace, &QTimer::timeout, this, &VerdictSettler::settled);
}

void VerdictSettler::evaluated(const Verdict& verdict)
{
    switch (verdict.wait) {
    case WaitRequest::GraceWait:
        return;
    case WaitRequest::Recheck:
        if (!m_grace.isActive())
            m_grace.start();
        return;
    case WaitRequest::None:
        break;
    }
    m_grace.stop();
    Q_EMIT settled();
}

} // namespace quillmere
