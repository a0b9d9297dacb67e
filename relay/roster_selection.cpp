#include "roster_selection.h"

#include "list_model.h"

RosterSelection::RosterSelection(ListModel& users, ListModel& ip)
    : m_users(users)
    , m_ip(ip)
{
    connect(&users, &ListModel::listIndexChanged, this, &RosterSelection::Users_Click);
    connect(&ip, &ListModel::listIndexChanged, this, &RosterSelection::Ip_Click);
}

void RosterSelection::Users_Click()
{
    mirror(m_users, m_ip);
}

void RosterSelection::Ip_Click()
{
    mirror(m_ip, m_users);
}

// Users is the bound in both directions.
void RosterSelection::mirror(const ListModel& changed, ListModel& other)
{
    const int rows = m_users.ListCount();
    for (int i = 0; i < rows; ++i) {
        if (changed.Selected(i))
            other.setSelected(i, true);
    }
}
