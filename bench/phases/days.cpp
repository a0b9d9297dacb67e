// Days of traffic in little time: one client sends all its budget allows for
// minutes while another watches; the server's memory over time, the size of
// its transcript files, and the saved log compared with what was sent. Then a
// log of a gigabyte is saved while a client chats: how long its lines take
// meanwhile.

#include "phases.h"

#include "client.h"
#include "clock.h"
#include "joined_pair.h"
#include "server_process.h"
#include "sockets.h"
#include "statistics.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr double joinLimit = 10;

std::string fileContents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

// The chat lines of a saved log, joined: its rows less the join notices.
std::string savedChat(const std::string& saved)
{
    std::string chat;
    for (size_t at = 0; at < saved.size();) {
        const size_t end = saved.find("\"\r\n", at + 1);
        if (saved[at] != '"' || end == std::string::npos)
            return "(not a saved log)";
        const std::string_view row = std::string_view(saved).substr(at + 1, end - at - 1);
        if (!row.starts_with("User Entered The Chat: "))
            chat += row;
        at = end + 3;
    }
    return chat;
}

// Saves the log as Save Log As does, to `path`; true once the file is there.
bool saveLog(const ServerProcess& server, const std::string& path, double limitSeconds,
    const std::function<void()>& meanwhile)
{
    std::remove(path.c_str());
    server.signal(SIGUSR1);
    const auto start = Clock::now();
    while (::access(path.c_str(), F_OK) != 0) {
        if (secondsSince(start) > limitSeconds)
            return false;
        meanwhile();
    }
    return true;
}

void steadySender(
    const std::string& binary, const DaysOptions& options, const std::string& savePath)
{
    std::printf("\n## days: one client sends 4 KiB lines at 60 KiB a second (its budget is 64) for "
                "%.0f s; another "
                "watches\n\n",
        options.seconds);
    std::printf("| s | server RSS MiB | transcript files MiB | sent MiB |\n|---|---|---|---|\n");
    JoinedPair pair(binary, "Chat", "sender", "watcher", "", { "--save-to", savePath });
    if (!pair.joined)
        return;
    auto& [server, sender, watcher, joined] = pair;
    constexpr double linesPerSecond = 15;
    std::string sent;
    size_t written = 0;
    long rssAtMinute = 0;
    long rssMost = 0;
    int nextReport = 0;
    const auto start = Clock::now();
    for (double now = 0; now < options.seconds; now = secondsSince(start)) {
        while (double(sent.size()) < (now * linesPerSecond + 1) * 4096) {
            std::string line = "days line " + std::to_string(sent.size() / 4096) + " ";
            line.resize(4096, char('a' + sent.size() / 4096 % 26));
            sent += line;
        }
        written += sender.sendSome(std::string_view(sent).substr(written));
        sender.readAll();
        watcher.readAll();
        if (now >= nextReport) {
            const long rss = server.rssKiB();
            if (nextReport == 60)
                rssAtMinute = rss;
            if (nextReport >= 60)
                rssMost = std::max(rssMost, rss);
            std::printf("| %d | %.1f | %.1f | %.1f |\n", nextReport, rss / 1024.0,
                double(server.unnamedFileBytes()) / (1 << 20), double(written) / (1 << 20));
            std::fflush(stdout);
            nextReport += 10;
        }
        ::usleep(1000);
    }
    sent.resize(written);
    // The last line: once the watcher has it, it has had all before it.
    const std::string last = "days: the last line";
    watcher.watch(last);
    sent += last;
    while (written < sent.size() && secondsSince(start) < options.seconds + 60) {
        written += sender.sendSome(std::string_view(sent).substr(written));
        sender.readAll();
    }
    const auto drained = Clock::now();
    while (!watcher.readAll() && secondsSince(drained) < 60)
        sender.readAll();
    if (rssAtMinute > 0)
        std::printf("\nRSS growth after the first minute: %.2f MB at most, %.2f MB at the end\n",
            double(rssMost - rssAtMinute) / 1024, double(server.rssKiB() - rssAtMinute) / 1024);
    if (options.save) {
        const bool saved = saveLog(server, savePath, 120, [&] { sender.readAll(); });
        std::printf("saved log: %s\n",
            !saved                                          ? "not saved within 120 s"
                : savedChat(fileContents(savePath)) == sent ? "byte-identical to what was sent"
                                                            : "DIFFERS");
        std::remove(savePath.c_str());
    }
}

void saveWhileChatting(
    const std::string& binary, const DaysOptions& options, const std::string& savePath)
{
    std::printf("\n## days: a log of %.0f MiB is saved while a client sends a line every 10 ms\n\n",
        double(options.bigLog) / (1 << 20));
    std::printf("| save s | saved MiB | lines during the save | p50 ms | p99 ms | max ms "
                "|\n|---|---|---|---|---|---|\n");
    ServerProcess server(
        binary, "Logs", { "--fill-log", std::to_string(options.bigLog), "--save-to", savePath });
    Client chatter(server.port(), clientAddress(0));
    if (!chatter.join("chatter", joinLimit)) {
        std::printf("| could not join |\n");
        return;
    }
    std::vector<double> roundTrips;
    int line = 0;
    bool waiting = false;
    Clock::time_point asked;
    const auto start = Clock::now();
    const bool saved = saveLog(server, savePath, 600, [&] {
        if (waiting && chatter.readAll()) {
            roundTrips.push_back(secondsSince(asked) * 1e3);
            waiting = false;
        }
        if (!waiting && secondsSince(asked) >= 0.01) {
            const std::string text = "chatter: line " + std::to_string(line++);
            chatter.watch(text);
            chatter.sendSome(text);
            asked = Clock::now();
            waiting = true;
        }
    });
    const double seconds = secondsSince(start);
    struct stat file { };
    ::stat(savePath.c_str(), &file);
    if (!saved)
        std::printf("| not saved within 600 s |\n");
    else
        std::printf("| %.1f | %.0f | %zu | %.2f | %.2f | %.2f |\n", seconds,
            double(file.st_size) / (1 << 20), roundTrips.size(), percentile(roundTrips, 0.5),
            percentile(roundTrips, 0.99), maximum(roundTrips));
    std::remove(savePath.c_str());
}

} // namespace

void days(const Options& options)
{
    const char* folder = std::getenv("TMPDIR");
    const std::string savePath
        = std::string(folder ? folder : "/tmp") + "/quenvar-days-" + std::to_string(::getpid());
    steadySender(options.server, options.days, savePath);
    if (options.days.save)
        saveWhileChatting(options.server, options.days, savePath);
}

} // namespace bench
