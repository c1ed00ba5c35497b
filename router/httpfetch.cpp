#include "router/httpfetch.h"

#include "router/socketfd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

Deadline deadlineIn(int ms)
{
    return Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

int msLeft(Deadline deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<qint64>(left, 24 * 3600 * 1000));
}

QString HttpUrl::toString() const
{
    return u"http://"_s + hostText() + u':' + QString::number(port) + QString::fromLatin1(path);
}

QString HttpUrl::hostText() const
{
    if (host.protocol() != QAbstractSocket::IPv6Protocol)
        return host.toString();
    // QHostAddress puts a zone after '%'; in a URL it is "%25".
    QHostAddress bare = host;
    bare.setScopeId(QString());
    const QString zone = host.scopeId();
    return u'[' + bare.toString() + (zone.isEmpty() ? QString() : u"%25"_s + zone) + u']';
}

QString printableExcerpt(QByteArrayView text)
{
    constexpr qsizetype kMaxChars = 120;
    QString out;
    for (char c : text.first(std::min<qsizetype>(text.size(), kMaxChars)))
        out += uchar(c) >= 0x20 && uchar(c) < 0x7f ? QChar::fromLatin1(c) : u'?';
    if (text.size() > kMaxChars)
        out += u"..."_s;
    return out;
}

