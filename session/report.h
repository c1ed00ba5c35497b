#pragma once

// What one check session found: each step's result, or that it did not run and why. The window
// and quillmere-check show it; neither runs a step itself.

#include "engine/addressfamily.h"
#include "engine/checkserver.h"
#include "engine/checkview.h"
#include "engine/verdict.h"
#include "engine/verdictwords.h"
#include "firewall/firewallfacts.h"
#include "nat/natfacts.h"
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
    // A mapping from another router port (SessionOptions::externalPort) over TCP: whether the
    // check through that port reached this computer's port. nullopt: not checked.
    std::optional<bool> externalReached;
};

// The way in from the internet and from inside the LAN: a control port checked beside a port
// that seems blocked before this computer, and one connection to the external address from
// here.
// How long the one connection to the external address may take.
inline constexpr int kHairpinLimitMs = 1000;
// The lease of the control port's mapping; it is removed as soon as the check of it stands.
inline constexpr qint64 kControlPortLeaseSeconds = 120;
// The range the control port is picked from (the dynamic ports).
inline constexpr int kControlPortFirst = 49152;
inline constexpr int kControlPortLast = 65535;

struct ControlPortResult
{
    int port = 0;         // the control port C, mapped from C at the router to C here
    bool open = false;    // the check of C found it open on this computer
    bool removed = false; // its mapping was removed (and, where the router lists mappings, is gone)
    // Whether the probe of the port reached this computer, as far as was known then.
    std::optional<bool> probeArrivedHere;
};

// How the one connection from this computer to EXTERNAL:PORT ended.
enum class HairpinEnd { Works, Refused, TimedOut };

struct HairpinResult
{
    HairpinEnd result = HairpinEnd::TimedOut;
    QString lanAddress; // "address:port": where devices inside reach the port
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

    // After the rest: a control port when the port seems blocked before this computer, and the
    // way back in from the LAN when it is open. The LAN address to use inside is known even
    // when the connection is not tried.
    Step<ControlPortResult> controlPort;
    Step<HairpinResult> hairpin;
    QString lanAddress; // "address:port" on the default route's interface; empty: unknown
    // This computer's firewall: which one runs, and whether it dropped or rejected the first
    // family's probe (from the kernel's counters read around that check's wait).
    Step<firewall::FirewallFacts> firewall;

    // What the NAT does with UDP (the STUN tests), after everything else, when asked for; alone
    // when no port was given.
    Step<nat::NatFacts> nat;
};

// The control port's finding as one line for a person: what the control port showed, what to
// do, and whether its mapping was removed. Empty when it did not run.
QString controlPortText(const Report& report);
// The way back in from the LAN as one line for a person, naming the LAN address to use inside.
// Empty when the connection was not tried.
QString hairpinText(const Report& report);

} // namespace quillmere::session
