#pragma once

#include <QLatin1StringView>
#include <QString>

namespace quillmere {

// The four colours of the result labels. The values are 24-bit colour values with red in the
// low byte, the form in which this program writes colours everywhere.
enum class TextColour : quint32 {
    Black = 0x000000,
    Red = 0x0000FF,   // RGB(255, 0, 0)
    Green = 0x096100, // RGB(0, 97, 9)
    Blue = 0xFF0000,  // RGB(0, 0, 255)
};

struct Rgb
{
    int red = 0;
    int green = 0;
    int blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A 24-bit value with red in the low byte, split into its parts.
constexpr Rgb rgbFromBgr(quint32 value)
{
    return Rgb{int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF)};
}

constexpr Rgb rgbOf(TextColour colour)
{
    return rgbFromBgr(quint32(colour));
}

// "black", "red", "green" or "blue".
inline QLatin1StringView colourName(TextColour colour)
{
    switch (colour) {
    case TextColour::Red:
        return QLatin1StringView("red");
    case TextColour::Green:
        return QLatin1StringView("green");
    case TextColour::Blue:
        return QLatin1StringView("blue");
    case TextColour::Black:
        break;
    }
    return QLatin1StringView("black");
}

// "#rrggbb".
inline QString colourHex(TextColour colour)
{
    const Rgb rgb = rgbOf(colour);
    const quint32 value = quint32(rgb.red) << 16 | quint32(rgb.green) << 8 | quint32(rgb.blue);
    return u'#' + QString::number(value, 16).rightJustified(6, u'0');
}

} // namespace quillmere
