#include "service/procnettable.h"

#include <arpa/inet.h>
#include <cstring>

namespace quillmere::service {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1..maxDigits hex digits, nothing else.
std::optional<quint64> hexNumber(QByteArrayView text, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | quint64(digit);
    }
    return value;
}

// 1..20 decimal digits whose value fits in 64 bits.
std::optional<quint64> decimalNumber(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 20)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = quint64(c - '0');
        if (value > (~quint64(0) - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// "ADDR:PORT" with ADDR 8 or 32 hex digits. Each group of eight is a 32-bit word printed from
// host order, so storing the number back in host order gives the bytes in network order.
bool parseEndpoint(QByteArrayView text, QByteArray& address, quint16& port)
{
    const qsizetype colon = text.indexOf(':');
    if (colon != 8 && colon != 32)
        return false;
    const auto portValue = hexNumber(text.sliced(colon + 1), 4);
    if (!portValue)
        return false;
    address.resize(colon / 2);
    for (qsizetype word = 0; word < colon / 8; ++word) {
        const auto value = hexNumber(text.sliced(word * 8, 8), 8);
        if (!value)
            return false;
        const auto hostOrder = quint32(*value);
        std::memcpy(address.data() + word * 4, &hostOrder, 4);
    }
    port = quint16(*portValue);
    return true;
}

// The next field separated by spaces, or an empty view at the end of the line.
QByteArrayView nextField(QByteArrayView line, qsizetype& at)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (at < line.size() && isSpace(line[at]))
        ++at;
    const qsizetype start = at;
    while (at < line.size() && !isSpace(line[at]))
        ++at;
    return line.sliced(start, at - start);
}

bool isMappedIpv4(QByteArrayView address)
{
    static constexpr char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, char(0xFF), char(0xFF)};
    return address.size() == 16 && std::memcmp(address.data(), kPrefix, 12) == 0;
}

} // namespace

std::optional<ProcNetEntry> parseProcNetLine(QByteArrayView line)
{
    qsizetype at = 0;
    const QByteArrayView slot = nextField(line, at);
    if (slot.size() < 2 || !slot.endsWith(':') || !decimalNumber(slot.chopped(1)))
        return std::nullopt;

    ProcNetEntry entry;
    if (!parseEndpoint(nextField(line, at), entry.localAddress, entry.localPort) ||
        !parseEndpoint(nextField(line, at), entry.remoteAddress, entry.remotePort) ||
        entry.localAddress.size() != entry.remoteAddress.size())
        return std::nullopt;
    const auto state = hexNumber(nextField(line, at), 2);
    if (!state)
        return std::nullopt;
    entry.state = int(*state);

    // tx_queue:rx_queue, tr:tm->when and retrnsmt say nothing about who holds the socket.
    for (int skipped = 0; skipped < 3; ++skipped) {
        if (nextField(line, at).isEmpty())
            return std::nullopt;
    }
    const auto uid = decimalNumber(nextField(line, at));
    if (!uid || *uid > 0xFFFFFFFFu)
        return std::nullopt;
    entry.uid = quint32(*uid);
    if (nextField(line, at).isEmpty()) // timeout
        return std::nullopt;
    const auto inode = decimalNumber(nextField(line, at));
    if (!inode)
        return std::nullopt;
    entry.inode = *inode;
    return entry;
}

QString addressText(QByteArrayView address)
{
    if (address.size() != 4 && address.size() != 16)
        return {};
    // Written as `ss` and every other tool on the system writes it.
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(address.size() == 4 ? AF_INET : AF_INET6, address.data(), text, sizeof text))
        return {};
    return QString::fromLatin1(text);
}

bool isLoopbackAddress(QByteArrayView address)
{
    if (address.size() == 4)
        return quint8(address[0]) == 127;
    if (isMappedIpv4(address))
        return quint8(address[12]) == 127;
    static constexpr char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return address.size() == 16 && std::memcmp(address.data(), kLoopback, 16) == 0;
}

} // namespace quillmere::service
