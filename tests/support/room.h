#pragma once

#include "loopback.h"
#include "rows.h"

#include <utility>
#include <vector>

// Clients that joined one after the other, each from its address as its
// nickname, where `users` were in the roster before them; each client has
// taken every roster sent to it. None at all where one of them was not served.
inline std::vector<Client> joinedRoom(quint16 port, QByteArrayList users,
    const std::vector<std::pair<const char*, QByteArray>>& people)
{
    std::vector<Client> clients;
    for (const auto& [from, nickname] : people) {
        clients.push_back(greeted(port, from));
        if (!clients.back())
            return {};
        clients.back()->write("USER:" + nickname);
        users.append(nickname);
        const QByteArray roster = rosterBroadcast("NEWUSER:" + nickname, users).join();
        for (const Client& client : clients) {
            if (!receives(*client, roster))
                return {};
        }
    }
    return clients;
}
