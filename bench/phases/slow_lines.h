#pragma once

#include "clock.h"

#include <map>
#include <string>
#include <vector>

namespace bench {

// An ordinary line: its marker, when it was sent, and how long its copy took
// to come back.
struct RoundTrip {
    std::string marker;
    Clock::time_point sent;
    double ms;
};

// Prints where the lines that took over 100 ms spent their time, from the
// server's line trace (bench/line_trace.h): before the server read them,
// from the read until their copy was handed over, or after; what the server
// was running meanwhile, named by `names` (address to kind of client).
void explainSlowLines(const std::string& tracePath, const std::vector<RoundTrip>& roundTrips,
    const std::map<std::string, std::string>& names);

} // namespace bench
