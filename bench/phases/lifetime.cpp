#include "phases.h"

#include "client_pool.h"
#include "clock.h"
#include "server_process.h"
#include "sockets.h"

#include <cerrno>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

// Connects, probes and closes; false if "NICK" and "OK" did not both come.
// Being connected, the probe may also be sent roster broadcasts meanwhile.
bool probeCycle(int port)
{
    // Closed probes leave this side's ports in TIME_WAIT for a while; the
    // kernel hands them out again, but not always at once.
    int fd = connectTo(port);
    for (const auto start = Clock::now(); fd < 0 && secondsSince(start) < 10; fd = connectTo(port))
        ::usleep(1000);
    if (fd < 0)
        return false;
    ::send(fd, "SCAN", 4, MSG_NOSIGNAL);
    std::string answer;
    const auto start = Clock::now();
    while (answer.find("OK", 4) == std::string::npos && secondsSince(start) < 10) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            answer.append(buffer, size_t(n));
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
    }
    ::close(fd);
    return answer.starts_with("NICK") && answer.find("OK", 4) != std::string::npos;
}

} // namespace

void lifetime(const Options& options)
{
    const double limitSeconds = options.phaseLimit;
    std::printf(
        "\n## lifetime: probe cycles (connect, SCAN, OK, close) beside one joined client\n\n");
    std::printf("| closed connections | server CPU us/probe cycle | server CPU us/chat line | "
                "resident bytes per closed connection | s |\n");
    std::printf("|---|---|---|---|---|\n");
    ServerProcess server(options.server);
    ClientPool pool(server.port());
    const std::string name = "watcher";
    if (!pool.connect(limitSeconds))
        return;
    pool.addTarget(0, 7 + 8 + long(name.size()) + 7 + 5 + long(name.size()));
    pool.send(0, "USER:" + name);
    if (!pool.waitForTargets(limitSeconds))
        return;
    constexpr int timedCycles = 1000;
    constexpr int chatLines = 1000;
    const std::string line = "watcher: a chat line of 32 bytes";

    const long rssBefore = server.rssKiB();
    const auto start = Clock::now();
    int closed = 1; // the load generator's own check that the server listens
    const auto cyclesUntil = [&](int target) {
        while (closed < target) {
            if (secondsSince(start) > limitSeconds || !probeCycle(server.port()))
                return false;
            ++closed;
            pool.drain();
        }
        return pool.waitForTargets(limitSeconds);
    };
    for (const int checkpoint : options.lifetimeCheckpoints) {
        if (!cyclesUntil(std::max(closed, checkpoint - timedCycles))) {
            std::printf("| %d | a probe went unanswered |\n", closed);
            return;
        }
        const double cpuStart = server.cpuSeconds();
        const int timedFrom = closed;
        if (!cyclesUntil(checkpoint)) {
            std::printf("| %d | a probe went unanswered |\n", closed);
            return;
        }
        const double perProbe
            = (server.cpuSeconds() - cpuStart) * 1e6 / std::max(1, closed - timedFrom);
        const double cpuLines = server.cpuSeconds();
        for (int i = 0; i < chatLines; ++i) {
            pool.addTarget(0, long(line.size()));
            pool.send(0, line);
            if (!pool.waitForTargets(limitSeconds))
                return;
        }
        const double perLine = (server.cpuSeconds() - cpuLines) * 1e6 / chatLines;
        const double perClosed = double(server.rssKiB() - rssBefore) * 1024 / closed;
        std::printf("| %d | %.1f | %.1f | %.1f | %.0f |\n", closed, perProbe, perLine, perClosed,
            secondsSince(start));
        std::fflush(stdout);
    }
}

} // namespace bench
