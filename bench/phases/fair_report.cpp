#include "fair_report.h"

#include "statistics.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

std::vector<double> millisecondsOf(const std::vector<RoundTrip>& roundTrips)
{
    std::vector<double> ms;
    for (const RoundTrip& trip : roundTrips)
        ms.push_back(trip.ms);
    return ms;
}

} // namespace

void printFairRow(
    const char* name, const std::vector<RoundTrip>& roundTrips, const FairTally& tally)
{
    const std::vector<double> ms = millisecondsOf(roundTrips);
    char growth[32] = "";
    if (tally.rssAfterMinuteKiB > 0)
        std::snprintf(
            growth, sizeof growth, "%.1f", double(tally.rssKiB - tally.rssAfterMinuteKiB) / 1024);
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %d | %d | %d | %.0f | %.1f | %s |\n", name,
        percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 0.999), maximum(ms), tally.sent,
        tally.lost, tally.cutOff, tally.cpuPercent, double(tally.rssKiB) / 1024, growth);
}

void printMinutes(const std::vector<RoundTrip>& roundTrips, Clock::time_point start)
{
    std::vector<std::vector<double>> minutes;
    for (const RoundTrip& trip : roundTrips) {
        const auto minute = size_t(Seconds(trip.sent - start).count() / 60);
        minutes.resize(std::max(minutes.size(), minute + 1));
        minutes[minute].push_back(trip.ms);
    }
    std::printf("\n| minute | lines | slowest ms | over 100 ms |\n|---|---|---|---|\n");
    for (size_t m = 0; m < minutes.size(); ++m)
        std::printf("| %zu | %zu | %.1f | %ld |\n", m + 1, minutes[m].size(), maximum(minutes[m]),
            long(std::count_if(
                minutes[m].begin(), minutes[m].end(), [](double ms) { return ms > 100; })));
    std::printf("\n");
}

} // namespace bench
