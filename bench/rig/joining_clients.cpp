#include "joining_clients.h"

#include <cstdio>

namespace bench {

namespace {

std::string nickname(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "c%05d", i);
    return name;
}

// Bytes of a join's roster broadcast to one slot: "NEWLIST", "NEWUSER:"
// and the name, "USER:" and each row.
long long joinBroadcastBytes(long long rosterNameBytes, int rows, const std::string& name)
{
    return 7 + 8 + long(name.size()) + 5LL * rows + rosterNameBytes;
}

} // namespace

JoiningClients::JoiningClients(ClientPool& pool)
    : m_pool(pool)
{
}

bool JoiningClients::joinOne(double limitSeconds)
{
    if (!m_pool.connect(limitSeconds))
        return false;
    const std::string name = nickname(m_pool.size() - 1);
    m_rosterNameBytes += long(name.size());
    return joinAs(name, limitSeconds);
}

bool JoiningClients::rejoinLast(int times, double limitSeconds)
{
    for (int n = 0; n < times; ++n) {
        if (!joinAs(nickname(100000 - 1 - n % 90000), limitSeconds))
            return false;
    }
    return true;
}

// The last client joins as `name`, and its roster reaches every client.
bool JoiningClients::joinAs(const std::string& name, double limitSeconds)
{
    const int rows = m_pool.size() + 1; // the operator's and every client's
    for (int i = 0; i < m_pool.size(); ++i)
        m_pool.addTarget(i, joinBroadcastBytes(m_rosterNameBytes, rows, name));
    m_pool.send(m_pool.size() - 1, "USER:" + name);
    if (!m_pool.waitForTargets(limitSeconds))
        return false;
    m_messages += 1 + (long long)m_pool.size() * (2 + rows);
    m_messagesToFirst += 2 + rows;
    return true;
}

} // namespace bench
