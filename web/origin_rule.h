#pragma once

#include "http_request.h"

#include <QStringList>

// Who may open the chat's WebSocket: only a page this server served. A
// browser names the page's origin in `Origin`, which must be exactly
// "http://" and the `Host` the request was sent to. That alone would let a
// site whose name an attacker re-points at this machine (DNS rebinding)
// pass, so the host must also be one that cannot be re-pointed: an IP
// literal, "localhost", or this machine's own name.
class OriginRule {
public:
    // `ownNames`: this machine's names, compared without regard to case.
    explicit OriginRule(QStringList ownNames);

    // The names this machine goes by: its host name, with and without the
    // resolver's domain.
    static QStringList thisMachine();

    bool allows(const HttpRequest& request) const;

private:
    bool isTrustedHost(const QString& host) const;

    QStringList m_ownNames;
};
