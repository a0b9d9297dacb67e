#pragma once

#include "slow_lines.h"

#include "clock.h"

#include <vector>

// The fair phase's tables: a row for each kind of hostile client beside the
// ordinary clients (their round trips' percentiles, what was lost or cut off,
// what the server spent), and for a long run, a row for each minute.
namespace bench {

// What a row counts besides the round trips.
struct FairTally {
    long rssKiB = 0;
    long rssAfterMinuteKiB = 0; // 0 for a run shorter than a minute
    double cpuPercent = 0;
    int sent = 0;
    int lost = 0;
    int cutOff = 0;
};

void printFairRow(
    const char* name, const std::vector<RoundTrip>& roundTrips, const FairTally& tally);
// Its lines, its slowest line, and how many took over 100 ms.
void printMinutes(const std::vector<RoundTrip>& roundTrips, Clock::time_point start);

} // namespace bench
