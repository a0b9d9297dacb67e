#include "shared_roster.h"

#include "list_model.h"
#include "protocol.h"

SharedRoster::SharedRoster(const ListModel& users, QObject* parent)
    : QObject(parent)
    , m_users(users)
{
    const auto changed = [this] { m_rows.reset(); };
    connect(&users, &QAbstractItemModel::rowsInserted, this, changed);
    connect(&users, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(&users, &QAbstractItemModel::modelReset, this, changed);
    connect(&users, &QAbstractItemModel::dataChanged, this, changed);
}

std::shared_ptr<const RosterRows> SharedRoster::rows()
{
    if (!m_rows) {
        auto made = std::make_shared<RosterRows>();
        const int count = m_users.ListCount();
        made->rows.reserve(count);
        for (int j = 0; j < count; ++j) {
            made->rows.append(protocol::rosterRow(m_users.List(j)));
            made->bytes += made->rows.last().size();
        }
        m_rows = std::move(made);
    }
    return m_rows;
}
