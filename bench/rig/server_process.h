#pragma once

#include "port_reservation.h"

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace bench {

// The server under test, in a process of its own on a port reserved for it,
// and what it costs: its CPU time, its resident memory, its transcript files.
class ServerProcess {
public:
    // Ours: the bench server, `page` the tab its window shows while it
    // serves, given `options` (bench_server.cpp lists them); it serves its
    // chat page and WebSocket on webPort().
    explicit ServerProcess(const std::string& binary, const char* page = "Settings",
        const std::vector<std::string>& options = {});
    // Any server, run with the arguments made for the port reserved for it.
    explicit ServerProcess(const std::function<std::vector<std::string>(int port)>& arguments);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return m_reserved.port(); }
    int webPort() const { return m_webReserved.port(); }
    // CPU time of all the server's threads, in seconds.
    double cpuSeconds() const;
    long rssKiB() const;
    long peakRssKiB() const;
    // Bytes in the files the server holds open whose names are gone: its
    // transcript.
    long long unnamedFileBytes() const;
    void signal(int number) const;

private:
    // Whether it listens within 20 s; false as soon as it has ended.
    bool start(std::vector<std::string> arguments);
    [[noreturn]] static void fail(const std::string& binary);

    PortReservation m_reserved;
    PortReservation m_webReserved;
    pid_t m_pid = -1;
};

} // namespace bench
