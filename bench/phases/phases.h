#pragma once

#include <string>
#include <vector>

// The load generator's phases, one file each. Each starts the servers it
// measures, drives them over loopback and prints its tables; every wait is
// bounded in time.
namespace bench {

struct FairOptions {
    int ordinaryClients = 100;
    double seconds = 20;
    double allSeconds = 60;
    // How long lines sent in time may take to come back before they count as lost.
    double graceSeconds = 5;
    // Only the run with all kinds at once.
    bool mixOnly = false;
};

struct DaysOptions {
    double seconds = 600;
    long long bigLog = 1LL << 30;
    // Whether the server saves its log on SIGUSR1 (the programs before that
    // end on it).
    bool save = true;
};

// Clients, how many of them talk, and lines a second from all of them.
struct RoomLoad {
    int clients;
    int talkers;
    double rate;
};

struct RoomOptions {
    std::vector<RoomLoad> loads { { 1000, 100, 100 }, { 1000, 100, 300 }, { 1000, 1000, 600 },
        { 100, 100, 2000 } };
    double seconds = 30;
    double graceSeconds = 5;
    // Ours runs each load again with every other client on WebSocket.
    bool halfWeb = false;
    // The capacity search, at these numbers of clients (none: no search).
    std::vector<int> capacityClients;
    int capacityTalkers = 100;
    double p99LimitMs = 100;
    double firstRate = 100;
    double highestRate = 256000;
    int bisections = 3;
    double searchSeconds = 10;
    // Where ours writes its line trace (bench/line_trace.h); none if empty.
    std::string traceFile;
};

struct Options {
    std::string server;
    std::vector<int> relayClients { 10, 100, 1000, 5000 };
    int lines = 1000;
    int runs = 3;
    // Clients of each reconnect storm, and how long one may take.
    std::vector<int> storms { 300, 1000, 2000 };
    double stormLimit = 120;
    // Each a roster row of its own, so joined one after another.
    std::vector<int> idleClients { 500 };
    int quietJoins = 1000;
    std::vector<int> lifetimeCheckpoints { 1000, 10000, 100000 };
    int floodSeconds = 60;
    int hoardSeconds = 60;
    int hoardConnections = 1500;
    double longLineSeconds = 10;
    FairOptions fair;
    DaysOptions days;
    RoomOptions room;
    double phaseLimit = 900;
};

// Ours, ngircd and InspIRCd (where installed) and the bare-send floor,
// relaying the same closed loop of chat lines (relay.cpp).
void relay(const Options& options);
// A reconnect storm: every client connects at once and joins; the time
// until every client holds the full roster, clients cut off, bytes sent, the
// server's CPU and peak memory, for ours and the peers (storm.cpp).
void storm(const Options& options);
// Idle joined clients, joined one after another (memory.cpp).
void memory(const Options& options);
// Probe cycles (connect, "SCAN", "OK", close) beside one joined client: the
// server's CPU per cycle and per chat line, and resident bytes per closed
// connection, at each checkpoint of closed connections (lifetime.cpp).
void lifetime(const Options& options);
// One client floods while another sends a line a second: the server's
// resident memory over time and the other client's worst wait (flood.cpp).
void flood(const Options& options);
// One address opening connections and never reading them, beside long
// lines: the server's memory, and another client's worst wait (hoard.cpp).
void hoard(const Options& options);
// Eight lines of a megabyte from one client, then a short line from
// another: how long the short line takes, with each page of the window
// shown (long_lines.cpp).
void longLines(const Options& options);
// Ordinary clients chatting beside each kind of hostile client, and beside
// all at once: their lines' round trips, lines lost, the server's CPU and
// memory (fair.cpp).
void fair(const Options& options);
// A client sending all its budget allows for minutes: memory, transcript
// files, the saved log; then a large log saved while a client chats
// (days.cpp).
void days(const Options& options);

// Many clients talking at once, open loop: each delivery's latency, lines
// lost, and CPU per delivery, for ours and the peers side by side; with
// capacity clients given, the highest rate each keeps up with (room.cpp).
void room(const Options& options);

} // namespace bench
