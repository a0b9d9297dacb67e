#include "stamped_room.h"

#include "clock.h"
#include "sockets.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

namespace bench {

namespace {

constexpr int fineBuckets = 100'000; // 10 µs each, up to a second
constexpr int coarseBuckets = 119'000; // 1 ms each, up to two minutes
// "#", the line's number (10 digits), when it was due in µs since the
// clock's start (16 digits), "$".
constexpr size_t stampSize = 28;

double microsecondsNow()
{
    return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

// The stamp at `at`, or false where none starts there.
bool readStamp(const char* at, long long& line, double& dueMicroseconds)
{
    if (at[0] != '#' || at[stampSize - 1] != '$')
        return false;
    long long number = 0;
    long long due = 0;
    for (size_t i = 1; i < stampSize - 1; ++i) {
        if (at[i] < '0' || at[i] > '9')
            return false;
        (i <= 10 ? number : due) = (i <= 10 ? number : due) * 10 + (at[i] - '0');
    }
    line = number;
    dueMicroseconds = double(due);
    return true;
}

} // namespace

LatencyHistogram::LatencyHistogram()
    : m_buckets(fineBuckets + coarseBuckets + 1)
{
}

void LatencyHistogram::add(double ms)
{
    ms = std::max(ms, 0.0);
    const auto bucket = ms < 1000 ? size_t(ms * 100) : size_t(fineBuckets + (ms - 1000));
    ++m_buckets[std::min(bucket, m_buckets.size() - 1)];
    ++m_count;
    m_maximum = std::max(m_maximum, ms);
}

double LatencyHistogram::percentile(double p) const
{
    const auto rank = (long long)(p * double(m_count));
    long long below = 0;
    for (size_t b = 0; b < m_buckets.size(); ++b) {
        below += m_buckets[b];
        if (below > rank)
            return b < fineBuckets ? double(b + 1) / 100 : 1000 + double(b - fineBuckets + 1);
    }
    return m_maximum;
}

StampedRoom::StampedRoom(std::vector<int> fds,
    std::function<std::string(const std::string&)> chatLine, bool senderReceives,
    const std::vector<bool>& web)
    : m_fds(std::move(fds))
    , m_chatLine(std::move(chatLine))
    , m_senderReceives(senderReceives)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_web(m_fds.size())
    , m_carry(m_fds.size())
    , m_unsent(m_fds.size())
    , m_scratch(256 * 1024)
{
    require(m_epoll >= 0, "epoll_create1");
    for (size_t i = 0; i < m_fds.size(); ++i) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u64 = i;
        require(::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_fds[i], &event) == 0, "epoll_ctl");
        if (i < web.size() && web[i])
            m_web[i].emplace(WebSocketReader::State::Open);
    }
}

StampedRoom::~StampedRoom()
{
    for (const int fd : m_fds)
        ::close(fd);
    ::close(m_epoll);
}

StampedRoom::Result StampedRoom::run(int talkers, double rate, double seconds, double graceSeconds)
{
    Result result;
    const long long receivers = (long long)m_fds.size() - (m_senderReceives ? 0 : 1);
    const long long lines = (long long)(rate * seconds);
    m_firstCounted = m_nextLine;
    const double cpuBefore = cpuSecondsOfThisProcess();
    const auto start = Clock::now();
    const double startMicroseconds = microsecondsNow();
    while (result.sent < lines) {
        const double now = secondsSince(start);
        // Every line that is due goes now, late or not: the load does not
        // wait for the server.
        for (; result.sent < lines && double(result.sent) / rate <= now; ++result.sent) {
            result.sendLateness.add((now - double(result.sent) / rate) * 1e3);
            char stamp[stampSize + 1];
            std::snprintf(stamp, sizeof stamp, "#%010lld%016lld$", m_nextLine++,
                (long long)(startMicroseconds + double(result.sent) / rate * 1e6));
            send(size_t(result.sent % talkers),
                m_chatLine(
                    std::string(stamp, stampSize) + " <o" + std::to_string(m_nextLine - 1) + ">"));
        }
        flushUnsent();
        pump(result);
    }
    result.expected = result.sent * receivers;
    const auto end = Clock::now();
    while (result.delivered < result.expected && secondsSince(end) < graceSeconds) {
        flushUnsent();
        pump(result);
    }
    result.generatorCpu = (cpuSecondsOfThisProcess() - cpuBefore) / secondsSince(start);
    return result;
}

void StampedRoom::send(size_t client, const std::string& line)
{
    std::string frame;
    if (m_web[client])
        frame = maskedFrame(line);
    const std::string& bytes = m_web[client] ? frame : line;
    std::string& unsent = m_unsent[client];
    if (unsent.empty()) {
        const ssize_t n = ::send(m_fds[client], bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n == ssize_t(bytes.size()))
            return;
        m_waitingToSend.push_back(client);
        unsent.assign(bytes, size_t(std::max<ssize_t>(n, 0)));
    } else {
        unsent += bytes;
    }
}

void StampedRoom::flushUnsent()
{
    std::erase_if(m_waitingToSend, [this](size_t client) {
        std::string& unsent = m_unsent[client];
        const ssize_t n = ::send(m_fds[client], unsent.data(), unsent.size(), MSG_NOSIGNAL);
        unsent.erase(0, size_t(std::max<ssize_t>(n, 0)));
        return unsent.empty();
    });
}

// Polls without sleeping, as the other phases' clients do: on loopback the
// sender pays for waking a sleeping receiver.
void StampedRoom::pump(Result& result)
{
    epoll_event events[256];
    const int ready = ::epoll_wait(m_epoll, events, 256, 0);
    for (int e = 0; e < ready; ++e) {
        const size_t client = events[e].data.u64;
        for (int reads = 0; reads < 16; ++reads) {
            const ssize_t n = ::recv(m_fds[client], m_scratch.data(), m_scratch.size(), 0);
            if (n <= 0)
                break;
            take(client, std::string_view(m_scratch.data(), size_t(n)), result);
        }
    }
}

void StampedRoom::take(size_t client, std::string_view bytes, Result& result)
{
    if (!m_web[client])
        return findStamps(client, bytes, result);
    m_web[client]->take(
        bytes, [&](std::string_view message) { findStamps(client, message, result); });
}

// Finds the stamps in what arrived; one cut in two waits for its rest.
void StampedRoom::findStamps(size_t client, std::string_view bytes, Result& result)
{
    std::string& carry = m_carry[client];
    std::string joined;
    if (!carry.empty()) {
        joined = std::exchange(carry, {}) + std::string(bytes);
        bytes = joined;
    }
    const double arrival = microsecondsNow();
    for (size_t at = bytes.find('#'); at != std::string_view::npos; at = bytes.find('#', at)) {
        if (bytes.size() - at < stampSize) {
            carry = bytes.substr(at);
            break;
        }
        long long line = 0;
        double due = 0;
        if (!readStamp(bytes.data() + at, line, due)) {
            ++at;
            continue;
        }
        if (line >= m_firstCounted) {
            const double ms = (arrival - due) / 1e3;
            ++result.delivered;
            result.latencies.add(ms);
            (m_web[client] ? result.webLatencies : result.tcpLatencies).add(ms);
        }
        at += stampSize;
    }
}

} // namespace bench
