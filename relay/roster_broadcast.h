#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <memory>

// The "USER:" rows of the roster as every client is sent them, and their
// bytes together: built once, shared by every client a broadcast goes to.
struct RosterRows {
    QByteArrayList rows;
    qsizetype bytes = 0;
};

// One roster broadcast as a client is sent it, message after message: the
// start ("NEWLIST"), the event ("NEWUSER:" and a nickname, or "QUIT"),
// then the rows.
struct RosterBroadcast {
    QByteArray start;
    QByteArray event;
    std::shared_ptr<const RosterRows> rows;

    qsizetype messages() const { return 2 + rows->rows.size(); }
};
