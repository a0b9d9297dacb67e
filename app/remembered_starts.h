#pragma once

#include <QObject>

class MainWindow;
class QSettings;
class RelayEngine;

// The nickname and port of the last successful start, kept in the settings
// and offered at the next launch. Written at once, so that a program ended by
// the system keeps them.
class RememberedStarts final : public QObject {
    Q_OBJECT

public:
    RememberedStarts(QSettings& settings, RelayEngine& engine);

    // Puts the remembered start into the window's boxes, as if typed.
    void offerIn(MainWindow& window) const;

private:
    void remember(int port, const QString& nickname);

    QSettings& m_settings;
};
