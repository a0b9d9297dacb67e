#include "moderation.h"

#include "access_rules.h"
#include "rules_file.h"
#include "server_state.h"
#include "slot_array.h"

Moderation::Moderation(ServerState& state, SlotArray& server, QObject* parent)
    : QObject(parent)
    , m_state(state)
    , m_server(server)
{
    m_report.setSingleShot(true);
    m_report.setInterval(reportInterval);
    connect(&m_report, &QTimer::timeout, this, &Moderation::reportRefusals);
    connect(&state.rules, &AccessRules::refusalPending, &m_report, qOverload<>(&QTimer::start));
    connect(&state.rules, &AccessRules::changed, this, &Moderation::closeRefused);
}

void Moderation::mnuDisconnect_Click(int row)
{
    if (row < 0 || row >= m_state.Users.ListCount() || m_state.Users.ItemData(row) == 0)
        return;
    disconnect(m_state.Users.ItemData(row), "Disconnected by the operator");
}

// The row names the user before the departure takes it off the roster.
void Moderation::disconnect(int index, const QByteArray& why)
{
    const int rows = m_state.Users.ListCount();
    for (int row = 0; row < rows; ++row) {
        if (m_state.Users.ItemData(row) == index) {
            m_state.transcript.append(
                why + ": " + m_state.Users.List(row) + " from " + m_state.Ip.List(row));
            break;
        }
    }
    m_server.Disconnect(index);
}

void Moderation::ban(const Network& network, const QDateTime& until)
{
    log(QStringLiteral("Banned %1 %2.")
            .arg(network.text(),
                until.isValid()
                    ? QStringLiteral("until %1").arg(until.toUTC().toString(Qt::ISODate))
                    : QStringLiteral("for good")));
    m_state.rules.ban(network, until);
}

void Moderation::lift(const Network& network)
{
    log(QStringLiteral("Lifted the ban on %1.").arg(network.text()));
    m_state.rules.lift(network);
}

void Moderation::load(const RulesFile& file)
{
    if (Failure failure = file.load(m_state.rules)) {
        log(QStringLiteral("The access rules in %1 were not loaded, those in force stay: %2.")
                .arg(file.path(), failure.text));
        return;
    }
    const std::size_t bans = m_state.rules.bans().size();
    log(QStringLiteral("Access rules loaded from %1: %2 ban%3 in force.")
            .arg(file.path())
            .arg(bans)
            .arg(bans == 1 ? QString() : QStringLiteral("s")));
}

// Visits the connections open now; each one closed leaves the table at once.
void Moderation::closeRefused()
{
    for (int s = m_server.nextConnected(0); s != 0; s = m_server.nextConnected(s)) {
        const auto address = Network::parseAddress(m_server.RemoteHostIP(s));
        if (address && !m_state.rules.permits(*address))
            disconnect(s, "Disconnected by the access rules");
    }
}

void Moderation::reportRefusals()
{
    for (const QByteArray& row : m_state.rules.takeRefusalReport())
        m_state.transcript.append(row);
}

void Moderation::log(const QString& row)
{
    m_state.transcript.append(row.toLatin1());
}
