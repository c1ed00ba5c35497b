#include "engine/porttext.h"

#include "wire/checkwire.h"

namespace quillmere {

namespace {

// A signed 32-bit whole number: an optional sign and at least one ASCII digit, nothing else.
std::optional<qint32> toWholeNumber(QStringView text)
{
    QStringView digits = text;
    if (!digits.isEmpty() && (digits.front() == u'-' || digits.front() == u'+'))
        digits = digits.sliced(1);
    if (digits.isEmpty())
        return std::nullopt;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint32 value = text.toInt(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<QString> cappedPortText(QStringView text)
{
    if (text.isEmpty())
        return std::nullopt;
    const auto value = toWholeNumber(text);
    if (!value || *value > wire::kMaxPort)
        return kMaxPortText.toString();
    return std::nullopt;
}

QString normalisedPortText(QStringView text)
{
    if (auto replacement = cappedPortText(text))
        return *replacement;
    return text.toString();
}

std::optional<int> portNumber(QStringView text)
{
    const auto value = toWholeNumber(text);
    if (!value || *value < 0 || *value > wire::kMaxPort)
        return std::nullopt;
    return *value;
}

std::optional<int> plainPortNumber(QStringView text)
{
    if (text.isEmpty() || text.front() == u'-' || text.front() == u'+')
        return std::nullopt;
    return portNumber(text);
}

} // namespace quillmere
