#pragma once

#include "origin_rule.h"

#include <QByteArray>

// What the web port does with one request head: send a whole response and
// close, or hand the connection to the WebSocket handshake.
struct HttpAnswer {
    QByteArray response; // empty when the connection is upgraded
    bool upgrades = false;
};

// Answers requests for the chat page: the page's files, served from the
// program's resources under ":/web/page", and the WebSocket at "/chat"
// for pages whose origin `rule` allows. Files are read from the resources
// (in memory) for each request; the page is a few files of a few KiB.
class HttpRouter {
public:
    explicit HttpRouter(OriginRule rule);

    HttpAnswer answer(const QByteArray& head) const;

private:
    OriginRule m_rule;
};

// A complete HTTP/1.1 response that ends the connection, with a short
// plain-text body saying what went wrong: for statuses other than 200.
QByteArray errorResponse(int status);
