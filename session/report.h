#pragma once

// What one check session found: each step's result, or that it did not run and why. The window
// and quillmere-check show it; neither runs a step itself.

#include "engine/addressfamily.h"
#include "engine/checkserver.h"
#include "engine/checkview.h"
#include "engine/verdict.h"
#include "engine/verdictwords.h"
#include "firewall/firewallfacts.h"
#include "router/routerfacts.h"
#include "service/portholders.h"
#include "session/diagnosis.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <utility>

namespace quillmere::session {

// One step of a session. NotRun carries why it did not (or will not) run; Done carries the
// step's result.
template <typename T>
class Step
{
public:
    enum class State { NotRun, Running, Done };

    State state() const { return m_state; }
    bool isDone() const { return m_state == State::Done; }
    bool isRunning() const { return m_state == State::Running; }
    bool isNotRun() const { return m_state == State::NotRun; }
    // Why the step did not run; empty while it may still run.
    const QString& reason() const { return m_reason; }
    // The result, once done.
    const std::optional<T>& result() const { return m_result; }
    const T& operator*() const { return *m_result; }
    const T* operator->() const { return &*m_result; }

    void skip(QString reason)
    {
        m_state = State::NotRun;
        m_reason = std::move(reason);
        m_result.reset();
    }
    void begin()
    {
        m_state = State::Running;
        m_reason.clear();
        m_result.reset();
    }
    void finish(T result)
    {
        m_state = State::Done;
        m_reason.clear();
        m_result = std::move(result);
    }
    // Back to "not run", with no reason: the step may still run.
    void reset() { skip(QString()); }

private:
    State m_state = State::NotRun;
    QString m_reason;
    std::optional<T> m_result;
};

// One check as it stood when its verdict stood: what the engine showed and what it decided.
struct CheckResult
{
    AddressFamily family = AddressFamily::IPv4;
    bool service = false;    // a check of the service that holds the port
    bool portLocked = false; // the port could not be opened here: nothing was checked
    std::optional<Verdict> verdict;
    std::array<QString, 4> texts;        // by ResultLabel
    std::array<TextColour, 4> colours{}; // by ResultLabel
    QString httpLog;
    QString listenerLog;

    const QString& text(ResultLabel label) const { return texts[std::size_t(label)]; }
    // What the check found, for the diagnosis: Pending when the port was locked.
    VerdictKind kind() const;
    ServiceReach reach() const;
    // The address the server named, or "address unknown".
    QString addressText() const;
};

// A forward the session asked for (or did not).
struct ForwardStep
{
    bool asked = false;    // the router was asked to add or remove the mapping
    bool removing = false; // a mapping was removed
    router::ForwardResult result;
    QString text; // one line for a person: what became of it, or why the router was not asked
};

struct Report
{
    QString portText;
    int port = 0; // 0 when the text names no port
    ProbeProtocol protocol = ProbeProtocol::Tcp;
    CheckServerAddress server;

    Step<QList<QHostAddress>> serverAddresses;
    // When every address of the server is on this computer or the LAN: the line that says the
    // result cannot speak for the router. Empty otherwise.
    QString serverNote;

    // A service check where nothing holds the port: no check ran.
    bool nothingHoldsPort = false;
    Step<CheckResult> check;               // the first family's check (after a forward, the second)
    std::optional<CheckResult> firstCheck; // the check before a forward, when checked again
    Step<router::RouterFacts> router;
    Step<router::Diagnosis> diagnosis;
    Step<service::PortHolders> holders; // who holds the port, read when the verdict stands
    Step<ForwardStep> forward;
    Step<CheckResult> ipv6;

    // This computer's firewall: which one runs, and whether it dropped or rejected the first
    // family's probe (from the kernel's counters read around that check's wait).
    Step<firewall::FirewallFacts> firewall;
};

} // namespace quillmere::session
