#include "http_answer.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

const QString pageFolder = QStringLiteral(":/web/page");

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 426:
        return "Upgrade Required";
    default:
        return "Internal Server Error";
    }
}

QByteArray contentType(const QString& fileName)
{
    static const QHash<QString, QByteArray> types {
        { QStringLiteral("html"), "text/html; charset=utf-8" },
        { QStringLiteral("css"), "text/css; charset=utf-8" },
        { QStringLiteral("js"), "text/javascript; charset=utf-8" },
        { QStringLiteral("svg"), "image/svg+xml" },
        { QStringLiteral("png"), "image/png" },
        { QStringLiteral("ico"), "image/x-icon" },
    };
    return types.value(QFileInfo(fileName).suffix().toLower(), "application/octet-stream");
}

QByteArray response(int status, const QByteArray& type, const QByteArray& body, bool withBody,
    const QByteArray& extraFields = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
        + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n" + extraFields
        + "Connection: close\r\n\r\n" + (withBody ? body : QByteArray());
}

// The page may load only its own files and talk only to this server; no
// inline script, no framing by other sites.
constexpr const char* pageFields
    = "Content-Security-Policy: default-src 'self'; connect-src 'self'; base-uri 'none'; "
      "form-action 'none'; frame-ancestors 'none'\r\n"
      "Referrer-Policy: no-referrer\r\n";

// The resource a path names: "/" is the page itself; other files only by
// their plain name, so that no path leaves the folder.
QString pageFile(const QByteArray& path)
{
    if (path == "/")
        return pageFolder + QStringLiteral("/index.html");
    const QByteArray name = path.mid(1);
    if (name.isEmpty() || name.contains('/') || name.startsWith('.'))
        return {};
    return pageFolder + u'/' + QString::fromLatin1(name);
}

bool asksForUpgrade(const HttpRequest& request)
{
    const QList<QByteArray> protocols = request.field("upgrade").toLower().split(',');
    return std::any_of(protocols.begin(), protocols.end(),
        [](const QByteArray& protocol) { return protocol.trimmed() == "websocket"; });
}

} // namespace

QByteArray errorResponse(int status)
{
    const QByteArray allow = status == 405 ? "Allow: GET, HEAD\r\n" : "";
    const QByteArray upgrade = status == 426 ? "Upgrade: websocket\r\n" : "";
    return response(
        status, "text/plain; charset=utf-8", reasonPhrase(status) + '\n', true, allow + upgrade);
}

HttpRouter::HttpRouter(OriginRule rule)
    : m_rule(std::move(rule))
{
}

HttpAnswer HttpRouter::answer(const QByteArray& head) const
{
    const std::optional<HttpRequest> request = parseRequestHead(head);
    if (!request)
        return { errorResponse(400) };
    const bool isHead = request->method == "HEAD";
    if (request->method != "GET" && !isHead)
        return { errorResponse(405) };
    if (request->path == "/chat") {
        if (isHead || !asksForUpgrade(*request))
            return { errorResponse(426) };
        if (!m_rule.allows(*request))
            return { errorResponse(403) };
        // The handshake reads a head that ends as the standard says.
        if (!head.endsWith("\r\n\r\n"))
            return { errorResponse(400) };
        return { {}, true };
    }
    const QString fileName = pageFile(request->path);
    QFile file(fileName);
    if (fileName.isEmpty() || !file.open(QIODevice::ReadOnly))
        return { errorResponse(404) };
    return { response(200, contentType(fileName), file.readAll(), !isHead, pageFields) };
}
