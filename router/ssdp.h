#pragma once

// The SSDP search for an Internet Gateway Device, done by hand on a UDP socket so that every
// reply can be judged before anything is fetched: anything on the LAN can answer. A reply is
// believed only when its sender is on one of this computer's own subnets and its LOCATION is an
// http URL on that very sender (over IPv6: on the sender's link, see acceptSsdp6Reply).

#include "router/boundedcall.h"
#include "router/httpfetch.h"

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillmere::router {

struct SsdpAnswer
{
    QHostAddress sender;
    HttpUrl location;
};

// Where a search over IPv6 goes: the link-local group for SSDP.
inline constexpr QLatin1StringView kSsdpIpv6Group("ff02::c");

struct SsdpSearch
{
    // The multicast group, or a unicast responder in tests. An IPv6 group carries the interface
    // to search on as its scope id.
    QHostAddress destination;
    quint16 port = 1900;
    int timeoutMs = 1500;
    // The default gateway, when known: a good reply from it ends the search at once.
    QHostAddress preferred;
    // How long to go on listening after the first good reply from another sender.
    int graceMs = 300;
    int maxAnswers = 4;
    // Ends the search at once when cancelled; may be null.
    const CancelToken* cancel = nullptr;
    // Ends it too: the search has run long enough for its caller (may be null).
    const CancelToken* stop = nullptr;
};

// Anything on the LAN can send replies, as many as it likes: the search reads on until its time
// is up however many junk replies come, counts only good ones towards kMaxSsdpReplies, judges
// at most kMaxSsdpRepliesPerSender replies of each sender (the rest of a sender's are dropped
// unjudged), and logs only so many ignored replies.
inline constexpr int kMaxSsdpReplies = 64;
inline constexpr int kMaxSsdpRepliesPerSender = 8;
inline constexpr int kMaxSsdpIgnoredLogged = 16;

// The M-SEARCH datagram sent.
QByteArray ssdpSearchDatagram(const QHostAddress& destination, quint16 port);

// Judges one reply: the LOCATION it names when it is to be believed; nullopt otherwise, with
// `*why` saying why (for the log).
std::optional<HttpUrl> acceptSsdpReply(QByteArrayView datagram, const QHostAddress& sender,
                                       QString* why);

// Judges one reply to a search over IPv6 on the interface `interfaceIndex` (0: a unicast
// search, where any of this computer's links counts): the sender must be on that link, and the
// LOCATION an http URL on the sender or, for a global or unique local address, on an address
// of that link's prefixes that is not this computer's own.
std::optional<HttpUrl> acceptSsdp6Reply(QByteArrayView datagram, const QHostAddress& sender,
                                        unsigned interfaceIndex, QString* why);

// Sends the search and collects the good replies (distinct locations, the preferred sender's
// first), until `timeoutMs`, or earlier as set out above. Adds a short line to `log` for the
// search and for each reply.
QList<SsdpAnswer> searchGateways(const SsdpSearch& search, QStringList* log);

} // namespace quillmere::router
