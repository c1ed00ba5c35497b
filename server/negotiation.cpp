#include "server/negotiation.h"

#include "server/asciitext.h"

#include <optional>

namespace quillmere::server {

namespace {

// Splits at `separator` outside quoted strings (where a backslash takes the next byte along).
template <typename Take>
void splitOutsideQuotes(std::string_view text, char separator, Take take)
{
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\')
            ++i;
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == separator) {
            take(trimmed(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    take(trimmed(text.substr(std::min(start, text.size()))));
}

// "0", "0.", "0.D" to "0.DDD", "1", "1." and "1.0" to "1.000".
std::optional<Quality> parseQuality(std::string_view text)
{
    if (text.empty() || text.size() > 5 || (text[0] != '0' && text[0] != '1'))
        return std::nullopt;
    if (text.size() > 1 && text[1] != '.')
        return std::nullopt;
    Quality value = text[0] == '1' ? 1000 : 0;
    Quality scale = 100;
    for (std::size_t i = 2; i < text.size(); ++i, scale /= 10) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value += Quality(text[i] - '0') * scale;
    }
    if (value > 1000)
        return std::nullopt;
    return value;
}

struct MediaRange
{
    std::string_view type; // "type/subtype"
    Quality quality = 1000;
};

std::optional<MediaRange> parseElement(std::string_view element)
{
    std::optional<MediaRange> range;
    bool readable = true;
    bool first = true;
    splitOutsideQuotes(element, ';', [&](std::string_view part) {
        if (first) {
            first = false;
            const auto slash = part.find('/');
            if (slash == std::string_view::npos || slash == 0 || slash + 1 == part.size())
                readable = false;
            else
                range = MediaRange{part, 1000};
            return;
        }
        const auto equals = part.find('=');
        if (equals == std::string_view::npos)
            return; // a parameter without a value says nothing about the weight
        if (!equalsIgnoringCase(trimmed(part.substr(0, equals)), "q"))
            return;
        const auto quality = parseQuality(trimmed(part.substr(equals + 1)));
        if (quality && range)
            range->quality = *quality;
        else
            readable = false;
    });
    if (!readable)
        return std::nullopt;
    return range;
}

} // namespace

bool prefersJson(const std::vector<std::string>& acceptValues)
{
    std::optional<Quality> json;
    Quality html = 0;
    for (const std::string_view value : acceptValues) {
        splitOutsideQuotes(value, ',', [&](std::string_view element) {
            if (element.empty())
                return;
            const auto range = parseElement(element);
            if (!range)
                return;
            // The most favourable listing counts when a type is listed twice.
            if (equalsIgnoringCase(range->type, "application/json"))
                json = std::max(json.value_or(0), range->quality);
            else if (equalsIgnoringCase(range->type, "text/html"))
                html = std::max(html, range->quality);
        });
    }
    return json && *json > 0 && *json >= html;
}

} // namespace quillmere::server
