#pragma once

#include "client_pool.h"
#include "server_process.h"

#include <memory>
#include <string>

namespace bench {

// ngircd, Debian's IRC server: the program a Linux user would run instead
// for a chat relay, measured under the same load. It runs on a loopback port
// reserved for it, with a configuration for the benchmark: no DNS, ident or
// PAM, no flood penalties, no limit on connections per address, no pings
// while it runs.
class IrcPeer {
public:
    static constexpr const char* binary = "/usr/sbin/ngircd";
    static bool installed();

    IrcPeer();
    ~IrcPeer();

    ServerProcess& process() { return *m_process; }
    // Registers client number `index`, joins it to the benchmark's channel
    // and hands it to the pool once the channel's names have come.
    bool join(ClientPool& pool, int index, double limitSeconds);
    // A chat line to the channel, which the server delivers to every other
    // member as one line.
    static std::string chatLine(const std::string& text);

private:
    std::string m_folder;
    std::unique_ptr<ServerProcess> m_process;
};

} // namespace bench
