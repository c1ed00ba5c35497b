#pragma once

// The labels a NAT's behaviour gets: the console types and the words for a person. One table in
// natlabels.cpp gives them all; the discovery asks it for the type, the window and the command
// line for the words.

#include "nat/natfacts.h"

#include <QList>

#include <optional>

namespace quillmere::nat {

// What the discovery found, as the table reads it.
struct Situation
{
    std::optional<Behaviour> mapping;   // nullopt: not told
    std::optional<Behaviour> filtering; // nullopt: not told
    bool forwarded = false;             // a forward or UPnP mapping for the local port in use
    // With a dependent mapping: whether the next external port can be guessed from the last
    // ones (see portsPredictable). nullopt: not told.
    std::optional<bool> predictable;
    bool udpBlocked = false; // UDP is shown blocked (no STUN answer, the server there over TCP)
};

struct Label
{
    std::optional<NatType> type;
    std::optional<Nintendo> nintendo;
};

Label label(const Situation& situation);

// Whether the external ports a dependent mapping handed out, in the order they were first seen,
// are predictable: each new one is 1 to kPredictableDelta away from the one before, all in the
// same direction. A peer can then guess the next port by trying a few beside the last. The steps
// need not be equal: other mappings (the filtering tests' own socket among them) may take ports
// in between. Fewer than two ports tell nothing (nullopt).
inline constexpr int kPredictableDelta = 8;
std::optional<bool> portsPredictable(const QList<int>& portsInOrder);

} // namespace quillmere::nat
