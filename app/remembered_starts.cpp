#include "remembered_starts.h"

#include "main_window.h"
#include "relay_engine.h"

#include <QSettings>

RememberedStarts::RememberedStarts(QSettings& settings, RelayEngine& engine)
    : m_settings(settings)
{
    connect(&engine, &RelayEngine::serviceStarted, this, &RememberedStarts::remember);
}

void RememberedStarts::offerIn(MainWindow& window) const
{
    const QVariant port = m_settings.value(QStringLiteral("port"));
    const QVariant nickname = m_settings.value(QStringLiteral("nickname"));
    window.offerStart(port.isValid() ? std::optional(port.toInt()) : std::nullopt,
        nickname.isValid() ? std::optional(nickname.toString()) : std::nullopt);
}

std::vector<Network> RememberedStarts::allowList(const std::optional<std::vector<Network>>& given)
{
    if (given) {
        m_allowList = *given;
        return m_allowList;
    }
    m_allowList.clear();
    for (const QString& text : m_settings.value(QStringLiteral("allow")).toStringList()) {
        if (const std::optional<Network> network = Network::parse(text))
            m_allowList.push_back(*network);
    }
    return m_allowList;
}

quint16 RememberedStarts::webPort(std::optional<int> given, quint16 fallback)
{
    bool isNumber = false;
    int port = given.value_or(m_settings.value(QStringLiteral("webPort")).toInt(&isNumber));
    if (!given && (!isNumber || port < 0 || port > 65535))
        port = fallback;
    m_webPort = quint16(port);
    return m_webPort;
}

void RememberedStarts::remember(int port, const QString& nickname)
{
    QStringList allowList;
    for (const Network& network : m_allowList)
        allowList.append(network.text());
    m_settings.setValue(QStringLiteral("port"), port);
    m_settings.setValue(QStringLiteral("nickname"), nickname);
    m_settings.setValue(QStringLiteral("allow"), allowList);
    m_settings.setValue(QStringLiteral("webPort"), m_webPort);
    m_settings.sync();
}
