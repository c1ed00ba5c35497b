#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace quillmere {

// Rules of the port field, shared by every front end.

inline constexpr QStringView kDefaultPortText = u"1000";
inline constexpr QStringView kMaxPortText = u"65535";

// The change check: the text that must replace `text`, or nullopt when it may stay. An empty
// text stays; a text that is no whole number (an optional sign and decimal digits, within the
// signed 32-bit range) or whose value is above 65535 becomes "65535". Leading zeros and 0 stay.
std::optional<QString> cappedPortText(QStringView text);

// The port field's text after its change check.
QString normalisedPortText(QStringView text);

// The port number a text names (an optional sign and decimal digits), for opening a socket:
// nullopt unless 0..65535. The one place a port text becomes a number.
std::optional<int> portNumber(QStringView text);

// The same for a port written in plain decimal digits only (leading zeros allowed, no sign), as
// a command line or a server address gives it: such a text also goes into a URL as it is.
std::optional<int> plainPortNumber(QStringView text);

} // namespace quillmere
