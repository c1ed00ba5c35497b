#include "router/upnp.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnperrors.h>
#include <miniupnpc/upnpreplyparse.h>

#include <QRegularExpression>

#include <cstring>

namespace quillmere::router {

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxValues = 32;
constexpr int kMaxLoggedChars = 120;

QByteArray xmlEscaped(QByteArrayView text)
{
    QByteArray out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool isWanConnectionType(QByteArrayView type)
{
    static const QRegularExpression pattern(
        u"^urn:schemas-upnp-org:service:WAN(IP|PPP)Connection:[1-9][0-9]?$"_s);
    return pattern.match(QString::fromLatin1(type)).hasMatch();
}

QByteArray fixedText(const char* text, size_t size)
{
    return QByteArray(text, qsizetype(strnlen(text, size)));
}

} // namespace

QString SoapReply::value(QByteArrayView name) const
{
    for (const auto& [key, text] : values)
        if (key == name)
            return text;
    return {};
}

QByteArray soapEnvelope(QByteArrayView serviceType, QByteArrayView action,
                        const SoapArguments& arguments)
{
    QByteArray body = "<?xml version=\"1.0\"?>\r\n"
                      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                      "<s:Body><u:" +
                      action.toByteArray() + " xmlns:u=\"" + xmlEscaped(serviceType) + "\">";
    for (const auto& [name, value] : arguments)
        body += '<' + name + '>' + xmlEscaped(value) + "</" + name + '>';
    body += "</u:" + action.toByteArray() + "></s:Body></s:Envelope>\r\n";
    return body;
}

QList<IgdService> servicesFromDescription(QByteArrayView body, const SsdpAnswer& answer,
                                          QString* why)
{
    QList<IgdService> services;
    const auto refuse = [&](const QString& reason) {
        if (why && services.isEmpty() && why->isEmpty())
            *why = reason;
    };
    if (why)
        why->clear();
    if (body.size() > std::numeric_limits<int>::max()) {
        refuse(u"description too large"_s);
        return services;
    }
    const QByteArray text = body.toByteArray(); // parserootdesc reads it as a C buffer
    IGDdatas data;
    std::memset(&data, 0, sizeof data);
    parserootdesc(text.constData(), int(text.size()), &data);
    // parserootdesc keeps the first WAN connection service it meets in `first` and the next in
    // `second` (a router with both WANIPConnection and WANPPPConnection), in the order listed.
    const IGDdatas_service listed[2] = {data.first, data.second};
    for (const IGDdatas_service& wan : listed) {
        const QByteArray serviceType = fixedText(wan.servicetype, sizeof wan.servicetype);
        if (serviceType.isEmpty())
            continue;
        if (!isWanConnectionType(serviceType)) {
            refuse(u"no WANIPConnection or WANPPPConnection service in the description ("_s +
                   QString::number(text.size()) + u" bytes)"_s);
            continue;
        }
        // GetUPNPUrls joins the control URL to URLBase or the description's own URL, the way
        // routers mean it; the outcome must still be on the device.
        std::memcpy(&data.first, &wan, sizeof wan);
        UPNPUrls urls;
        std::memset(&urls, 0, sizeof urls);
        const QByteArray descriptionUrl = answer.location.toString().toLatin1();
        GetUPNPUrls(&urls, &data, descriptionUrl.constData(), 0);
        const QByteArray controlText = urls.controlURL ? QByteArray(urls.controlURL) : QByteArray();
        FreeUPNPUrls(&urls);
        const std::optional<HttpUrl> control = parseHttpUrl(controlText);
        if (!control) {
            refuse(u"control URL \""_s + printableExcerpt(controlText) + u"\" is no http URL"_s);
            continue;
        }
        if (control->host != answer.sender) {
            refuse(u"control URL \""_s + printableExcerpt(controlText) +
                   u"\" is on another host; refused"_s);
            continue;
        }
        services.append({answer.sender, answer.location, *control, serviceType});
    }
    if (services.isEmpty())
        refuse(u"no WANIPConnection or WANPPPConnection service in the description ("_s +
               QString::number(text.size()) + u" bytes)"_s);
    return services;
}

std::optional<IgdService> serviceFromDescription(QByteArrayView body, const SsdpAnswer& answer,
                                                 QString* why)
{
    const QList<IgdService> services = servicesFromDescription(body, answer, why);
    if (services.isEmpty())
        return std::nullopt;
    return services.first();
}

SoapReply readSoapReply(int status, QByteArrayView body, qsizetype limitBytes)
{
    SoapReply result;
    const QByteArray bytes = body.first(std::min<qsizetype>(body.size(), limitBytes)).toByteArray();
    NameValueParserData parsed;
    std::memset(&parsed, 0, sizeof parsed);
    ParseNameValue(bytes.constData(), int(bytes.size()), &parsed);
    const char* codeText = GetValueFromNameValueList(&parsed, "errorCode");
    // Copied out: the list owns the text and goes below.
    const std::optional<QByteArray> code =
        codeText ? std::optional(QByteArray(codeText)) : std::nullopt;
    for (const NameValue* entry = parsed.l_head; entry && result.values.size() < kMaxValues;
         entry = entry->l_next)
        result.values.prepend({fixedText(entry->name, sizeof entry->name),
                               QString::fromUtf8(fixedText(entry->value, sizeof entry->value))});
    ClearNameValueList(&parsed);

    if (code) {
        bool ok = false;
        result.errorCode = code->trimmed().toInt(&ok);
        if (!ok || result.errorCode == 0)
            result.errorCode = -1;
        result.answered = true;
        const char* known = strupnperror(result.errorCode);
        QString text = printableExcerpt(result.value("errorDescription").toUtf8());
        if (text.isEmpty() && known)
            text = QString::fromLatin1(known);
        result.error = u"error "_s + QString::number(result.errorCode) +
                       (text.isEmpty() ? QString() : u' ' + text);
    } else if (status != 200) {
        result.error = u"HTTP "_s + QString::number(status);
    } else {
        result.answered = true;
    }
    return result;
}

UpnpClient::UpnpClient(int fetchMs, qsizetype limitBytes, QStringList* log)
    : m_fetchMs(fetchMs)
    , m_limitBytes(limitBytes)
    , m_log(log)
{}

Deadline UpnpClient::fetchDeadline(Deadline until) const
{
    return std::min(deadlineIn(m_fetchMs), until);
}

QList<IgdService> UpnpClient::readDescription(const SsdpAnswer& answer, Deadline until)
{
    const QString where = answer.location.toString().left(kMaxLoggedChars);
    const auto fail = [&](const QString& why) {
        m_lastError = answer.sender.toString() + u": "_s + why;
        m_log->append(u"GET "_s + where + u": "_s + why);
        return QList<IgdService>();
    };
    const HttpReply reply =
        httpExchange(answer.location, "GET", {}, {}, fetchDeadline(until), m_limitBytes);
    if (!reply.error.isEmpty())
        return fail(reply.error);
    if (reply.status != 200)
        return fail(u"HTTP "_s + QString::number(reply.status));
    if (reply.body.size() > std::numeric_limits<int>::max())
        return fail(u"description too large"_s);

    QString why;
    const QList<IgdService> services = servicesFromDescription(reply.body, answer, &why);
    if (services.isEmpty())
        return fail(why);
    QStringList offered;
    for (const IgdService& service : services)
        offered << QString::fromLatin1(service.serviceType) + u" at "_s +
                       service.control.toString().left(kMaxLoggedChars);
    m_log->append(u"GET "_s + where + u": HTTP 200, "_s + QString::number(reply.body.size()) +
                  u" bytes; "_s + offered.join(u"; "_s));
    return services;
}

SoapReply UpnpClient::call(const IgdService& service, QByteArrayView action,
                           const SoapArguments& arguments, Deadline until)
{
    SoapReply result;
    QStringList shown;
    for (const auto& [name, value] : arguments)
        shown << QString::fromLatin1(name) + u'=' + printableExcerpt(value);
    const QString name = QString::fromLatin1(action);
    m_log->append(u"UPnP "_s + name + u'(' + shown.join(u", "_s) + u')');

    const HttpHeaders headers = {
        {"Content-Type", "text/xml; charset=\"utf-8\""},
        {"SOAPAction", '"' + service.serviceType + '#' + action.toByteArray() + '"'},
    };
    const QByteArray body = soapEnvelope(service.serviceType, action, arguments);
    const HttpReply reply =
        httpExchange(service.control, "POST", headers, body, fetchDeadline(until), m_limitBytes);
    if (!reply.error.isEmpty()) {
        result.error = reply.error;
        m_lastError = service.address.toString() + u": "_s + name + u": "_s + reply.error;
        m_log->append(u"UPnP "_s + name + u": "_s + reply.error);
        return result;
    }

    result = readSoapReply(reply.status, reply.body, m_limitBytes);
    if (!result.error.isEmpty()) {
        m_lastError = service.address.toString() + u": "_s + name + u": "_s + result.error;
        m_log->append(u"UPnP "_s + name + u": "_s + result.error);
    } else {
        QStringList values;
        for (const auto& [key, text] : result.values)
            values << QString::fromLatin1(key) + u'=' + printableExcerpt(text.toUtf8());
        m_log->append(u"UPnP "_s + name + u": "_s +
                      (values.isEmpty() ? u"done"_s : values.join(u", "_s)));
    }
    return result;
}

} // namespace quillmere::router
