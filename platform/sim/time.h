// Simulated time: a count of 100 ns units since the machine booted, the kernel's own unit.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

using Ticks = int64_t;

constexpr Ticks kTicksPerUs = 10;
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;

constexpr Ticks Us(int64_t n)
{
    return n * kTicksPerUs;
}
constexpr Ticks Ms(int64_t n)
{
    return n * kTicksPerMs;
}
constexpr Ticks Seconds(int64_t n)
{
    return n * kTicksPerSecond;
}

// System time (100 ns units since 1601) at which every machine boots: 2026-01-01 00:00 UTC.
constexpr Ticks kBootSystemTime = 134116992000000000LL;

// "12.3456789 s" style rendering for reports (with the scheduler's clock, scheduler_clock.cpp).
std::string FormatTicks(Ticks t);
// An instant since boot as a person reads it in a run's outputs: "h:mm:ss.mmm" ("0:02:05.250",
// "27:46:40.000"), to the millisecond, cut rather than rounded so that it never runs ahead of the clock.
std::string FormatClock(Ticks t);

} // namespace sim
