// The port field's rules: cappedPortText, normalisedPortText and portNumber.
//
// Input: the field's text, as UTF-8 (what a terminal or a paste hands over). The value of a whole
// number is worked out here again digit by digit, without a fixed-width type, so that texts far
// beyond any integer range are judged right.

#include "engine/porttext.h"
#include "fuzz/fuzzcheck.h"

#include <optional>

using namespace quillmere;

namespace {

// An optional sign and ASCII digits, as a sign and the digits without their leading zeros.
struct WholeNumber
{
    bool negative = false;
    QString digits; // empty for zero
};

std::optional<WholeNumber> wholeNumber(QStringView text)
{
    WholeNumber number;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        number.negative = text.front() == u'-';
        text = text.sliced(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return std::nullopt;
    }
    while (!text.isEmpty() && text.front() == u'0')
        text = text.sliced(1);
    number.digits = text.toString();
    return number;
}

// Compares the magnitude of `digits` (no leading zeros) with `limit`.
int compareMagnitude(const QString& digits, QStringView limit)
{
    if (digits.size() != limit.size())
        return digits.size() < limit.size() ? -1 : 1;
    return QStringView(digits).compare(limit);
}

bool fitsInt32(const WholeNumber& n)
{
    return compareMagnitude(n.digits, n.negative ? u"2147483648" : u"2147483647") <= 0;
}

bool isZero(const WholeNumber& n)
{
    return n.digits.isEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto number = wholeNumber(text);

    // portNumber: a value in 0..65535 exactly when the text is a whole number in that range.
    const auto port = portNumber(text);
    const bool inPortRange = number && (!number->negative || isZero(*number)) &&
                             compareMagnitude(number->digits, u"65535") <= 0;
    FUZZ_CHECK(port.has_value() == inPortRange);
    if (port) {
        FUZZ_CHECK(*port >= 0 && *port <= 65535);
        FUZZ_CHECK(QString::number(*port) ==
                   (isZero(*number) ? QStringLiteral("0") : number->digits));
    }

    // cappedPortText: nothing to replace, or "65535". An empty text stays, and so does a whole
    // number within 32 bits that is not above 65535 (zero, leading zeros and negatives too).
    const auto capped = cappedPortText(text);
    FUZZ_CHECK(!capped || *capped == kMaxPortText);
    const bool stays =
        text.isEmpty() || (number && fitsInt32(*number) &&
                           (number->negative || compareMagnitude(number->digits, u"65535") <= 0));
    FUZZ_CHECK(capped.has_value() == !stays);

    // normalisedPortText: the text itself or "65535", accepted as it is, and stable.
    const QString normalised = normalisedPortText(text);
    FUZZ_CHECK(normalised == (capped ? kMaxPortText.toString() : text));
    FUZZ_CHECK(!cappedPortText(normalised));
    FUZZ_CHECK(normalisedPortText(normalised) == normalised);
    if (port)
        FUZZ_CHECK(normalised == text);
    // A text the change check replaced always names a port.
    if (capped)
        FUZZ_CHECK(portNumber(normalised) == 65535);
    return 0;
}
