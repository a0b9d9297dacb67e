#pragma once

#include <string>
#include <vector>

// Phases of the load generator that play what clients do over days rather
// than what a scenario does: come and go by the hundred thousand, flood,
// send lines of a megabyte.
namespace bench {

// Probe cycles (connect, "SCAN", "OK", close) beside one joined client: the
// server's CPU per cycle and per chat line, and resident bytes per closed
// connection, at each checkpoint of closed connections.
void lifetime(const std::string& server, const std::vector<int>& checkpoints, double limitSeconds);
// One client floods for `seconds` while another sends a line a second: the
// server's resident memory over time and the other client's worst wait.
void flood(const std::string& server, int seconds);
// Eight lines of a megabyte from one client, then a short line from
// another: how long the short line takes, with each page of the window shown.
void longLines(const std::string& server, double sendSeconds);

struct FairOptions {
    int ordinaryClients = 100;
    double seconds = 20;
    double allSeconds = 60;
    // How long lines sent in time may take to come back before they count as lost.
    double graceSeconds = 5;
};
// Ordinary clients chatting beside each kind of hostile client, and beside
// all at once: their lines' round trips, lines lost, the server's CPU and
// memory (fair_phase.cpp).
void fair(const std::string& server, const FairOptions& options);

struct DaysOptions {
    double seconds = 600;
    long long bigLog = 1LL << 30;
    // Whether the server saves its log on SIGUSR1 (the programs before that
    // end on it).
    bool save = true;
};
// A client sending all its budget allows for minutes: memory, transcript
// files, the saved log; then a large log saved while a client chats
// (days_phase.cpp).
void days(const std::string& server, const DaysOptions& options);

} // namespace bench
