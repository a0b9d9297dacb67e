#pragma once

#include "server_state.h"

#include <QByteArrayList>

#include <algorithm>

// The messages of a roster broadcast, one by one: the event, then every user.
inline QByteArrayList rosterBroadcast(const QByteArray& event, const QByteArrayList& nicknames)
{
    QByteArrayList messages { "NEWLIST", event };
    for (const QByteArray& name : nicknames)
        messages.append("USER:" + name);
    return messages;
}

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
inline QByteArrayList roster(const ServerState& s)
{
    QByteArrayList texts;
    const int count = std::max(
        { s.Users.ListCount(), s.Users2.ListCount(), s.Ip.ListCount(), s.connection.ListCount() });
    for (int i = 0; i < count; ++i) {
        const QByteArray slot = s.connection.List(i);
        const bool agree = s.Users2.List(i) == s.Users.List(i)
            && QByteArray::number(s.Users.ItemData(i)) == slot
            && QByteArray::number(s.Users2.ItemData(i)) == slot;
        texts.append(agree ? s.Users.List(i) + ' ' + s.Ip.List(i) + ' ' + slot : "(lists differ)");
    }
    return texts;
}
