#pragma once

// What the load generator's phases share: the server under test in a process
// of its own, and many plain TCP clients on one epoll descriptor. Every wait
// is bounded in time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

inline double secondsSince(Clock::time_point start)
{
    return Seconds(Clock::now() - start).count();
}

inline sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

// A port the kernel handed out, kept bound (not listening) for as long as
// this lives, so that no other socket can take it: the server listens on it
// beside this socket, both allowing it with SO_REUSEADDR.
class PortReservation {
public:
    PortReservation()
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = loopback(0);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~PortReservation() { ::close(m_fd); }
    PortReservation(const PortReservation&) = delete;
    PortReservation& operator=(const PortReservation&) = delete;
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

// Client number `n` of a phase comes from an address of its own, 127.1.0.1
// and up: to the server each address is another machine.
inline in_addr_t clientAddress(int n)
{
    return htonl((127u << 24 | 1u << 16) + uint32_t(n) + 1);
}

// A connected, non-blocking client socket, from `from` where it is given.
inline int connectTo(int port, in_addr_t from = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback(0);
    local.sin_addr.s_addr = from;
    const sockaddr_in address = loopback(port);
    if (fd < 0
        || (from != 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

inline void raiseOpenFileLimit()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// The server under test, in a process of its own.
class ServerProcess {
public:
    // Ours: the bench server, `page` the tab its window shows while it serves.
    explicit ServerProcess(const std::string& binary, const char* page = "Settings")
        : ServerProcess([&](int port) {
            return std::vector<std::string> { binary, std::to_string(port), page };
        })
    {
    }
    // Any server, run with the arguments made for the port reserved for it.
    explicit ServerProcess(const std::function<std::vector<std::string>(int port)>& arguments)
    {
        const std::vector<std::string> command = arguments(port());
        if (!start(command))
            fail(command[0]);
    }
    ~ServerProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    int port() const { return m_reserved.port(); }

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
    void signal(int number) const { ::kill(m_pid, number); }
    // Bytes in the files the server holds open whose names are gone: its
    // transcript.
    long long unnamedFileBytes() const
    {
        long long total = 0;
        const std::string fds = "/proc/" + std::to_string(m_pid) + "/fd";
        if (DIR* dir = ::opendir(fds.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string path = fds + "/" + entry->d_name;
                char target[4096];
                const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
                struct stat file { };
                if (length > 0 && std::string_view(target, size_t(length)).ends_with(" (deleted)")
                    && ::stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode))
                    total += file.st_size;
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
    // Whether it listens within 20 s; false as soon as it has ended.
    bool start(std::vector<std::string> arguments)
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            // The server goes when the load generator goes, however it ends.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // On the display where there is one, as a user runs it.
            if (!std::getenv("DISPLAY"))
                ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
            // What the server says goes nowhere: the tables are what counts.
            const int nowhere = ::open("/dev/null", O_WRONLY);
            ::dup2(nowhere, STDOUT_FILENO);
            ::dup2(nowhere, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto start = Clock::now();
        while (secondsSince(start) < 20) {
            const int fd = connectTo(port());
            if (fd >= 0) {
                ::close(fd); // a closed slot: later sends to it fail at once and are not counted
                return true;
            }
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            ::usleep(20000);
        }
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return false;
    }
    [[noreturn]] static void fail(const std::string& binary)
    {
        std::fprintf(stderr, "%s did not start listening\n", binary.c_str());
        std::exit(1);
    }

    PortReservation m_reserved;
    pid_t m_pid = -1;
};

// Many clients on one epoll descriptor. Each counts the bytes it received
// and has a target; `behind` is how many clients have not reached theirs.
class ClientPool {
public:
    // What a client's progress is counted in: bytes, or lines (for a
    // line-based protocol whose lines vary in length).
    enum class Unit { Bytes, Lines };

    explicit ClientPool(int port, Unit unit = Unit::Bytes)
        : m_port(port)
        , m_unit(unit)
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
    // Reads what has arrived, without waiting.
    void drain() { pump(0); }

    // Connects a client, from an address of its own, and waits for its greeting.
    bool connect(double limitSeconds)
    {
        const int fd = connectTo(m_port, clientAddress(size()));
        if (fd < 0)
            return false;
        adopt(fd);
        addTarget(size() - 1, 4); // "NICK"
        return waitForTargets(limitSeconds);
    }
    // Takes over a connected client, with nothing expected of it yet.
    void adopt(int fd)
    {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(m_fds.size());
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_fds.push_back(fd);
        m_received.push_back(0);
        m_target.push_back(0);
    }
    // Reads until nothing has arrived for `quietSeconds`.
    void drainUntilQuiet(double quietSeconds, double limitSeconds)
    {
        const auto start = Clock::now();
        auto lastArrival = Clock::now();
        while (secondsSince(lastArrival) < quietSeconds && secondsSince(start) < limitSeconds) {
            if (pump(10) > 0)
                lastArrival = Clock::now();
        }
    }
    // Counts what has arrived so far as expected.
    void expectNothingMore()
    {
        m_target = m_received;
        m_behind = 0;
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
    // Returns how many clients had something to read.
    int pump(int timeoutMs)
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
                m_received[i]
                    += m_unit == Unit::Bytes ? n : std::count(m_scratch, m_scratch + n, '\n');
                if (wasBehind && m_received[i] >= m_target[i])
                    --m_behind;
            }
        }
        return ready;
    }

    int m_port;
    Unit m_unit;
    int m_epoll;
    std::vector<int> m_fds;
    std::vector<long long> m_received;
    std::vector<long long> m_target;
    int m_behind = 0;
    char m_scratch[256 * 1024];
};

// One client read by the phase itself, which looks for a marker in what it
// is sent without keeping all of it. Each comes from an address of its own.
class WatchedClient {
public:
    explicit WatchedClient(int port)
        : m_fd(connectTo(port, clientAddress(50000 + s_clients++)))
    {
    }
    ~WatchedClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    long long received() const { return m_received; }

    // Sends what the socket takes now; returns how much that was.
    size_t sendSome(std::string_view bytes)
    {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        return n > 0 ? size_t(n) : 0;
    }
    // Reads all that has arrived; true once `marker` has been among it since
    // the last watch().
    bool readAll()
    {
        char buffer[256 * 1024];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return m_seen;
            m_received += n;
            if (!m_marker.empty() && !m_seen) {
                m_carry.append(buffer, size_t(n));
                m_seen = m_carry.find(m_marker) != std::string::npos;
                m_carry.erase(0, m_carry.size() - std::min(m_carry.size(), m_marker.size()));
            }
        }
    }
    void watch(std::string marker)
    {
        m_marker = std::move(marker);
        m_carry.clear();
        m_seen = false;
    }
    // Joins under `name` and waits for the join's roster to come back.
    bool join(const std::string& name, double limitSeconds)
    {
        watch("USER:" + name);
        const std::string message = "USER:" + name;
        sendSome(message);
        const auto start = Clock::now();
        while (!readAll()) {
            if (secondsSince(start) > limitSeconds)
                return false;
        }
        return true;
    }

private:
    int m_fd;
    static inline int s_clients = 0;
    long long m_received = 0;
    std::string m_marker;
    std::string m_carry;
    bool m_seen = false;
};

// The floor: one bare non-blocking send() of the message per delivery, no
// epoll, over `clients` connected loopback sockets whose other ends a thread
// reads as they fill, as real clients do; in microseconds of the sender's
// time per send. The reader polls without sleeping, as the client pool does,
// so that the sends do not pay for waking it.
inline double floorMicroseconds(int clients, std::string_view message, long long sends)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener, 4096);
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
        writers.push_back(fd);
    }
    std::atomic<bool> stop = false;
    std::thread reader([&] {
        char drain[65536];
        epoll_event ready[256];
        while (!stop) {
            const int n = ::epoll_wait(readerEpoll, ready, 256, 0);
            for (int e = 0; e < n; ++e) {
                while (::recv(ready[e].data.fd, drain, sizeof drain, MSG_DONTWAIT) > 0) { }
            }
        }
    });
    const auto start = Clock::now();
    for (long long done = 0; done < sends;) {
        for (int i = 0; i < clients && done < sends; ++i, ++done)
            ::send(writers[size_t(i)], message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    const double seconds = secondsSince(start);
    stop = true;
    reader.join();
    for (const int fd : readers)
        ::close(fd);
    for (const int fd : writers)
        ::close(fd);
    ::close(readerEpoll);
    ::close(listener);
    return seconds * 1e6 / double(sends);
}

inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

} // namespace bench
