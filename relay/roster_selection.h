#pragma once

#include <QObject>

class ListModel;

// The roster's Users and Ip lists select together: whenever the selection of
// one changes, by mouse, by keyboard or by the other, the row of the same
// index is selected in the other. A row already selected stays so, which
// ends the exchange.
class RosterSelection final : public QObject {
    Q_OBJECT

public:
    RosterSelection(ListModel& users, ListModel& ip);

    void Users_Click();
    void Ip_Click();

private:
    void mirror(const ListModel& changed, ListModel& other);

    ListModel& m_users;
    ListModel& m_ip;
};
