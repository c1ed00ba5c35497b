#pragma once

#include "engine/checkengine.h"
#include "engine/checkview.h"
#include "engine/verdictsettler.h"

#include <QObject>
#include <QString>

#include <optional>

namespace quillmere {

// The window's second check, over IPv6, run after its IPv4 check with the same port and
// protocol. It shows nothing itself: it keeps the engine's label texts and reports one line for
// the window when its verdict stands.
class Ipv6Check : public QObject, public CheckView
{
    Q_OBJECT

public:
    explicit Ipv6Check(const CheckServerAddress& server, QObject* parent = nullptr);

    // `ipv4` is what the IPv4 check found, for the hint when only IPv6 is open.
    void start(const QString& portText, ProbeProtocol protocol, std::optional<VerdictKind> ipv4,
               int timeoutMs);
    void cancel();
    bool isRunning() const { return m_running; }
    CheckEngine& engine() { return m_engine; }

    // CheckView
    QString portText() const override { return m_portText; }
    void setPortText(const QString& text) override { m_portText = text; }
    bool isTcpSelected() const override { return m_protocol == ProbeProtocol::Tcp; }
    void setResultText(ResultLabel label, const QString& text) override;
    void setResultColour(ResultLabel, TextColour) override {}
    void showMessageBox(const QString&, MessageIcon) override {}

Q_SIGNALS:
    // `line`: "IPv6: " and the verdict with the address probed. `details`: the explanation, and
    // what it means when only IPv6 is open.
    void finished(const QString& line, const QString& details);

private:
    void onEvaluated(const Verdict& verdict);
    void settle();

    QString m_portText;
    ProbeProtocol m_protocol = ProbeProtocol::Tcp;
    std::optional<VerdictKind> m_ipv4;
    QString m_status;
    QString m_info;
    CheckEngine m_engine;
    VerdictSettler m_settler;
    bool m_running = false;
    bool m_locked = false;
};

} // namespace quillmere
