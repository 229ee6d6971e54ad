// quavsim's command line as a user types it: every number is checked for its range and unit before
// anything runs, times are written as scenarios write them, and every usage error exits with status 1.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "default_config.h"

namespace {

namespace fs = std::filesystem;

using QuavsimNumbers = ScratchDirTest;

TEST_F(QuavsimNumbers, BadCommandLinesAreRefusedWithStatusOne)
{
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"run --duration 1e12", "--duration: '1e12' is not a time: seconds below 1e9"},
        {"run --duration 1e300", "--duration: '1e300' is not a time"},
        {"run --duration nan", "--duration: 'nan' is not a time"},
        {"run --duration inf", "--duration: 'inf' is not a time"},
        {"run --duration=-5", "--duration: '-5' is not a time"},
        {"run --duration 1h30", "--duration: '1h30' is not a time"},
        {"run --duration 10d", "--duration: '10d' is not a time"},
        {"run --duration 0", "--duration: '0' is not more than 0"},
        {"run --sample 0.05", "--sample: '0.05' is less than 0.1 s"},
        {"run --sample 0", "--sample: '0' is less than 0.1 s"},
        {"run --seed=-1", "--seed: '-1' is not a seed: an integer from 0 to 9223372036854775807"},
        {"run --seed 9223372036854775808", "--seed: '9223372036854775808' is not a seed"},
        {"run --seed 1.5", "--seed: '1.5' is not a seed"},
        {"run --seed 0x10", "--seed: '0x10' is not a seed"},
        {"run --duration 1000001 --sample 0.1",
         "the run would write 10000010 trace rows (duration 1000001.0000000 s / sample 0.1000000 s); a run "
         "writes 10000000 at most"},
        {"run --duration 20000h", "the run would write 14400000 trace rows"},
        {"serve --speed 1e300", "--speed: '1e300' is not a number from 0.001 to 1e+06"},
        {"serve --speed 1000001", "--speed: '1000001' is not a number from 0.001 to 1e+06"},
        {"serve --speed 0", "--speed: '0' is not a number"},
        {"serve --speed nan", "--speed: 'nan' is not a number"},
        {"serve --speed inf", "--speed: 'inf' is not a number"},
        {"serve --speed 2x", "--speed: '2x' is not a number"},
        {"serve --duration 1e12", "--duration: '1e12' is not a time"},
        {"serve --duration=-1", "--duration: '-1' is not a time"},
        {"run --frobnicate", "The following argument was not expected: --frobnicate"},
        {"walk", "A subcommand is required"},
        {"", "A subcommand is required"},
        {"run /no/such/scenario.json", "scenario: File does not exist: /no/such/scenario.json"},
    };
    for (const auto& c : cases) {
        const Outcome o = Quavsim(std::string(c.args) + " --out " + (dir_ / "out").string());
        EXPECT_EQ(o.exit, 1) << c.args << "\n" << o.out;
        EXPECT_NE(o.out.find(c.message), std::string::npos) << c.args << "\n" << o.out;
        EXPECT_FALSE(fs::exists(dir_ / "out")) << c.args;
    }
}

TEST_F(QuavsimNumbers, TimesTakeTheScenariosForms)
{
    const struct {
        const char* args;
        const char* line;
    } cases[] = {
        {"--duration 1h30m --sample 10m", "simulated time  1:30:00.000\n"},
        // A row at the first publish in each period: polls at 5 s, so 0.5 s gives one a poll.
        {"--duration 1h30m --sample 10m", "trace rows      9,"},
        {"--duration 90 --sample 0.5", "trace rows      17,"},
        {"--duration 2m --sample 30s --seed 9223372036854775807", "simulated time  0:02:00.000\n"},
    };
    for (const auto& c : cases) {
        const Outcome o = Quavsim(std::string("run ") + c.args + " --out " + (dir_ / "out").string());
        EXPECT_EQ(o.exit, 0) << c.args << "\n" << o.out;
        EXPECT_NE(o.out.find(c.line), std::string::npos) << c.args << "\n" << o.out;
    }
}

} // namespace
