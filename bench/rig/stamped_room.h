#pragma once

#include "web_socket.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// Latencies in milliseconds, counted in buckets (10 µs up to a second, 1 ms
// up to two minutes), so that millions of deliveries cost a fixed amount.
class LatencyHistogram {
public:
    LatencyHistogram();
    void add(double ms);
    long long count() const { return m_count; }
    // The latency below which a share `p` of them lies; 0 for none.
    double percentile(double p) const;
    double maximum() const { return m_maximum; }

private:
    std::vector<long long> m_buckets;
    long long m_count = 0;
    double m_maximum = 0;
};

// Clients in one room, driven open loop: lines go out evenly spaced,
// whatever comes back, each stamped with its number and the moment it was
// due, and each delivery's latency runs from that moment to its arrival.
// Each line also carries the bench server's trace marker, "<oNUMBER>", so
// that the bench server's line trace follows it (--room-trace).
class StampedRoom {
public:
    struct Result {
        long long sent = 0;
        long long expected = 0;
        long long delivered = 0;
        LatencyHistogram latencies;
        // The same deliveries by the kind of client they reached.
        LatencyHistogram tcpLatencies;
        LatencyHistogram webLatencies;
        // The load generator's own CPU time over the run, as a share of it,
        // and how late it sent each line: where these grow, the generator is
        // the limit, not the server.
        double generatorCpu = 0;
        LatencyHistogram sendLateness;
    };

    // Takes the connected clients over; those marked in `web` speak
    // WebSocket, their answer and greeting read (none marked: all plain TCP).
    // `chatLine` wraps a text as the server's protocol wants a chat line; a
    // sender gets its own line back where `senderReceives`.
    StampedRoom(std::vector<int> fds, std::function<std::string(const std::string&)> chatLine,
        bool senderReceives, const std::vector<bool>& web = {});
    ~StampedRoom();
    StampedRoom(const StampedRoom&) = delete;
    StampedRoom& operator=(const StampedRoom&) = delete;

    // Sends `rate` lines a second in all for `seconds`, from the first
    // `talkers` clients in turn, then waits up to `graceSeconds` for the
    // deliveries still due. Lines of an earlier run are not counted.
    Result run(int talkers, double rate, double seconds, double graceSeconds);

private:
    void send(size_t client, const std::string& line);
    void flushUnsent();
    void pump(Result& result);
    void take(size_t client, std::string_view bytes, Result& result);
    void findStamps(size_t client, std::string_view bytes, Result& result);

    std::vector<int> m_fds;
    std::function<std::string(const std::string&)> m_chatLine;
    bool m_senderReceives;
    int m_epoll;
    std::vector<std::optional<WebSocketReader>> m_web;
    std::vector<std::string> m_carry;
    std::vector<std::string> m_unsent;
    std::vector<size_t> m_waitingToSend;
    long long m_nextLine = 0;
    long long m_firstCounted = 0;
    std::vector<char> m_scratch;
};

} // namespace bench
