// Load generator for the chat server. Starts the real server headless on a
// free loopback port, drives it with plain TCP clients on one epoll
// descriptor, and prints one table. Every wait is bounded in time.
//
//   quenvar-load SERVER_BINARY [--smoke] [--phase relay|join|storm|memory]...

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

double secondsSince(Clock::time_point start)
{
    return Seconds(Clock::now() - start).count();
}

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void raiseOpenFileLimit()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// The server under test, in a process of its own.
class ServerProcess {
public:
    ServerProcess(const std::string& binary)
        : m_port(freePort())
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            // The server goes when the load generator goes, however it ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const std::string port = std::to_string(m_port);
            ::execl(binary.c_str(), binary.c_str(), port.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const auto start = Clock::now();
        while (secondsSince(start) < 20) {
            const int fd = connectTo(m_port);
            if (fd >= 0) {
                ::close(fd); // a closed slot: later sends to it fail at once and are not counted
                return;
            }
            ::usleep(20000);
        }
        std::fprintf(stderr, "the server did not start listening\n");
        std::exit(1);
    }
    ~ServerProcess()
    {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    int port() const { return m_port; }

    // CPU time of all the server's threads, in seconds.
    double cpuSeconds() const
    {
        double total = 0;
        const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
        if (DIR* dir = ::opendir(tasks.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
                double ns = 0;
                if (stat >> ns)
                    total += ns / 1e9;
            }
            ::closedir(dir);
        }
        return total;
    }
    long rssKiB() const
    {
        std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0)
                return std::strtol(line.c_str() + 6, nullptr, 10);
        }
        return 0;
    }

private:
    int m_port;
    pid_t m_pid = -1;
};

// Many clients on one epoll descriptor. Each counts the bytes it received
// and has a target; `behind` is how many clients have not reached theirs.
class ClientPool {
public:
    explicit ClientPool(int port)
        : m_port(port)
        , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    {
    }
    ~ClientPool()
    {
        for (const int fd : m_fds)
            ::close(fd);
        ::close(m_epoll);
    }

    int size() const { return int(m_fds.size()); }
    long long received(int i) const { return m_received[size_t(i)]; }

    // Connects a client and waits for its greeting.
    bool connect(double limitSeconds)
    {
        const int fd = connectTo(m_port);
        if (fd < 0)
            return false;
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(m_fds.size());
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_fds.push_back(fd);
        m_received.push_back(0);
        m_target.push_back(4); // "NICK"
        ++m_behind;
        return waitForTargets(limitSeconds);
    }

    void send(int i, std::string_view bytes)
    {
        const auto start = Clock::now();
        while (!bytes.empty() && secondsSince(start) < 10) {
            const ssize_t n = ::send(m_fds[size_t(i)], bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0)
                bytes.remove_prefix(size_t(n));
            else
                pump(1);
        }
    }

    void addTarget(int i, long long bytes)
    {
        const bool wasMet = m_received[size_t(i)] >= m_target[size_t(i)];
        m_target[size_t(i)] += bytes;
        if (wasMet && m_received[size_t(i)] < m_target[size_t(i)])
            ++m_behind;
    }

    // Polls without sleeping: on loopback the sender pays for waking a
    // sleeping receiver, work that a real network leaves to the client's
    // machine, and that would be counted as the server's.
    bool waitForTargets(double limitSeconds)
    {
        const auto start = Clock::now();
        while (m_behind > 0) {
            if (secondsSince(start) > limitSeconds)
                return false;
            pump(0);
        }
        return true;
    }

private:
    void pump(int timeoutMs)
    {
        epoll_event events[256];
        const int ready = ::epoll_wait(m_epoll, events, 256, timeoutMs);
        for (int e = 0; e < ready; ++e) {
            const size_t i = events[e].data.u32;
            for (int reads = 0; reads < 64; ++reads) {
                const ssize_t n = ::recv(m_fds[i], m_scratch, sizeof m_scratch, 0);
                if (n <= 0)
                    break;
                const bool wasBehind = m_received[i] < m_target[i];
                m_received[i] += n;
                if (wasBehind && m_received[i] >= m_target[i])
                    --m_behind;
            }
        }
    }

    int m_port;
    int m_epoll;
    std::vector<int> m_fds;
    std::vector<long long> m_received;
    std::vector<long long> m_target;
    int m_behind = 0;
    char m_scratch[256 * 1024];
};

