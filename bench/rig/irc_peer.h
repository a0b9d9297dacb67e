#pragma once

#include "server_process.h"

#include <memory>
#include <string>
#include <vector>

namespace bench {

// An IRC server a Linux user would run instead for a chat relay, from
// Debian's packages, measured under the same load. It runs on a loopback
// port reserved for it, with a configuration for the benchmark: no DNS or
// ident lookups, no flood penalties, no limit on connections per address,
// room for thousands of clients, no pings while it runs.
class IrcPeer {
public:
    enum class Kind { Ngircd, Inspircd };
    static constexpr Kind kinds[] = { Kind::Ngircd, Kind::Inspircd };

    static const char* name(Kind kind);
    static const char* binary(Kind kind);
    static bool installed(Kind kind);
    // The kinds installed; a line of the benchmark's output names each missing.
    static std::vector<Kind> installedKinds();

    explicit IrcPeer(Kind kind);
    ~IrcPeer();

    Kind kind() const { return m_kind; }
    ServerProcess& process() { return *m_process; }
    // Clients `first` to `first + count - 1`, each from an address of its
    // own, registered all at once (InspIRCd finishes registrations on a
    // once-a-second timer), then joined to the benchmark's channel. Returns
    // their sockets once each has had the channel's names, or none.
    std::vector<int> join(int first, int count, double limitSeconds);
    // A chat line to the channel, which the server delivers to every other
    // member as one line.
    static std::string chatLine(const std::string& text);

private:
    Kind m_kind;
    std::string m_folder;
    std::unique_ptr<ServerProcess> m_process;
};

} // namespace bench
