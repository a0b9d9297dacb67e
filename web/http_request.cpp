#include "http_request.h"

#include <algorithm>
#include <string_view>

namespace {

// The characters HTTP allows in a method or a field name.
bool isToken(const QByteArray& text)
{
    static constexpr std::string_view separators = "()<>@,;:\\\"/[]?={} \t";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c > 32 && c < 127 && separators.find(c) == std::string_view::npos;
    });
}

bool hasControlCharacters(const QByteArray& text)
{
    return std::any_of(text.begin(), text.end(),
        [](char c) { return (static_cast<unsigned char>(c) < 32 && c != '\t') || c == 127; });
}

QByteArray withoutCarriageReturn(QByteArray line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

std::optional<HttpRequest> parseRequestLine(const QByteArray& line)
{
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/')
        || hasControlCharacters(parts[1]) || (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0"))
        return std::nullopt;
    HttpRequest request;
    request.method = parts[0];
    const qsizetype query = parts[1].indexOf('?');
    request.path = query < 0 ? parts[1] : parts[1].left(query);
    return request;
}

qsizetype countOf(const HttpRequest& request, const QByteArray& lowerName)
{
    return std::count_if(request.fields.begin(), request.fields.end(),
        [&](const auto& field) { return field.first == lowerName; });
}

} // namespace

QByteArray HttpRequest::field(const QByteArray& lowerName) const
{
    const auto found = std::find_if(
        fields.begin(), fields.end(), [&](const auto& field) { return field.first == lowerName; });
    return found == fields.end() ? QByteArray() : found->second;
}

qsizetype requestHeadLength(const QByteArray& bytes)
{
    const qsizetype crlf = bytes.indexOf("\r\n\r\n");
    const qsizetype lf = bytes.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : 0;
}

std::optional<HttpRequest> parseRequestHead(const QByteArray& head)
{
    QList<QByteArray> lines = head.split('\n');
    while (!lines.isEmpty() && withoutCarriageReturn(lines.last()).isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return std::nullopt;
    std::optional<HttpRequest> request = parseRequestLine(withoutCarriageReturn(lines.takeFirst()));
    if (!request)
        return std::nullopt;
    for (const QByteArray& rawLine : lines) {
        const QByteArray line = withoutCarriageReturn(rawLine);
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (colon <= 0 || !isToken(name) || hasControlCharacters(value))
            return std::nullopt;
        request->fields.append({ name, value });
    }
    for (const char* single : { "host", "origin", "upgrade" })
        if (countOf(*request, single) > 1)
            return std::nullopt;
    return request;
}