// The floor: a bare non-blocking send() of the message plus one epoll_wait
// with zero timeout, over `clients` connected loopback sockets, in
// microseconds. With `liveReaders`, a thread reads the other ends as they
// fill, as real clients do; otherwise they are drained between batches,
// outside the timing.
double floorMicroseconds(int clients, std::string_view message, long long sends, bool liveReaders)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener, 4096);
    const int epoll = ::epoll_create1(0);
    const int readerEpoll = ::epoll_create1(0);
    std::vector<int> readers, writers;
    for (int i = 0; i < clients; ++i) {
        readers.push_back(connectTo(ntohs(address.sin_port)));
        epoll_event readable {};
        readable.events = EPOLLIN;
        readable.data.fd = readers.back();
        ::epoll_ctl(readerEpoll, EPOLL_CTL_ADD, readers.back(), &readable);
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        epoll_event event {};
        event.events = EPOLLIN;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        writers.push_back(fd);
    }
    std::atomic<bool> stop = false;
    const auto drainReady = [&](int timeoutMs) {
        static thread_local char drain[65536];
        epoll_event ready[256];
        const int n = ::epoll_wait(readerEpoll, ready, 256, timeoutMs);
        for (int e = 0; e < n; ++e) {
            while (::recv(ready[e].data.fd, drain, sizeof drain, MSG_DONTWAIT) > 0) { }
        }
        return n;
    };
    std::thread reader;
    if (liveReaders)
        reader = std::thread([&] {
            while (!stop)
                drainReady(10);
        });
    epoll_event events[64];
    double timed = 0;
    long long done = 0;
    while (done < sends) {
        const auto start = Clock::now();
        for (int i = 0; i < clients && done < sends; ++i, ++done) {
            ::send(writers[size_t(i)], message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            ::epoll_wait(epoll, events, 64, 0);
        }
        timed += secondsSince(start);
        if (!liveReaders) {
            while (drainReady(0) > 0) { }
        }
    }
    stop = true;
    if (reader.joinable())
        reader.join();
    for (const int fd : readers)
        ::close(fd);
    for (const int fd : writers)
        ::close(fd);
    ::close(epoll);
    ::close(readerEpoll);
    ::close(listener);
    return timed * 1e6 / double(sends);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

struct Options {
    std::string server;
    std::vector<int> relayClients { 10, 100, 1000, 5000 };
    int lines = 1000;
    // A storm of N costs about N³/3 messages: 1,000 clients would take some
    // 330 million, a quarter of an hour; the one large join covers that size.
    std::vector<int> joinStorms { 100, 500 };
    int bigJoin = 1000;
    std::vector<int> idleClients { 1000, 10000 };
    double phaseLimit = 900;
};

// One client sends `lines` chat lines, each when the one before has reached
// every client; the others only read.
void relay(const Options& options)
{
    std::printf("\n## relay: one client sends %d lines, every client receives them\n\n", options.lines);
    std::printf("| clients | total s | lines/s delivered | server CPU us/msg | floor us/msg | ratio | floor, live readers | ratio | p50 ms | p99 ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    ServerProcess server(options.server);
    ClientPool pool(server.port());
    const std::string line = "relay: 0123456789abcdefghijklmnop"; // 32 bytes, a chat line
    for (const int clients : options.relayClients) {
        while (pool.size() < clients) {
            if (!pool.connect(options.phaseLimit)) {
                std::printf("| %d | could not connect all clients |\n", clients);
                return;
            }
        }
        const double cpuBefore = server.cpuSeconds();
        const auto start = Clock::now();
        std::vector<double> latencies;
        for (int l = 0; l < options.lines && secondsSince(start) < options.phaseLimit; ++l) {
            for (int i = 0; i < clients; ++i)
                pool.addTarget(i, long(line.size()));
            const auto sent = Clock::now();
            pool.send(0, line);
            if (!pool.waitForTargets(options.phaseLimit))
                break;
            latencies.push_back(secondsSince(sent) * 1e3);
        }
        const double total = secondsSince(start);
        const double delivered = double(latencies.size()) * clients;
        const double cpu = (server.cpuSeconds() - cpuBefore) * 1e6 / delivered;
        const long long floorSends = std::max(100000LL, (long long)clients * 20);
        const double floor = floorMicroseconds(clients, line, floorSends, false);
        const double liveFloor = floorMicroseconds(clients, line, floorSends, true);
        std::printf("| %d | %.2f | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", clients, total,
            delivered / total, cpu, floor, cpu / floor, liveFloor, cpu / liveFloor, percentile(latencies, 0.5),
            percentile(latencies, 0.99));
        std::fflush(stdout);
    }
}

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

void joinStorm(const Options& options)
{
    std::printf("\n## join storm: clients join one after another\n\n");
    std::printf("| clients | total s | messages sent | server CPU us/msg | last join ms |\n|---|---|---|---|---|\n");
    for (const int clients : options.joinStorms) {
        ServerProcess server(options.server);
        ClientPool pool(server.port());
        long long rosterNameBytes = 2; // "op"
        long long messages = 0;
        double lastJoin = 0;
        const double cpuBefore = server.cpuSeconds();
        const auto start = Clock::now();
        int joined = 0;
        for (; joined < clients && secondsSince(start) < options.phaseLimit; ++joined) {
            if (!pool.connect(options.phaseLimit))
                break;
            const std::string name = nickname(joined);
            rosterNameBytes += long(name.size());
            const int rows = joined + 2;
            for (int i = 0; i < pool.size(); ++i)
                pool.addTarget(i, joinBroadcastBytes(rosterNameBytes, rows, name));
            const auto joinStart = Clock::now();
            pool.send(joined, "USER:" + name);
            if (!pool.waitForTargets(options.phaseLimit))
                break;
            lastJoin = secondsSince(joinStart) * 1e3;
            messages += 1 + (long long)pool.size() * (2 + rows);
        }
        const double total = secondsSince(start);
        const double cpu = (server.cpuSeconds() - cpuBefore) * 1e6 / double(messages);
        std::printf("| %d%s | %.2f | %lld | %.2f | %.1f |\n", clients, joined < clients ? " (stopped early)" : "", total,
            messages, cpu, lastJoin);
        std::fflush(stdout);
    }
}

// Fills the roster cheaply: the first client joins `rows` times while it is
// the only client, so each broadcast goes to one slot. Then the others connect.
bool fillRoster(ClientPool& pool, int rows, int clients, double limit)
{
    if (!pool.connect(limit))
        return false;
    long long rosterNameBytes = 2;
    for (int r = 0; r < rows; ++r) {
        const std::string name = nickname(r);
        rosterNameBytes += long(name.size());
        pool.addTarget(0, joinBroadcastBytes(rosterNameBytes, r + 2, name));
        pool.send(0, "USER:" + name);
        if (!pool.waitForTargets(limit))
            return false;
    }
    while (pool.size() < clients) {
        if (!pool.connect(limit))
            return false;
    }
    return true;
}

void bigJoin(const Options& options)
{
    std::printf("\n## one join with %d users in the roster and %d clients connected\n\n", options.bigJoin, options.bigJoin);
    ServerProcess server(options.server);
    ClientPool pool(server.port());
    if (!fillRoster(pool, options.bigJoin - 1, options.bigJoin, options.phaseLimit)) {
        std::printf("could not set up the roster\n");
        return;
    }
    const std::string name = nickname(99999);
    const int rows = options.bigJoin + 1;
    const long long rosterNameBytes = 2 + 6LL * options.bigJoin;
    for (int i = 0; i < pool.size(); ++i)
        pool.addTarget(i, joinBroadcastBytes(rosterNameBytes, rows, name));
    const double cpuBefore = server.cpuSeconds();
    const auto start = Clock::now();
    pool.send(pool.size() - 1, "USER:" + name);
    const bool done = pool.waitForTargets(options.phaseLimit);
    const double seconds = secondsSince(start);
    const long long messages = (long long)pool.size() * (2 + rows);
    std::printf("| join s | messages | server CPU us/msg |\n|---|---|---|\n| %.2f%s | %lld | %.2f |\n", seconds,
        done ? "" : " (timed out)", messages, (server.cpuSeconds() - cpuBefore) * 1e6 / double(messages));
}

void memory(const Options& options)
{
    std::printf("\n## memory: idle joined clients (each a roster row, a join notice and a connection)\n\n");
    std::printf("| clients | server RSS MiB | KiB per client | then a line reached all | s |\n|---|---|---|---|---|\n");
    long baseline = 0;
    {
        ServerProcess server(options.server);
        baseline = server.rssKiB();
        std::printf("| 0 | %.1f | | | |\n", baseline / 1024.0);
    }
    for (const int clients : options.idleClients) {
        ServerProcess server(options.server);
        ClientPool pool(server.port());
        const auto start = Clock::now();
        const bool filled = fillRoster(pool, clients, clients, options.phaseLimit);
        const long rss = server.rssKiB();
        const std::string line = "still: served";
        for (int i = 0; i < pool.size(); ++i)
            pool.addTarget(i, long(line.size()));
        pool.send(pool.size() - 1, line);
        const bool served = filled && pool.waitForTargets(60);
        std::printf("| %d | %.1f | %.1f | %s | %.1f |\n", clients, rss / 1024.0, double(rss - baseline) / clients,
            served ? "yes" : "no", secondsSince(start));
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SERVER_BINARY [--smoke] [--phase relay|join|storm|memory]...\n", argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();
    Options options;
    options.server = argv[1];
    std::vector<std::string> phases;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--smoke") {
            options.relayClients = { 10 };
            options.lines = 50;
            options.joinStorms = { 20 };
            options.bigJoin = 50;
            options.idleClients = { 50 };
            options.phaseLimit = 60;
        } else if (argument == "--phase" && i + 1 < argc) {
            phases.emplace_back(argv[++i]);
        }
    }
    const auto wanted = [&](const char* phase) {
        return phases.empty() || std::find(phases.begin(), phases.end(), phase) != phases.end();
    };
    if (wanted("relay"))
        relay(options);
    if (wanted("join"))
        bigJoin(options);
    if (wanted("storm"))
        joinStorm(options);
    if (wanted("memory"))
        memory(options);
    return 0;
}
