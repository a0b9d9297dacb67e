#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <variant>

// The line trace's records, as the bench server writes them (line_trace.h)
// and the load generator reads them back (phases/slow_lines.cpp): one a line
// of text, its fields separated by spaces, times in nanoseconds on the
// monotonic clock both use.
namespace bench::trace {

// An ordinary line, written as its copy goes back to its sender.
struct Line {
    std::string marker;
    long long readNs = 0;
    long long relayNs = 0;
    // The yields the read was nested in; the outermost and the innermost work
    // running then (WORK@ADDRESS, "-" for none).
    int depth = 0;
    std::string outer;
    std::string parent;
    // The sender's unsent output ahead of its copy; the window's passes run
    // between read and relay, and their time.
    long long queued = 0;
    long long passes = 0;
    double passMs = 0;
};

// A stretch of one piece of work, or of one turn of the event loop, that
// took long.
struct Stall {
    std::string what;
    int depth = 0;
    long long startNs = 0;
    long long endNs = 0;
};

inline void write(std::FILE* file, const Line& l)
{
    std::fprintf(file, "line %s %lld %lld %d %s %s %lld %lld %.2f\n", l.marker.c_str(), l.readNs,
        l.relayNs, l.depth, l.outer.c_str(), l.parent.c_str(), l.queued, l.passes, l.passMs);
}

inline void write(std::FILE* file, const Stall& s)
{
    std::fprintf(file, "stall %s %d %lld %lld\n", s.what.c_str(), s.depth, s.startNs, s.endNs);
}

// A record read back; none for a line that is neither.
inline std::variant<std::monostate, Line, Stall> read(const std::string& record)
{
    std::istringstream fields(record);
    std::string kind;
    fields >> kind;
    if (kind == "line") {
        Line l;
        if (fields >> l.marker >> l.readNs >> l.relayNs >> l.depth >> l.outer >> l.parent
            >> l.queued >> l.passes >> l.passMs)
            return l;
    } else if (kind == "stall") {
        Stall s;
        if (fields >> s.what >> s.depth >> s.startNs >> s.endNs)
            return s;
    }
    return std::monostate {};
}

} // namespace bench::trace
