#pragma once

#include "roster_readers.h"

#include <functional>
#include <memory>
#include <vector>

namespace bench {

// A reconnect storm: clients that all connect at once, each from an address
// of its own, and join as their readers say, on one epoll descriptor. Each
// read takes at most 64 KiB from one ready client, so none waits behind
// another's backlog; the wait is bounded in time.
class StormClients {
public:
    using Readers = std::function<std::unique_ptr<RosterReader>(int client, int clients)>;

    struct Result {
        // Until every client held the full roster, or until the run stopped.
        double seconds = 0;
        bool finished = false;
        // Clients holding the full roster when the run stopped.
        int holding = 0;
        // Clients that could not connect or that the server closed.
        int cutOff = 0;
        // Clients still open that the server had sent nothing when the run
        // stopped: in a listener's full backlog, or retrying their SYN.
        int unanswered = 0;
        // All the clients received, from the greeting on.
        long long bytes = 0;
    };

    StormClients(int clients, const Readers& readers);
    ~StormClients();
    StormClients(const StormClients&) = delete;
    StormClients& operator=(const StormClients&) = delete;

    // Connects every client to `port` and reads until each holds the full
    // roster, or `limitSeconds` have passed, or none is left. Once a storm.
    Result run(int port, double limitSeconds);

private:
    struct Member {
        int fd = -1;
        bool connected = false;
        bool answered = false;
        std::unique_ptr<RosterReader> reader;
    };

    void connect(Member& member, int client, int port);
    void finishConnecting(Member& member);
    void receive(Member& member);
    void send(Member& member, const std::string& bytes);
    void cutOff(Member& member);

    std::vector<Member> m_members;
    int m_epoll;
    Result m_result;
    int m_open = 0;
};

} // namespace bench
