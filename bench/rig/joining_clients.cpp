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
    const int joined = m_pool.size() - 1;
    const std::string name = nickname(joined);
    m_rosterNameBytes += long(name.size());
    const int rows = joined + 2; // the operator's and every client's
    for (int i = 0; i < m_pool.size(); ++i)
        m_pool.addTarget(i, joinBroadcastBytes(m_rosterNameBytes, rows, name));
    m_pool.send(joined, "USER:" + name);
    if (!m_pool.waitForTargets(limitSeconds))
        return false;
    m_messages += 1 + (long long)m_pool.size() * (2 + rows);
    m_messagesToFirst += 2 + rows;
    return true;
}

bool JoiningClients::rejoinLast(int times, double limitSeconds)
{
    const int last = m_pool.size() - 1;
    const int rows = m_pool.size() + 1;
    for (int n = 0; n < times; ++n) {
        const std::string name = nickname(100000 - 1 - n % 90000);
        for (int i = 0; i < m_pool.size(); ++i)
            m_pool.addTarget(i, joinBroadcastBytes(m_rosterNameBytes, rows, name));
        m_pool.send(last, "USER:" + name);
        if (!m_pool.waitForTargets(limitSeconds))
            return false;
        m_messages += 1 + (long long)m_pool.size() * (2 + rows);
        m_messagesToFirst += 2 + rows;
    }
    return true;
}

} // namespace bench
