// The verdict and the markers it reads, over both exchange logs.
//
// Input: one mode byte (bit 0: the probe socket is UDP, bit 1: the UDP wait is over), then the
// HTTP log, a NUL byte, and the listener log. Both logs are taken one character per byte, as the
// engine stores what it receives.
//
// The expected verdict is worked out here again from the verdict table, with a search of its own
// (ASCII letters folded; the logs hold Latin-1 only, where no other letter folds to ASCII), and
// the extracted address and message must be the text between their markers in the HTTP log.
// When the reply has a token marker, the port is never open here unless the listener log holds
// the probe word followed by that token, and the token is well formed.

#include "engine/verdict.h"
#include "fuzz/fuzzcheck.h"

#include <QHostAddress>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

using namespace quillmere;

namespace {

std::u16string foldedAscii(QStringView text)
{
    std::u16string folded(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size()));
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
    }
    return folded;
}

std::u16string wide(std::string_view marker)
{
    std::u16string text;
    for (const char c : marker)
        text.push_back(char16_t(static_cast<unsigned char>(c)));
    return foldedAscii(QStringView(text.data(), qsizetype(text.size())));
}

bool has(const std::u16string& folded, std::string_view marker)
{
    return folded.find(wide(marker)) != std::u16string::npos;
}

// The text between the first `open` and the first `close` after it, as the reply carries it.
std::optional<QString> between(QStringView original, const std::u16string& folded,
                               std::string_view open, std::string_view close)
{
    const auto at = folded.find(wide(open));
    if (at == std::u16string::npos)
        return std::nullopt;
    const auto start = at + open.size();
    const auto end = folded.find(wide(close), start);
    if (end == std::u16string::npos)
        return QString();
    return original.mid(qsizetype(start), qsizetype(end - start)).toString();
}

bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'); // folded already
}

// The reply's token: nullopt when it has no token marker, an empty text when the first marker is
// not followed by kTokenMinDigits to kTokenMaxDigits hex digits and the closing "-".
std::optional<std::u16string> tokenOf(const std::u16string& http)
{
    const auto at = http.find(wide(wire::kTokenOpen));
    if (at == std::u16string::npos)
        return std::nullopt;
    const auto start = at + wire::kTokenOpen.size();
    auto end = start;
    while (end < http.size() && isHexDigit(http[end]))
        ++end;
    const auto digits = end - start;
    if (digits < wire::kTokenMinDigits || digits > wire::kTokenMaxDigits ||
        http.compare(end, wire::kTokenClose.size(), wide(wire::kTokenClose)) != 0)
        return std::u16string();
    return http.substr(start, digits);
}

// The probe word, the separator and the token, as the listener log must hold them.
std::u16string tokenProbe(const std::u16string& token)
{
    return wide(wire::kProbeWord) + wide(wire::kTokenSeparator) + token;
}

Outcome expectedOutcome(const std::u16string& http, const std::u16string& listener,
                        ProbeProtocol protocol, bool waitElapsed)
{
    if (!has(http, wire::kDone))
        return has(http, wire::kHttpOk) ? Outcome::ReplyWithoutCheck : Outcome::NoServerResult;
    const auto token = tokenOf(http);
    const bool probeArrived =
        !token ? has(listener, wire::kProbeWord)
               : !token->empty() && listener.find(tokenProbe(*token)) != std::u16string::npos;
    if (protocol == ProbeProtocol::Udp) {
        if (!waitElapsed)
            return Outcome::UdpGraceWait;
        return probeArrived ? Outcome::UdpArrived : Outcome::UdpMissing;
    }
    if (!has(http, wire::kTcpOpen))
        return Outcome::TcpNotReached;
    return probeArrived ? Outcome::TcpArrived : Outcome::TcpElsewhere;
}

// The status line a person reads says what the kind tells a script.
bool statusSays(const Verdict& v, VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::OpenHere:
        return v.status == text::kOpenHere;
    case VerdictKind::OpenElsewhere:
        return v.status == text::kOpenElsewhere;
    case VerdictKind::NotOpen:
        return v.status == text::kNotOpen || v.status == text::kNoResultButOk;
    case VerdictKind::NoResult:
        return v.status == text::kNoResult;
    case VerdictKind::Pending:
        return v.status == text::kWaitingForPacket;
    }
    return false;
}

