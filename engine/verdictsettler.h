#pragma once

#include "engine/verdict.h"

#include <QObject>
#include <QTimer>

namespace quillmere {

// Tells when a check's verdict stands, for a front end that reports it once: at the first
// evaluation that waits for nothing, or, for "open on another device" (which the engine keeps
// evaluating while the probe may still arrive here), once a grace time has passed without a
// change. The UDP grace wait's own evaluation decides; the one that starts it does not.
class VerdictSettler : public QObject
{
    Q_OBJECT

public:
    static constexpr int kOtherDeviceGraceMs = 5000;

    explicit VerdictSettler(QObject* parent = nullptr);

    // One evaluation of the check. `settled()` follows at once, after the grace, or not yet.
    void evaluated(const Verdict& verdict);
    // A new check, or none: the grace stops.
    void reset() { m_grace.stop(); }
    const QTimer& graceTimer() const { return m_grace; }

Q_SIGNALS:
    void settled();

private:
    QTimer m_grace;
};

} // namespace quillmere
