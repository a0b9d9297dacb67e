#pragma once

#include "server_state.h"

#include <QByteArrayList>

#include <algorithm>

// A list's rows, to compare with the expected rows in one go.
inline QByteArrayList rows(const ListRows& list)
{
    QByteArrayList texts;
    for (int i = 0; i < list.ListCount(); ++i)
        texts.append(list.List(i));
    return texts;
}

// The roster read across its four lists, a user a row: "nickname address
// slot", or "(lists differ)" where they do not agree on a user.
inline QByteArrayList roster(const ServerState& state)
{
    const ListModel& users = state.Users;
    const ListModel& users2 = state.Users2;
    const ListModel& ip = state.Ip;
    const int count = std::max(
        { users.ListCount(), users2.ListCount(), ip.ListCount(), state.connection.ListCount() });
    QByteArrayList texts;
    for (int i = 0; i < count; ++i) {
        const QByteArray slot = state.connection.List(i);
        const bool agree = i < users.ListCount() && i < ip.ListCount()
            && users2.List(i) == users.List(i) && QByteArray::number(users.ItemData(i)) == slot
            && QByteArray::number(users2.ItemData(i)) == slot;
        texts.append(agree ? users.List(i) + ' ' + ip.List(i) + ' ' + slot : "(lists differ)");
    }
    return texts;
}
