#pragma once

#include "socket_slot_array.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

// Where each ordinary line of the fair phase (its text carries a marker
// "<o...>") spent its time in the server, written to a file as its copy goes
// back to its sender, one record a line:
//
//   line MARKER READ_NS RELAY_NS DEPTH OUTER PARENT QUEUED PASSES PASS_MS
//
// read and relay on the monotonic clock the load generator uses; DEPTH the
// yields the read was nested in; OUTER and PARENT the outermost and the
// innermost work running then (WORK@ADDRESS, "-" for none); QUEUED the
// sender's unsent output ahead of its copy; PASSES and PASS_MS the window's
// passes run between read and relay. Every stretch of one piece of work, or
// of one turn of the event loop, that took over 20 ms is written too:
//
//   stall WORK@ADDRESS DEPTH START_NS END_NS
class LineTrace final : public SlotArrayProbe {
public:
    explicit LineTrace(const QString& path);
    ~LineTrace() override;
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    void started(Work work, const AddressLedger::Address* from, int depth) override;
    void finished(Work work, int depth) override;
    void received(int index, QByteArrayView bytes, int depth) override;
    void sending(int index, QByteArrayView bytes, qsizetype queued) override;
    // The event loop's own turns: from waking up to waiting again.
    void loopWoke();
    void loopWaits();

private:
    using Clock = std::chrono::steady_clock;
    struct Frame {
        std::string what;
        Clock::time_point start;
    };
    struct Line {
        std::string marker;
        Clock::time_point read;
        int depth;
        std::string outer;
        std::string parent;
        long long passesAtRead;
        double passMsAtRead;
    };
    void writeStall(const std::string& what, int depth, Clock::time_point start);

    std::FILE* m_file;
    std::vector<Frame> m_running;
    std::unordered_map<int, std::vector<Line>> m_waiting;
    long long m_passes = 0;
    double m_passMs = 0;
    Clock::time_point m_loopWoke;
};
