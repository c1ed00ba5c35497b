#include "firewall/counters.h"

#include <QFile>
#include <QList>

#include <algorithm>

namespace quillmere::firewall {

namespace {

QList<QByteArrayView> words(QByteArrayView line)
{
    QList<QByteArrayView> result;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            result.append(line.sliced(start, i - start));
    }
    return result;
}

QList<QByteArrayView> lines(QByteArrayView text)
{
    QList<QByteArrayView> result;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (i > start)
                result.append(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    return result;
}

// A counter in plain decimal digits; nullopt for anything else (a sign, a fraction, a value
// beyond 64 bits). Some fields (Tcp MaxConn) are -1: they are never ones read here.
std::optional<quint64> counter(QByteArrayView word)
{
    if (word.isEmpty() || word.size() > 20)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const quint64 digit = quint64(c - '0');
        if (value > (~quint64(0) - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

struct Field
{
    QByteArrayView name;
    quint64 IpCounters::*member;
};

// Sets the members named in `fields` from a header line and its value line. Returns whether
// the pair was well formed (same number of words); a value that is no counter leaves its member.
bool readPair(const QList<QByteArrayView>& header, const QList<QByteArrayView>& values,
              std::initializer_list<Field> fields, IpCounters& into)
{
    if (header.size() != values.size())
        return false;
    for (qsizetype i = 1; i < header.size(); ++i) {
        for (const Field& field : fields) {
            if (header[i] == field.name) {
                if (const auto value = counter(values[i]))
                    into.*(field.member) = *value;
            }
        }
    }
    return true;
}

} // namespace

std::optional<IpCounters> parseSnmp(QByteArrayView text)
{
    const QList<QByteArrayView> all = lines(text);
    IpCounters result;
    bool ip = false;
    for (qsizetype i = 0; i + 1 < all.size(); ++i) {
        const QList<QByteArrayView> header = words(all[i]);
        const QList<QByteArrayView> values = words(all[i + 1]);
        if (header.isEmpty() || values.isEmpty() || header[0] != values[0])
            continue;
        // A header line names counters; its value line starts with the same "Ip:".
        if (values.size() > 1 && !counter(values[1]) && values[1] != "-1")
            continue;
        if (header.size() > 1 && counter(header[1]))
            continue; // a value line followed by another: not a header
        if (header[0] == "Ip:") {
            ip = readPair(header, values,
                          {{"InReceives", &IpCounters::inReceives},
                           {"InHdrErrors", &IpCounters::inHdrErrors},
                           {"InAddrErrors", &IpCounters::inAddrErrors},
                           {"InUnknownProtos", &IpCounters::inUnknownProtos},
                           {"InDiscards", &IpCounters::inDiscards},
                           {"InDelivers", &IpCounters::inDelivers},
                           {"ForwDatagrams", &IpCounters::forwDatagrams},
                           {"ReasmReqds", &IpCounters::reasmReqds},
                           {"ReasmOKs", &IpCounters::reasmOks}},
                          result) ||
                 ip;
        } else if (header[0] == "Tcp:") {
            readPair(header, values, {{"InSegs", &IpCounters::tcpInSegs}}, result);
        } else if (header[0] == "Udp:") {
            readPair(header, values, {{"InDatagrams", &IpCounters::udpInDatagrams}}, result);
        } else {
            continue;
        }
        ++i; // the value line is used
    }
    if (!ip)
        return std::nullopt;
    return result;
}

std::optional<IpCounters> parseSnmp6(QByteArrayView text)
{
    static const Field fields[] = {
        {"Ip6InReceives", &IpCounters::inReceives},
        {"Ip6InHdrErrors", &IpCounters::inHdrErrors},
        {"Ip6InAddrErrors", &IpCounters::inAddrErrors},
        {"Ip6InUnknownProtos", &IpCounters::inUnknownProtos},
        {"Ip6InDiscards", &IpCounters::inDiscards},
        {"Ip6InDelivers", &IpCounters::inDelivers},
        {"Ip6OutForwDatagrams", &IpCounters::forwDatagrams},
        {"Ip6ReasmReqds", &IpCounters::reasmReqds},
        {"Ip6ReasmOKs", &IpCounters::reasmOks},
        {"Udp6InDatagrams", &IpCounters::udpInDatagrams},
    };
    IpCounters result;
    bool receives = false;
    for (const QByteArrayView line : lines(text)) {
        const QList<QByteArrayView> pair = words(line);
        if (pair.size() != 2)
            continue;
        const auto value = counter(pair[1]);
        if (!value)
            continue;
        for (const Field& field : fields) {
            if (pair[0] == field.name) {
                result.*(field.member) = *value;
                receives = receives || field.member == &IpCounters::inReceives;
            }
        }
    }
    if (!receives)
        return std::nullopt;
    return result;
}

quint64 grownBy(quint64 before, quint64 after)
{
    return after > before ? after - before : 0;
}

quint64 vanishedBetween(const IpCounters& before, const IpCounters& after)
{
    const quint64 received = grownBy(before.inReceives, after.inReceives);
    // Fragments count in InReceives one by one and in InDelivers once whole: the fragments that
    // became whole datagrams, less those datagrams, are accounted for.
    const quint64 fragments = grownBy(before.reasmReqds, after.reasmReqds);
    const quint64 whole = grownBy(before.reasmOks, after.reasmOks);
    const quint64 accounted = grownBy(before.inDelivers, after.inDelivers) +
                              grownBy(before.forwDatagrams, after.forwDatagrams) +
                              grownBy(before.inHdrErrors, after.inHdrErrors) +
                              grownBy(before.inAddrErrors, after.inAddrErrors) +
                              grownBy(before.inUnknownProtos, after.inUnknownProtos) +
                              grownBy(before.inDiscards, after.inDiscards) +
                              (fragments > whole ? fragments - whole : 0);
    return received > accounted ? received - accounted : 0;
}

namespace {

std::optional<QByteArray> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Both files are a few kilobytes; a bound keeps a strange file from growing without end.
    return file.read(1 << 16);
}

void add(IpCounters& into, const IpCounters& more)
{
    into.inReceives += more.inReceives;
    into.inHdrErrors += more.inHdrErrors;
    into.inAddrErrors += more.inAddrErrors;
    into.inUnknownProtos += more.inUnknownProtos;
    into.inDiscards += more.inDiscards;
    into.inDelivers += more.inDelivers;
    into.forwDatagrams += more.forwDatagrams;
    into.reasmReqds += more.reasmReqds;
    into.reasmOks += more.reasmOks;
    into.udpInDatagrams += more.udpInDatagrams;
}

} // namespace

std::optional<IpCounters> readCounters(const CounterFiles& files, CounterFamily family)
{
    const auto snmpText = readFile(files.snmp);
    const std::optional<IpCounters> v4 = snmpText ? parseSnmp(*snmpText) : std::nullopt;
    if (family == CounterFamily::IPv4)
        return v4;
    const auto snmp6Text = readFile(files.snmp6);
    std::optional<IpCounters> v6 = snmp6Text ? parseSnmp6(*snmp6Text) : std::nullopt;
    if (v6)
        v6->tcpInSegs = v4 ? v4->tcpInSegs : 0;
    if (family == CounterFamily::IPv6)
        return v6;
    if (!v4 || !v6)
        return v4 ? v4 : v6;
    IpCounters both = *v4;
    add(both, *v6);
    return both;
}

} // namespace quillmere::firewall
