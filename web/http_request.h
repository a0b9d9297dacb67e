#pragma once

#include <QByteArray>
#include <QList>

#include <optional>
#include <utility>

// What a browser asks for in the head of an HTTP/1.x request: the request
// line and the header fields. The head is at most a few KiB (the web port
// stops reading beyond that), so a lookup by name walks a short list.
struct HttpRequest {
    QByteArray method;
    QByteArray path; // the target without its query
    QList<std::pair<QByteArray, QByteArray>> fields; // names in lower case, values trimmed

    // The one value of the field `lowerName`; empty when absent. A field that
    // must be single and comes twice makes the request malformed, so callers
    // can trust the one they get.
    QByteArray field(const QByteArray& lowerName) const;
};

// The head up to and including the empty line that ends it (CR LF or bare
// LF), or 0 when `bytes` does not hold a whole head yet.
qsizetype requestHeadLength(const QByteArray& bytes);

// The request in `head`; none when it is not a well-formed HTTP/1.0 or 1.1
// request head.
std::optional<HttpRequest> parseRequestHead(const QByteArray& head);