TextColour expectedColour(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::OpenHere:
    case VerdictKind::OpenElsewhere:
        return TextColour::Green;
    case VerdictKind::NotOpen:
    case VerdictKind::NoResult:
        return TextColour::Red;
    case VerdictKind::Pending:
        break;
    }
    return TextColour::Blue;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const auto protocol = (data[0] & 1) ? ProbeProtocol::Udp : ProbeProtocol::Tcp;
    const bool waitElapsed = (data[0] & 2) != 0;
    const std::string_view rest = fuzz::bytes(data + 1, size - 1);
    const auto nul = rest.find('\0');
    const std::string_view httpBytes = rest.substr(0, nul);
    const std::string_view listenerBytes =
        nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
    const QString httpLog = QString::fromLatin1(httpBytes.data(), qsizetype(httpBytes.size()));
    const QString listenerLog =
        QString::fromLatin1(listenerBytes.data(), qsizetype(listenerBytes.size()));

    const Verdict v = decideVerdict(httpLog, listenerLog, protocol, waitElapsed);

    const std::u16string http = foldedAscii(httpLog);
    const std::u16string listener = foldedAscii(listenerLog);

    // A verdict always, and the one the table gives.
    FUZZ_CHECK(v.outcome != Outcome::Undecided);
    FUZZ_CHECK(v.outcome == expectedOutcome(http, listener, protocol, waitElapsed));

    // No open port here on the probe word alone once the reply names a token: only its probe.
    const VerdictKind kind = v.kind();
    if (kind == VerdictKind::OpenHere && has(http, wire::kTokenOpen)) {
        const auto token = tokenOf(http);
        FUZZ_CHECK(token && token->size() >= wire::kTokenMinDigits &&
                   token->size() <= wire::kTokenMaxDigits);
        FUZZ_CHECK(listener.find(tokenProbe(*token)) != std::u16string::npos);
    }

    // What it means, what it shows and what it asks of the timers agree with the outcome.
    FUZZ_CHECK(statusSays(v, kind));
    FUZZ_CHECK(!v.status.isEmpty());
    FUZZ_CHECK(v.statusColour == expectedColour(kind));
    FUZZ_CHECK((v.wait == WaitRequest::GraceWait) == (v.outcome == Outcome::UdpGraceWait));
    FUZZ_CHECK((v.wait == WaitRequest::Recheck) == (v.outcome == Outcome::TcpElsewhere));
    const bool explained = v.outcome != Outcome::ReplyWithoutCheck &&
                           v.outcome != Outcome::NoServerResult &&
                           v.outcome != Outcome::UdpGraceWait;
    FUZZ_CHECK(v.info.has_value() == explained);
    FUZZ_CHECK(!v.info || !v.info->isEmpty());
    if (protocol == ProbeProtocol::Tcp)
        FUZZ_CHECK(v.outcome != Outcome::UdpGraceWait && v.outcome != Outcome::UdpArrived &&
                   v.outcome != Outcome::UdpMissing);
    else
        FUZZ_CHECK(v.outcome != Outcome::TcpNotReached && v.outcome != Outcome::TcpArrived &&
                   v.outcome != Outcome::TcpElsewhere);

    // The ping line follows its marker.
    FUZZ_CHECK(v.pingOk == has(http, wire::kPingOk));
    FUZZ_CHECK(v.pingColour() == (v.pingOk ? TextColour::Green : TextColour::Red));

    // The address and the message are the reply's own text between their markers: nothing
    // invented, nothing of the closing marker taken along. The address is taken only when that
    // text is an address and nothing else (no blanks, no scope, no markup).
    auto address = between(httpLog, http, wire::kIpOpen, wire::kIpClose);
    if (address) {
        const bool addressCharacters = std::all_of(address->cbegin(), address->cend(), [](QChar c) {
            const char16_t u = c.unicode();
            return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') ||
                   (u >= u'A' && u <= u'F') || u == u'.' || u == u':';
        });
        if (!addressCharacters || QHostAddress(*address).isNull())
            address.reset();
    }
    FUZZ_CHECK(v.externalAddress == address);
    if (v.externalAddress) {
        FUZZ_CHECK(httpLog.contains(*v.externalAddress));
        FUZZ_CHECK(!v.externalAddress->contains(marker::kIpClose));
        FUZZ_CHECK(v.externalIpText() == text::kExternalIpPrefix + *v.externalAddress);
        FUZZ_CHECK(v.externalIpColour() == TextColour::Green);
    } else {
        FUZZ_CHECK(v.externalIpText() == text::kExternalIpUnknown);
        FUZZ_CHECK(v.externalIpColour() == TextColour::Red);
    }
    const auto message = between(httpLog, http, wire::kMessageOpen, wire::kMessageClose);
    FUZZ_CHECK(v.message == message);
    if (v.message) {
        FUZZ_CHECK(httpLog.contains(*v.message));
        FUZZ_CHECK(!v.message->contains(marker::kMessageClose, Qt::CaseInsensitive));
    }
    return 0;
}
