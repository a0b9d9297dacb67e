#include "access_rules.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>

namespace {

const QByteArray fileHeader
    = "# Who may connect to the Quenvar Chat Server, one rule a line:\n"
      "#   NETWORK UNTIL [COMMENT]   a ban, UNTIL an ISO 8601 time or never\n"
      "#   allow NETWORK [COMMENT]   only networks allowed may connect\n";
const QString never = QStringLiteral("never");
const QString allowWord = QStringLiteral("allow");

bool anyContains(const std::vector<Network>& networks, const Network::Address& address)
{
    return std::ranges::any_of(
        networks, [&](const Network& network) { return network.contains(address); });
}

QByteArray ruleLine(QStringList fields, const QString& comment)
{
    if (!comment.isEmpty())
        fields.append(comment);
    return fields.join(u' ').toLatin1() + '\n';
}

} // namespace

AccessRules::AccessRules(Clock clock, QObject* parent)
    : QObject(parent)
    , m_clock(std::move(clock))
{
}

bool AccessRules::inForce(const Ban& ban, const QDateTime& now) const
{
    return !ban.until.isValid() || ban.until > now;
}

bool AccessRules::allowed(const Network::Address& address) const
{
    return (m_startAllowed.empty() && m_fileAllowed.empty()) || anyContains(m_startAllowed, address)
        || anyContains(m_fileAllowed, address);
}

qsizetype AccessRules::banOf(const Network::Address& address, const QDateTime& now) const
{
    const auto found = std::ranges::find_if(
        m_bans, [&](const Ban& ban) { return inForce(ban, now) && ban.network.contains(address); });
    return found == m_bans.end() ? -1 : found - m_bans.begin();
}

bool AccessRules::permits(const Network::Address& address) const
{
    return allowed(address) && banOf(address, m_clock()) < 0;
}

bool AccessRules::admit(const Network::Address& address)
{
    if (const qsizetype banned = banOf(address, m_clock()); banned >= 0) {
        Ban& ban = m_bans[std::size_t(banned)];
        ++ban.refused;
        countRefusal(ban.unreported);
        return false;
    }
    if (!allowed(address)) {
        countRefusal(m_outsideUnreported);
        return false;
    }
    return true;
}

void AccessRules::countRefusal(qint64& unreported)
{
    ++unreported;
    if (!std::exchange(m_refusalPending, true))
        emit refusalPending();
}

std::vector<AccessRules::Ban> AccessRules::bans() const
{
    const QDateTime now = m_clock();
    std::vector<Ban> live;
    std::ranges::copy_if(
        m_bans, std::back_inserter(live), [&](const Ban& ban) { return inForce(ban, now); });
    return live;
}

// A network banned again takes the new expiry.
void AccessRules::ban(const Network& network, const QDateTime& until)
{
    const auto found = std::ranges::find(m_bans, network, &Ban::network);
    if (found != m_bans.end())
        found->until = until;
    else
        m_bans.push_back({ network, until, {} });
    emit changed();
}

void AccessRules::lift(const Network& network)
{
    if (std::erase_if(m_bans, [&](const Ban& ban) { return ban.network == network; }) > 0)
        emit changed();
}

void AccessRules::setStartAllowed(std::vector<Network> allowed)
{
    m_startAllowed = std::move(allowed);
    emit changed();
}

void AccessRules::replace(Set rules)
{
    for (Ban& ban : rules.bans) {
        const auto kept = std::ranges::find(m_bans, ban.network, &Ban::network);
        if (kept != m_bans.end()) {
            ban.refused = kept->refused;
            ban.unreported = kept->unreported;
        }
    }
    m_bans = std::move(rules.bans);
    m_fileAllowed = std::move(rules.allowed);
    emit changed();
}

QByteArray AccessRules::text() const
{
    QByteArray text = fileHeader;
    for (const Network& network : m_fileAllowed)
        text += ruleLine({ allowWord, network.text() }, {});
    for (const Ban& ban : bans()) {
        const QString until = ban.until.isValid() ? ban.until.toUTC().toString(Qt::ISODate) : never;
        text += ruleLine({ ban.network.text(), until }, ban.comment);
    }
    return text;
}

Failure AccessRules::parse(const QByteArray& text, Set& rules)
{
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    Set parsed;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromLatin1(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const auto wrong = [&](const QString& why) {
            return Failure { EINVAL, QStringLiteral("line %1: %2").arg(i + 1).arg(why) };
        };
        QStringList fields = line.split(blanks);
        const bool allow = fields[0] == allowWord;
        if (allow)
            fields.removeFirst();
        if (fields.size() < (allow ? 1 : 2))
            return wrong(allow ? QStringLiteral("allow needs a network")
                               : QStringLiteral("a ban needs a network and an expiry"));
        const std::optional<Network> network = Network::parse(fields[0]);
        if (!network)
            return wrong(QStringLiteral("'%1' is not a network in CIDR form").arg(fields[0]));
        if (allow) {
            parsed.allowed.push_back(*network);
            continue;
        }
        QDateTime until;
        if (fields[1] != never) {
            until = QDateTime::fromString(fields[1], Qt::ISODate);
            if (!until.isValid())
                return wrong(
                    QStringLiteral("'%1' is neither an ISO 8601 time nor never").arg(fields[1]));
        }
        parsed.bans.push_back({ *network, until, fields.mid(2).join(u' ') });
    }
    rules = std::move(parsed);
    return {};
}

QList<QByteArray> AccessRules::takeRefusalReport()
{
    m_refusalPending = false;
    const auto row = [](qint64 count, const QString& from) {
        return QStringLiteral("Refused %1 connection%2 from %3 in the last minute.")
            .arg(count)
            .arg(count == 1 ? QString() : QStringLiteral("s"))
            .arg(from)
            .toLatin1();
    };
    QList<QByteArray> rows;
    for (Ban& ban : m_bans) {
        if (ban.unreported > 0)
            rows.append(row(std::exchange(ban.unreported, 0), ban.network.text()));
    }
    if (m_outsideUnreported > 0)
        rows.append(
            row(std::exchange(m_outsideUnreported, 0), QStringLiteral("outside the allow-list")));
    return rows;
}
