#pragma once

#include "roster_broadcast.h"

#include <QObject>

#include <memory>

class ListModel;

// The roster's rows as clients are sent them, made once for as long as the
// list of users stays as it is, so that a broadcast to every client costs a
// row's bytes once, not once a client.
class SharedRoster final : public QObject {
    Q_OBJECT

public:
    explicit SharedRoster(const ListModel& users, QObject* parent = nullptr);

    std::shared_ptr<const RosterRows> rows();

private:
    const ListModel& m_users;
    std::shared_ptr<const RosterRows> m_rows;
};
