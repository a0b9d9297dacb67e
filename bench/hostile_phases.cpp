#include "hostile_phases.h"

#include "load_rig.h"

#include <cerrno>
#include <string_view>

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

void lifetime(const std::string& binary, const std::vector<int>& checkpoints, double limitSeconds)
{
    std::printf(
        "\n## lifetime: probe cycles (connect, SCAN, OK, close) beside one joined client\n\n");
    std::printf("| closed connections | server CPU us/probe cycle | server CPU us/chat line | "
                "resident bytes per closed connection | s |\n");
    std::printf("|---|---|---|---|---|\n");
    ServerProcess server(binary);
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
    for (const int checkpoint : checkpoints) {
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

void flood(const std::string& binary, int seconds)
{
    std::printf("\n## flood: one client sends 16 KiB writes as fast as it can for %d s and reads "
                "all it is sent;\n",
        seconds);
    std::printf("## another sends a line a second; the Chat page is shown\n\n");
    std::printf("| s | server RSS MiB | flood MiB written | other's lines answered | worst wait ms "
                "|\n|---|---|---|---|---|\n");
    ServerProcess server(binary, "Chat");
    WatchedClient flooder(server.port());
    WatchedClient other(server.port());
    if (!flooder.join("flooder", 10) || !other.join("other", 10)) {
        std::printf("| could not join |\n");
        return;
    }
    const std::string chunk = "flood " + std::string(16 * 1024 - 6, 'f');
    size_t chunkSent = 0;
    long long floodSent = 0;
    int answered = 0;
    double worst = 0;
    bool waiting = false;
    Clock::time_point askedAt;
    const auto start = Clock::now();
    int nextReport = 0;
    for (double now = 0; now < seconds; now = secondsSince(start)) {
        for (int writes = 0; writes < 16; ++writes) {
            const size_t n = flooder.sendSome(std::string_view(chunk).substr(chunkSent));
            if (n == 0)
                break;
            floodSent += long(n);
            chunkSent = (chunkSent + n) % chunk.size();
        }
        flooder.readAll();
        if (other.readAll() && waiting) {
            worst = std::max(worst, secondsSince(askedAt));
            waiting = false;
            ++answered;
        }
        if (waiting)
            worst = std::max(worst, secondsSince(askedAt));
        if (!waiting && now >= answered + 1) {
            const std::string line = "other: line " + std::to_string(answered);
            other.watch(line);
            other.sendSome(line);
            askedAt = Clock::now();
            waiting = true;
        }
        if (now >= nextReport) {
            std::printf("| %d | %.1f | %.1f | %d | %.1f |\n", nextReport, server.rssKiB() / 1024.0,
                double(floodSent) / (1024 * 1024), answered, worst * 1e3);
            std::fflush(stdout);
            nextReport += 10;
        }
    }
    std::printf("| %d | %.1f | %.1f | %d | %.1f |\n", seconds, server.rssKiB() / 1024.0,
        double(floodSent) / (1024 * 1024), answered, worst * 1e3);
}

void longLines(const std::string& binary, double sendSeconds)
{
    std::printf("\n## long lines: one client writes 8 lines of 1 MiB (for at most %.0f s), then "
                "another sends a short line\n\n",
        sendSeconds);
    std::printf("| page shown | MiB written | short line's wait ms |\n|---|---|---|\n");
    for (const char* page : { "Chat", "Logs", "Users" }) {
        ServerProcess server(binary, page);
        WatchedClient sender(server.port());
        WatchedClient other(server.port());
        if (!sender.join("sender", 10) || !other.join("other", 10)) {
            std::printf("| %s | could not join |\n", page);
            continue;
        }
        std::string lines;
        for (int i = 0; i < 8; ++i)
            lines += std::string(1024 * 1024, char('a' + i));
        size_t written = 0;
        const auto start = Clock::now();
        while (written < lines.size() && secondsSince(start) < sendSeconds) {
            // Each line its own write, as far as the connection takes it.
            const size_t lineEnd = (written / (1024 * 1024) + 1) * 1024 * 1024;
            written += sender.sendSome(std::string_view(lines).substr(written, lineEnd - written));
            sender.readAll();
            other.readAll();
        }
        const std::string line = "other: after the long lines";
        other.watch(line);
        other.sendSome(line);
        const auto asked = Clock::now();
        double wait = -1;
        while (secondsSince(asked) < 60) {
            sender.readAll();
            if (other.readAll()) {
                wait = secondsSince(asked);
                break;
            }
        }
        if (wait < 0)
            std::printf(
                "| %s | %.1f | none within 60 s |\n", page, double(written) / (1024 * 1024));
        else
            std::printf(
                "| %s | %.1f | %.1f |\n", page, double(written) / (1024 * 1024), wait * 1e3);
        std::fflush(stdout);
    }
}

} // namespace bench