namespace {

// A URL's port: one to five decimal digits naming 1 to 65535; nullopt for anything else.
std::optional<quint16> urlPort(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

} // namespace

std::optional<HttpUrl> parseHttpUrl(QByteArrayView text)
{
    constexpr QByteArrayView scheme = "http://";
    if (text.size() < scheme.size() || text.size() > 1024 ||
        QByteArrayView(text.first(scheme.size())).compare(scheme, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QByteArrayView rest = text.sliced(scheme.size());
    qsizetype slash = rest.indexOf('/');
    const QByteArrayView authority = slash < 0 ? rest : rest.first(slash);
    const QByteArrayView path = slash < 0 ? QByteArrayView("/") : rest.sliced(slash);
    for (char c : path)
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f)
            return std::nullopt;

    QByteArrayView hostText = authority;
    HttpUrl url;
    if (hostText.startsWith('[')) {
        // An IPv6 literal: hex digits, colons and dots only (inet_pton takes nothing else), and
        // a zone ("%25eth0") only on a link-local address, where it names the interface.
        const qsizetype close = authority.indexOf(']');
        if (close < 0)
            return std::nullopt;
        const QByteArrayView after = authority.sliced(close + 1);
        if (!after.isEmpty() && !after.startsWith(':'))
            return std::nullopt;
        QByteArrayView literal = authority.sliced(1, close - 1);
        QByteArrayView zone;
        if (const qsizetype percent = literal.indexOf('%'); percent >= 0) {
            zone = literal.sliced(percent);
            literal = literal.first(percent);
            if (!zone.startsWith("%25") || zone.size() < 4 || zone.size() > 3 + IF_NAMESIZE - 1)
                return std::nullopt;
            zone = zone.sliced(3);
            for (char c : zone)
                if (!std::isalnum(uchar(c)) && c != '-' && c != '_' && c != '.')
                    return std::nullopt;
        }
        if (literal.isEmpty() || literal.size() > INET6_ADDRSTRLEN - 1)
            return std::nullopt;
        char text6[INET6_ADDRSTRLEN] = {};
        std::memcpy(text6, literal.data(), size_t(literal.size()));
        in6_addr address6{};
        if (inet_pton(AF_INET6, text6, &address6) != 1)
            return std::nullopt;
        url.host = QHostAddress(address6.s6_addr);
        if (!zone.isEmpty()) {
            if (!url.host.isLinkLocal())
                return std::nullopt;
            url.host.setScopeId(QString::fromLatin1(zone));
        }
        if (!after.isEmpty()) {
            const std::optional<quint16> port = urlPort(after.sliced(1));
            if (!port)
                return std::nullopt;
            url.port = *port;
        } else {
            url.port = 80;
        }
        url.path = path.toByteArray();
        return url;
    }
    if (const qsizetype colon = authority.indexOf(':'); colon >= 0) {
        hostText = authority.first(colon);
        const std::optional<quint16> port = urlPort(authority.sliced(colon + 1));
        if (!port)
            return std::nullopt;
        url.port = *port;
    }
    // Dotted-quad digits only: inet_pton accepts no short forms, names or userinfo.
    if (hostText.isEmpty() || hostText.size() > 15)
        return std::nullopt;
    char host[16] = {};
    std::memcpy(host, hostText.data(), size_t(hostText.size()));
    in_addr address{};
    if (inet_pton(AF_INET, host, &address) != 1)
        return std::nullopt;
    url.host = QHostAddress(ntohl(address.s_addr));
    url.path = path.toByteArray();
    return url;
}

std::optional<QByteArray> decodeChunked(QByteArrayView data, bool* malformed)
{
    *malformed = false;
    QByteArray out;
    qsizetype at = 0;
    for (;;) {
        const qsizetype lineEnd = data.indexOf("\r\n", at);
        if (lineEnd < 0)
            return std::nullopt;
        QByteArrayView sizeText = data.sliced(at, lineEnd - at);
        if (const qsizetype semicolon = sizeText.indexOf(';'); semicolon >= 0)
            sizeText = sizeText.first(semicolon);
        sizeText = sizeText.trimmed();
        if (sizeText.isEmpty() || sizeText.size() > 8) {
            *malformed = true;
            return std::nullopt;
        }
        qsizetype size = 0;
        for (char c : sizeText) {
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                *malformed = true;
                return std::nullopt;
            }
            size = size * 16 + digit;
        }
        at = lineEnd + 2;
        if (size == 0)
            return out; // trailers, if any, are not needed
        if (data.size() - at < size + 2)
            return std::nullopt;
        out.append(data.sliced(at, size));
        at += size;
        if (data.sliced(at, 2) != QByteArrayView("\r\n")) {
            *malformed = true;
            return std::nullopt;
        }
        at += 2;
    }
}

unsigned scopeIndex(const QString& scopeId)
{
    if (scopeId.isEmpty())
        return 0;
    bool number = false;
    const unsigned index = scopeId.toUInt(&number);
    if (number)
        return index;
    return ::if_nametoindex(scopeId.toLatin1().constData());
}

namespace {

// Waits for `events` on `fd` until `deadline`. False on time-out or a poll error.
bool waitFor(int fd, short events, Deadline deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int left = msLeft(deadline);
        const int ready = ::poll(&entry, 1, left);
        if (ready > 0)
            return true;
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
    }
}

struct Head
{
    int status = 0;
    std::optional<qsizetype> contentLength;
    bool chunked = false;
    QByteArray location;
};

// Parses the head (up to but not including the blank line). False when it is no HTTP head.
bool parseHead(QByteArrayView head, Head* out)
{
    QList<QByteArrayView> lines;
    qsizetype at = 0;
    while (at <= head.size()) {
        qsizetype end = head.indexOf('\n', at);
        if (end < 0)
            end = head.size();
        QByteArrayView line = head.sliced(at, end - at);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        at = end + 1;
    }
    if (lines.isEmpty())
        return false;
    const QByteArrayView statusLine = lines.first();
    if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine[8] != ' ')
        return false;
    int status = 0;
    for (int i = 9; i < 12; ++i) {
        const char c = statusLine[i];
        if (c < '0' || c > '9')
            return false;
        status = status * 10 + (c - '0');
    }
    out->status = status;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArrayView name = line.first(colon).trimmed();
        const QByteArrayView value = line.sliced(colon + 1).trimmed();
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            qsizetype length = 0;
            if (value.isEmpty() || value.size() > 12)
                return false;
            for (char c : value) {
                if (c < '0' || c > '9')
                    return false;
                length = length * 10 + (c - '0');
            }
            out->contentLength = length;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            out->chunked = value.compare("identity", Qt::CaseInsensitive) != 0;
        } else if (name.compare("Location", Qt::CaseInsensitive) == 0) {
            out->location = value.first(std::min<qsizetype>(value.size(), 200)).toByteArray();
        }
    }
    return true;
}

QString printable(QByteArrayView text)
{
    QString out;
    for (char c : text)
        out += uchar(c) >= 0x20 && uchar(c) < 0x7f ? QChar::fromLatin1(c) : u'?';
    return out;
}

} // namespace

