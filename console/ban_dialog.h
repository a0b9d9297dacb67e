#pragma once

#include "network.h"

#include <QDateTime>
#include <QDialog>

#include <optional>

class QComboBox;

// Ban…: how far the ban reaches (the address, or its /24 or /64 network)
// and for how long (an hour, a day, a week, for good).
class BanDialog final : public QDialog {
    Q_OBJECT

public:
    BanDialog(QWidget& parent, const QByteArray& name, const QString& address);

    std::optional<Network> network() const;
    // Invalid: for good.
    QDateTime until(const QDateTime& now) const;

private:
    QString m_address;
    QComboBox* m_scope;
    QComboBox* m_duration;
};
