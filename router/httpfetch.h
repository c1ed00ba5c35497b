#pragma once

// A small blocking HTTP/1.1 client for the router's description and its SOAP control: one
// exchange per connection, bounded in time (connect to last byte) and in bytes, no redirects
// followed, and only to an IPv4 or IPv6 address given as such (never a name to resolve). Everything
// a reply holds is untrusted: callers keep it as data.

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <chrono>
#include <optional>

namespace quillmere::router {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

Deadline deadlineIn(int ms);
// What is left until `deadline`, in whole milliseconds, never below 0.
int msLeft(Deadline deadline);

// An http URL whose host is an IPv4 or IPv6 address literal (a link-local IPv6 one with its
// interface as the scope id).
struct HttpUrl
{
    QHostAddress host;
    quint16 port = 80;
    QByteArray path = "/"; // with its query; printable ASCII only

    QString toString() const;
    // The host as a URL and a Host header name it: "192.0.2.1", "[2001:db8::1]",
    // "[fe80::1%25eth0]".
    QString hostText() const;
};

// nullopt unless `text` is http://IPV4[:PORT][/PATH] or http://[IPV6][:PORT][/PATH] (a zone,
// "%25IFNAME", only on a link-local address) with a path of printable ASCII.
std::optional<HttpUrl> parseHttpUrl(QByteArrayView text);

struct HttpReply
{
    int status = 0;  // 0 when no complete reply came
    QByteArray body; // de-chunked
    QString error;   // why there is no usable reply; empty when there is one
    qsizetype bytesRead = 0;
};

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// The interface index a scope id names (a number, or an interface's name); 0: none.
unsigned scopeIndex(const QString& scopeId);

// Sends `method path` to url.host:url.port with `headers`, a Host header, `Connection: close`
// and Content-Length when there is a body; reads the reply. The whole exchange ends by
// `deadline`; a reply above `limitBytes` (head and body) is cut off as an error, and so is a
// redirect. A status other than 2xx is no error here: SOAP faults come as 500.
HttpReply httpExchange(const HttpUrl& url, QByteArrayView method, const HttpHeaders& headers,
                       QByteArrayView body, Deadline deadline, qsizetype limitBytes);

// At most the first 120 bytes of `text` for a log line, anything but printable ASCII as '?', and
// "..." when there was more: what a LAN device sent, made safe to show.
QString printableExcerpt(QByteArrayView text);

// Exposed for tests: decodes a chunked body. nullopt while incomplete or when malformed
// (`*malformed` tells which).
std::optional<QByteArray> decodeChunked(QByteArrayView data, bool* malformed);

} // namespace quillmere::router
