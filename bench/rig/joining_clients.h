#pragma once

#include "client_pool.h"

#include <string>

namespace bench {

// Clients that join one after another, each from an address of its own;
// every join's roster reaches every client before the next one joins.
class JoiningClients {
public:
    explicit JoiningClients(ClientPool& pool);
    // Messages the server has sent for the joins so far, in all and to the
    // first client (its greeting too).
    long long messages() const { return m_messages; }
    long long messagesToFirst() const { return m_messagesToFirst; }
    bool joinOne(double limitSeconds);
    // The last client joins again under a new name of the same length;
    // its roster reaches every client before this returns.
    bool rejoinLast(int times, double limitSeconds);

private:
    bool joinAs(const std::string& name, double limitSeconds);

    ClientPool& m_pool;
    long long m_rosterNameBytes = 2; // "op"
    long long m_messages = 0;
    long long m_messagesToFirst = 1;
};

} // namespace bench
