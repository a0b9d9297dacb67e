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

void RememberedStarts::remember(int port, const QString& nickname)
{
    m_settings.setValue(QStringLiteral("port"), port);
    m_settings.setValue(QStringLiteral("nickname"), nickname);
    m_settings.sync();
}
