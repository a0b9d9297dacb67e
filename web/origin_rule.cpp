#include "origin_rule.h"

#include <QHostAddress>
#include <QHostInfo>

#include <algorithm>

namespace {

// `host` without its ":port", or empty when what follows the name is not a
// port. An IPv6 literal keeps its brackets out.
QString hostName(const QString& hostField)
{
    QString host = hostField;
    QString port;
    if (host.startsWith(u'[')) {
        const qsizetype close = host.indexOf(u']');
        if (close < 0)
            return {};
        port = host.mid(close + 1);
        host = host.mid(1, close - 1);
        if (!port.isEmpty() && !port.startsWith(u':'))
            return {};
        port = port.mid(1);
    } else if (const qsizetype colon = host.lastIndexOf(u':'); colon >= 0) {
        port = host.mid(colon + 1);
        host.truncate(colon);
    }
    const bool portIsNumber
        = std::all_of(port.begin(), port.end(), [](QChar c) { return c.isDigit(); });
    return portIsNumber ? host : QString();
}

} // namespace

OriginRule::OriginRule(QStringList ownNames)
    : m_ownNames(std::move(ownNames))
{
}

QStringList OriginRule::thisMachine()
{
    const QString name = QHostInfo::localHostName();
    const QString shortName = name.section(u'.', 0, 0);
    const QString domain = QHostInfo::localDomainName();
    QStringList names { name, shortName };
    if (!domain.isEmpty())
        names.append(shortName + u'.' + domain);
    names.removeAll(QString());
    names.removeDuplicates();
    return names;
}

bool OriginRule::allows(const HttpRequest& request) const
{
    const QString host = QString::fromLatin1(request.field("host"));
    const QString origin = QString::fromLatin1(request.field("origin"));
    return !host.isEmpty()
        && origin.compare(QLatin1String("http://") + host, Qt::CaseInsensitive) == 0
        && isTrustedHost(hostName(host));
}

bool OriginRule::isTrustedHost(const QString& host) const
{
    if (host.isEmpty())
        return false;
    if (QHostAddress address; address.setAddress(host))
        return true;
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || m_ownNames.contains(host, Qt::CaseInsensitive);
}
