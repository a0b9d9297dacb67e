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
// back to its sender (a trace::Line, trace_records.h). Every stretch of one
// piece of work, or of one turn of the event loop, that took over 20 ms is
// written too (a trace::Stall).
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
