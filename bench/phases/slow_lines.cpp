#include "slow_lines.h"

#include "statistics.h"
#include "trace_records.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <unordered_map>

namespace bench {

namespace {

constexpr double slowMs = 100;

struct Trace {
    std::unordered_map<std::string, trace::Line> lines;
    std::vector<trace::Stall> stalls;
};

Trace readTrace(const std::string& path)
{
    Trace trace;
    std::ifstream file(path);
    std::string text;
    while (std::getline(file, text)) {
        const auto record = trace::read(text);
        if (const auto* line = std::get_if<trace::Line>(&record))
            trace.lines.emplace(line->marker, *line);
        else if (const auto* stall = std::get_if<trace::Stall>(&record))
            trace.stalls.push_back(*stall);
    }
    return trace;
}

long long nanoseconds(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// WORK@ADDRESS with the address named by the kind of client it is.
std::string named(const std::string& what, const std::map<std::string, std::string>& names)
{
    const size_t at = what.find('@');
    if (at == std::string::npos)
        return what;
    const auto name = names.find(what.substr(at + 1));
    const std::string address = what.substr(at + 1);
    return what.substr(0, at) + " of "
        + (name != names.end()        ? name->second
                : address == "window" ? address
                                      : "ordinary " + address);
}

// The longest stalls nested deeper than `depth` within [from, to], as
// "WHAT (depth D, N ms)", longest first.
std::string nestedStalls(const Trace& trace, int depth, long long from, long long to,
    const std::map<std::string, std::string>& names)
{
    std::vector<const trace::Stall*> nested;
    for (const trace::Stall& stall : trace.stalls) {
        if (stall.depth > depth && stall.startNs >= from && stall.endNs <= to)
            nested.push_back(&stall);
    }
    std::sort(nested.begin(), nested.end(), [](const trace::Stall* a, const trace::Stall* b) {
        return a->endNs - a->startNs > b->endNs - b->startNs;
    });
    std::string text;
    for (size_t i = 0; i < std::min<size_t>(nested.size(), 3); ++i) {
        char one[256];
        std::snprintf(one, sizeof one, "%s%s (depth %d, %.0f ms)", i ? "; " : "",
            named(nested[i]->what, names).c_str(), nested[i]->depth,
            double(nested[i]->endNs - nested[i]->startNs) / 1e6);
        text += one;
    }
    return text.empty() ? "-" : text;
}

} // namespace

void explainSlowLines(const std::string& tracePath, const std::vector<RoundTrip>& roundTrips,
    const std::map<std::string, std::string>& names)
{
    const Trace trace = readTrace(tracePath);
    if (trace.lines.empty()) {
        std::printf("\n(the server wrote no line trace)\n");
        return;
    }
    struct Slow {
        const RoundTrip* trip;
        const trace::Line* server;
        std::array<double, 3> parts; // before the read, read to relay, relay to back
    };
    std::vector<Slow> slow;
    for (const RoundTrip& trip : roundTrips) {
        const auto line = trace.lines.find(trip.marker);
        if (trip.ms <= slowMs || line == trace.lines.end())
            continue;
        const trace::Line& s = line->second;
        const double sentNs = double(nanoseconds(trip.sent));
        const double backNs = sentNs + trip.ms * 1e6;
        slow.push_back({ &trip, &s,
            { (double(s.readNs) - sentNs) / 1e6, double(s.relayNs - s.readNs) / 1e6,
                (backNs - double(s.relayNs)) / 1e6 } });
    }
    std::printf("\n### where the %zu lines over %.0f ms spent their time\n\n| part | lines it was "
                "the most of | median ms | max ms |\n|---|---|---|---|\n",
        slow.size(), slowMs);
    const char* partNames[] = { "sent, not yet read by the server", "read, its copy not yet sent",
        "its copy sent, not yet back" };
    for (size_t p = 0; p < 3; ++p) {
        std::vector<double> ms;
        long most = 0;
        for (const Slow& s : slow) {
            ms.push_back(s.parts[p]);
            most += std::max_element(s.parts.begin(), s.parts.end()) - s.parts.begin() == long(p);
        }
        std::printf(
            "| %s | %ld | %.1f | %.1f |\n", partNames[p], most, percentile(ms, 0.5), maximum(ms));
    }

    std::sort(slow.begin(), slow.end(),
        [](const Slow& a, const Slow& b) { return a.trip->ms > b.trip->ms; });
    std::printf("\n| ms | before read | read to sent | sent to back | depth at read | outermost "
                "work at read | innermost | queued ahead B | window passes (ms) | longest work "
                "nested above it |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t i = 0; i < std::min<size_t>(slow.size(), 15); ++i) {
        const Slow& s = slow[i];
        std::printf("| %.0f | %.0f | %.0f | %.0f | %d | %s | %s | %lld | %lld (%.0f) | %s |\n",
            s.trip->ms, s.parts[0], s.parts[1], s.parts[2], s.server->depth,
            named(s.server->outer, names).c_str(), named(s.server->parent, names).c_str(),
            s.server->queued, s.server->passes, s.server->passMs,
            nestedStalls(trace, s.server->depth, s.server->readNs, s.server->relayNs, names)
                .c_str());
    }
}

} // namespace bench