HttpReply httpExchange(const HttpUrl& url, QByteArrayView method, const HttpHeaders& headers,
                       QByteArrayView body, Deadline deadline, qsizetype limitBytes)
{
    HttpReply reply;
    const int totalMs = msLeft(deadline);
    const bool ipv6 = url.host.protocol() == QAbstractSocket::IPv6Protocol;
    SocketFd socket(
        ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0) {
        reply.error = u"no socket: "_s + QString::fromLocal8Bit(std::strerror(errno));
        return reply;
    }

    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    if (ipv6) {
        auto* to = reinterpret_cast<sockaddr_in6*>(&peer);
        to->sin6_family = AF_INET6;
        to->sin6_port = htons(url.port);
        const Q_IPV6ADDR address = url.host.toIPv6Address();
        std::memcpy(to->sin6_addr.s6_addr, address.c, 16);
        to->sin6_scope_id = scopeIndex(url.host.scopeId());
        peerLength = sizeof(sockaddr_in6);
    } else {
        auto* to = reinterpret_cast<sockaddr_in*>(&peer);
        to->sin_family = AF_INET;
        to->sin_port = htons(url.port);
        to->sin_addr.s_addr = htonl(url.host.toIPv4Address());
        peerLength = sizeof(sockaddr_in);
    }
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&peer), peerLength) != 0) {
        if (errno != EINPROGRESS) {
            reply.error = u"cannot connect: "_s + QString::fromLocal8Bit(std::strerror(errno));
            return reply;
        }
        if (!waitFor(socket.fd(), POLLOUT, deadline)) {
            reply.error = u"no connection within "_s + QString::number(totalMs) + u" ms"_s;
            return reply;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            reply.error = u"cannot connect: "_s + QString::fromLocal8Bit(std::strerror(error));
            return reply;
        }
    }

    QByteArray request = method.toByteArray() + ' ' + url.path +
                         " HTTP/1.1\r\nHost: " + url.hostText().toLatin1() + ':' +
                         QByteArray::number(url.port) + "\r\n";
    for (const auto& [name, value] : headers)
        request += name + ": " + value + "\r\n";
    if (!body.isEmpty() || method == QByteArrayView("POST"))
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "Connection: close\r\n\r\n";
    request += body;

    qsizetype sent = 0;
    while (sent < request.size()) {
        if (!waitFor(socket.fd(), POLLOUT, deadline)) {
            reply.error = u"request not sent within "_s + QString::number(totalMs) + u" ms"_s;
            return reply;
        }
        const ssize_t n = ::send(socket.fd(), request.constData() + sent,
                                 size_t(request.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            reply.error = u"cannot send: "_s + QString::fromLocal8Bit(std::strerror(errno));
            return reply;
        }
        if (n > 0)
            sent += n;
    }

    QByteArray data;
    std::optional<Head> head;
    qsizetype bodyStart = 0;
    bool closed = false;
    char buffer[4096];
    for (;;) {
        if (!head) {
            qsizetype end = data.indexOf("\r\n\r\n");
            qsizetype separator = 4;
            if (end < 0) {
                end = data.indexOf("\n\n");
                separator = 2;
            }
            if (end >= 0) {
                Head parsed;
                if (!parseHead(QByteArrayView(data).first(end), &parsed)) {
                    reply.error = u"no HTTP reply"_s;
                    return reply;
                }
                if (parsed.status >= 300 && parsed.status < 400) {
                    reply.error = u"redirect (HTTP "_s + QString::number(parsed.status) +
                                  u") to \""_s + printable(parsed.location) + u"\" not followed"_s;
                    return reply;
                }
                head = parsed;
                bodyStart = end + separator;
            } else if (closed) {
                reply.error = u"no HTTP reply"_s;
                return reply;
            }
        }
        if (head) {
            const QByteArrayView rest = QByteArrayView(data).sliced(bodyStart);
            if (head->chunked) {
                bool malformed = false;
                if (auto decoded = decodeChunked(rest, &malformed)) {
                    reply.body = std::move(*decoded);
                    break;
                }
                if (malformed) {
                    reply.error = u"malformed chunked reply"_s;
                    return reply;
                }
            } else if (head->contentLength) {
                if (*head->contentLength > limitBytes) {
                    reply.error =
                        u"reply larger than "_s + QString::number(limitBytes) + u" bytes"_s;
                    return reply;
                }
                if (rest.size() >= *head->contentLength) {
                    reply.body = rest.first(*head->contentLength).toByteArray();
                    break;
                }
            } else if (closed) {
                reply.body = rest.toByteArray();
                break;
            }
            if (closed) {
                reply.error = u"reply cut short"_s;
                return reply;
            }
        }

        if (!waitFor(socket.fd(), POLLIN, deadline)) {
            reply.error = u"no complete reply within "_s + QString::number(totalMs) + u" ms"_s;
            return reply;
        }
        const ssize_t n = ::recv(socket.fd(), buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            reply.error = u"cannot read: "_s + QString::fromLocal8Bit(std::strerror(errno));
            return reply;
        }
        if (n == 0) {
            closed = true;
            continue;
        }
        if (data.size() + n > limitBytes) {
            reply.error = u"reply larger than "_s + QString::number(limitBytes) + u" bytes"_s;
            return reply;
        }
        data.append(buffer, n);
        reply.bytesRead = data.size();
    }
    reply.status = head->status;
    reply.bytesRead = data.size();
    return reply;
}

} // namespace quillmere::router
