// Runs of the removal-race bench (bench/quav_races) in which it found a fault, replayed from their seeds:
// each must now pass every check of the bench.
#include <gtest/gtest.h>

#include "race_plan.h"
#include "race_run.h"

namespace {

struct FoundBySeed {
    uint64_t seed;
    const char* fault;
};

void PrintTo(const FoundBySeed& c, std::ostream* out)
{
    *out << c.seed << ": " << c.fault;
}

class RaceSeedTest : public ::testing::TestWithParam<FoundBySeed> {};

TEST_P(RaceSeedTest, PassesEveryCheck)
{
    const races::RaceOutcome out = races::RunRace(races::MakePlan(GetParam().seed));
    ASSERT_FALSE(out.hung);
    EXPECT_TRUE(out.failures.empty()) << out.failures.front();
    EXPECT_GT(out.requests, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Bench, RaceSeedTest,
    ::testing::Values(
        // A WMI method call looked its provider up, the removal deregistered and deleted the device, and
        // WMI then sent the request to the freed device object (a crash): WMI now references the device
        // for each request, under the lock deregistration takes.
        FoundBySeed{1974408979633066540ULL, "WMI request sent to a device deleted after its lookup"}),
    [](const ::testing::TestParamInfo<FoundBySeed>& info) {
        return "Seed" + std::to_string(info.param.seed);
    });

} // namespace
