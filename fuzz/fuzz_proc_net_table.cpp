// One line of the kernel's socket tables, as the local port holders read it.
//
// Input: the line, without its newline (the reader hands the parser no more). Whatever is
// parsed must be what the line says: the ports are worked out here again from the text, the
// address text must read back as the same address, and loopback must agree with it.

#include "fuzz/fuzzcheck.h"
#include "service/procnettable.h"

#include <QHostAddress>

#include <string_view>

using namespace quillmere::service;

namespace {

// The fields of the line, split at spaces.
std::vector<std::string_view> fields(std::string_view line)
{
    std::vector<std::string_view> result;
    for (const std::string_view part : quillmere::fuzz::split(line, ' ')) {
        if (!part.empty())
            result.push_back(part);
    }
    return result;
}

// The value of the hex digits after the colon of an "ADDR:PORT" field.
unsigned long portOf(std::string_view endpoint)
{
    const auto colon = endpoint.find(':');
    FUZZ_CHECK(colon != std::string_view::npos);
    unsigned long value = 0;
    for (const char c : endpoint.substr(colon + 1)) {
        const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        FUZZ_CHECK(digit >= 0 && digit < 16);
        value = value * 16 + unsigned(digit);
        FUZZ_CHECK(value <= 65535);
    }
    return value;
}

void checkAddress(const QByteArray& address)
{
    FUZZ_CHECK(address.size() == 4 || address.size() == 16);
    const QString text = addressText(address);
    const QHostAddress read(text);
    FUZZ_CHECK(!read.isNull());
    if (address.size() == 4) {
        FUZZ_CHECK(read.protocol() == QAbstractSocket::IPv4Protocol);
        const quint32 value = read.toIPv4Address();
        for (int i = 0; i < 4; ++i)
            FUZZ_CHECK(quint8(address[i]) == quint8(value >> (24 - 8 * i)));
    } else {
        const Q_IPV6ADDR value = read.toIPv6Address();
        for (int i = 0; i < 16; ++i)
            FUZZ_CHECK(quint8(address[i]) == value[i]);
    }
    FUZZ_CHECK(read.toString() == text);
    FUZZ_CHECK(isLoopbackAddress(address) == read.isLoopback());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view line = quillmere::fuzz::bytes(data, size);
    if (line.find_first_of("\t\r\n") != std::string_view::npos)
        return 0; // the reader splits at new lines; tabs and returns are not in the tables
    const auto entry = parseProcNetLine(QByteArrayView(line.data(), qsizetype(line.size())));
    if (!entry)
        return 0;

    const auto parts = fields(line);
    FUZZ_CHECK(parts.size() >= 10);
    FUZZ_CHECK(portOf(parts[1]) == entry->localPort);
    FUZZ_CHECK(portOf(parts[2]) == entry->remotePort);
    FUZZ_CHECK(entry->state >= 0 && entry->state <= 0xFF);
    FUZZ_CHECK(entry->localAddress.size() == entry->remoteAddress.size());
    checkAddress(entry->localAddress);
    checkAddress(entry->remoteAddress);
    return 0;
}
