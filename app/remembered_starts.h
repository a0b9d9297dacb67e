#pragma once

#include "network.h"

#include <QObject>

#include <optional>
#include <vector>

class MainWindow;
class QSettings;
class RelayEngine;

// The nickname, port, chat page's port and allow-list of the last successful start, kept in the
// settings and offered at the next launch. Written at once, so that a program ended by the system
// keeps them.
class RememberedStarts final : public QObject {
    Q_OBJECT

public:
    RememberedStarts(QSettings& settings, RelayEngine& engine);

    // Puts the remembered start into the window's boxes, as if typed.
    void offerIn(MainWindow& window) const;
    // The allow-list given, or where none is, the one remembered; it is
    // remembered at the next successful start.
    std::vector<Network> allowList(const std::optional<std::vector<Network>>& given);
    // The chat page's port likewise, `fallback` where none was ever given.
    quint16 webPort(std::optional<int> given, quint16 fallback);

private:
    void remember(int port, const QString& nickname);

    QSettings& m_settings;
    std::vector<Network> m_allowList;
    quint16 m_webPort = 0;
};
