#pragma once

// What the NAT in front of this computer does with UDP, as a STUN server sees it (RFC 5780's
// behaviour discovery), the labels games and consoles give that behaviour, and the client that
// finds it out on a worker thread.

#include <QLatin1StringView>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>
#include <optional>

namespace quillmere::nat {

enum class Behaviour { None, EndpointIndependent, AddressDependent, AddressAndPortDependent };
// "none", "endpoint-independent", "address-dependent", "address-and-port-dependent"
QLatin1StringView behaviourWord(Behaviour behaviour);

enum class NatType { Open, Moderate, Strict };
QLatin1StringView natTypeWord(NatType type); // "open", "moderate", "strict"

enum class Nintendo { A, B, C, D, F };
QLatin1StringView nintendoWord(Nintendo nintendo); // "A" ... "F"

struct NatFacts
{
    QString server;                   // the STUN server asked, "host:port"
    bool answered = false;            // a STUN server answered at all
    std::optional<Behaviour> mapping; // None: the mapped address is this computer's own
    std::optional<Behaviour> filtering;
    std::optional<bool> portPreserved;
    QString externalAddress; // "address:port" as the server saw the first request; empty: none
    int localPort = 0;       // the local UDP port the tests used
    std::optional<NatType> type;
    std::optional<Nintendo> nintendo;
    QString limits;  // what could not be told, one line; empty: nothing
    QStringList log; // the exchange, a line each, for the log window
};

// One line for a person, after "NAT: ": e.g. "moderate (Nintendo B): one external port per local
// port, replies only from where you sent. A forward of the game's port, or UPnP, makes it open."
QString natLine(const NatFacts& facts);

// The parts the window shows: the type in large words ("Moderate"), what it means for games and
// calls, and what would change it.
struct NatWords
{
    QString title;
    QString meaning;
    QString change;
};
NatWords natWords(const NatFacts& facts);

struct NatRequest
{
    QString host;
    quint16 port = 3478;
    int localPort = 0;      // 0: any
    bool forwarded = false; // a forward/UPnP mapping for localPort to this computer
};

// Runs the RFC 5780 tests on a worker thread (never the GUI thread), at most 3 s in all.
class NatClient : public QObject
{
    Q_OBJECT

public:
    explicit NatClient(QObject* parent = nullptr);
    // Returns at once: a run not yet started is dropped, a running one is cancelled and left to
    // end on the worker thread. No signal comes after this.
    ~NatClient() override;

    // One run at a time: a run asked for while another goes is queued behind it.
    void discover(const NatRequest& request);
    bool busy() const;

Q_SIGNALS:
    void discovered(const quillmere::nat::NatFacts& facts);

private:
    struct Worker;
    std::shared_ptr<Worker> m_worker; // shared with the worker thread
    int m_pending = 0;                // runs asked for and not yet reported
};

} // namespace quillmere::nat
