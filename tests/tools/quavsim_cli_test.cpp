// quavsim run as a user runs it: a scenario file in, the outputs and the summary out; and its command line
// as a user types it: every number is checked for its range and unit before anything runs, times are
// written as scenarios write them, and the exit code says how the run ended.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "default_config.h"

namespace {

namespace fs = std::filesystem;

class QuavsimCli : public ScratchDirTest {
protected:
    fs::path Write(const std::string& name, const std::string& text)
    {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    }
};

TEST_F(QuavsimCli, AShortScenarioWritesEveryOutput)
{
    const fs::path scenario = Write("short.json", R"({"duration": "2m", "sample": 10,
        "sensors": {"CPU": [{"at": 0, "value": 40}, {"at": 60, "value": 90}]},
        "faults": [{"at": 30, "fault": "controller-busy", "count": 3}],
        "actions": [{"at": 90, "action": "set-pwm", "sensor": "Rear Upper", "value": 300}]})");
    // 300 is no PWM: the scenario is refused before anything runs.
    Outcome bad = Quavsim("run " + scenario.string() + " --out " + (dir_ / "out").string());
    EXPECT_EQ(bad.exit, 1);
    EXPECT_NE(bad.out.find("short.json: /actions/0/value: out of range 0..255"), std::string::npos)
        << bad.out;
    EXPECT_FALSE(fs::exists(dir_ / "out"));

    Write("short.json", ReadText(scenario).replace(ReadText(scenario).find("300"), 3, "200"));
    Outcome ok = Quavsim("run " + scenario.string() + " --config " QUAV_DEFAULT_CONFIG " --out " +
                         (dir_ / "out").string());
    ASSERT_EQ(ok.exit, 0) << ok.out;
    for (const char* line : {"simulated time  0:02:00.000\n", "polls           23\n",
                             "events          4 informational, 1 warning, 1 error\n", "faults injected 1\n",
                             "controller-busy 3 busy reads\n", "/actions/0 set-pwm: 1 x STATUS_SUCCESS"}) {
        EXPECT_NE(ok.out.find(line), std::string::npos) << line << " in\n" << ok.out;
    }
    EXPECT_NE(ReadText(dir_ / "out/events.txt").find("CPU temperature becomes too high, value = 90"),
              std::string::npos);
    const std::string csv = ReadText(dir_ / "out/trace.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 13); // a header and twelve rows
    EXPECT_NE(ReadText(dir_ / "out/registry.reg").find("\"FANCNTL_RU_CURRENT_STAGE\"=dword:00000009"),
              std::string::npos);
    const nlohmann::json action = nlohmann::json::parse(ReadText(dir_ / "out/actions.jsonl"));
    EXPECT_EQ(action["status_name"], "STATUS_SUCCESS (0x00000000)");
    std::istringstream events(ReadText(dir_ / "out/events.jsonl"));
    for (std::string line; std::getline(events, line);) {
        EXPECT_TRUE(nlohmann::json::parse(line).contains("message"));
    }
}

// Each command line, with " --out" and a folder of its own after it ("@" is s.json, the row's scenario):
// the exit code and what the output says. A usage error (1) writes nothing; 2 is an action whose status
// the scenario did not expect; a start that did not end as the scenario says (STATUS_SUCCESS unless it
// names another) is 1 after the run; a run that ends well writes its trace.
TEST_F(QuavsimCli, EachCommandLineEndsWithItsExitCodeAndSaysWhy)
{
    enum Out { kNothing, kTrace, kAny }; // what the output folder holds after the run
    const struct {
        const char* args;
        int exit;
        std::vector<const char*> output;
        Out out;
        const char* scenario = "";
    } cases[] = {
        {"run --duration 1e12", 1, {"--duration: '1e12' is not a time: seconds below 1e9"}, kNothing},
        {"run --duration 1e300", 1, {"--duration: '1e300' is not a time"}, kNothing},
        {"run --duration nan", 1, {"--duration: 'nan' is not a time"}, kNothing},
        {"run --duration inf", 1, {"--duration: 'inf' is not a time"}, kNothing},
        {"run --duration=-5", 1, {"--duration: '-5' is not a time"}, kNothing},
        {"run --duration 1h30", 1, {"--duration: '1h30' is not a time"}, kNothing},
        {"run --duration 10d", 1, {"--duration: '10d' is not a time"}, kNothing},
        {"run --duration 0", 1, {"--duration: '0' is not more than 0"}, kNothing},
        {"run --sample 0.05", 1, {"--sample: '0.05' is less than 0.1 s"}, kNothing},
        {"run --sample 0", 1, {"--sample: '0' is less than 0.1 s"}, kNothing},
        {"run --seed=-1",
         1,
         {"--seed: '-1' is not a seed: an integer from 0 to 9223372036854775807"},
         kNothing},
        {"run --seed 9223372036854775808", 1, {"--seed: '9223372036854775808' is not a seed"}, kNothing},
        {"run --seed 1.5", 1, {"--seed: '1.5' is not a seed"}, kNothing},
        {"run --seed 0x10", 1, {"--seed: '0x10' is not a seed"}, kNothing},
        {"run --duration 1000001 --sample 0.1",
         1,
         {"the run would write 10000010 trace rows (duration 1000001.0000000 s / sample 0.1000000 s); a run "
          "writes 10000000 at most"},
         kNothing},
        {"run --duration 20000h", 1, {"the run would write 14400000 trace rows"}, kNothing},
        {"serve --speed 1e300", 1, {"--speed: '1e300' is not a number from 0.001 to 1e+06"}, kNothing},
        {"serve --speed 1000001", 1, {"--speed: '1000001' is not a number from 0.001 to 1e+06"}, kNothing},
        {"serve --speed 0", 1, {"--speed: '0' is not a number"}, kNothing},
        {"serve --speed nan", 1, {"--speed: 'nan' is not a number"}, kNothing},
        {"serve --speed inf", 1, {"--speed: 'inf' is not a number"}, kNothing},
        {"serve --speed 2x", 1, {"--speed: '2x' is not a number"}, kNothing},
        {"serve --duration 1e12", 1, {"--duration: '1e12' is not a time"}, kNothing},
        {"serve --duration=-1", 1, {"--duration: '-1' is not a time"}, kNothing},
        {"run --frobnicate", 1, {"The following argument was not expected: --frobnicate"}, kNothing},
        {"walk", 1, {"A subcommand is required"}, kNothing},
        {"", 1, {"A subcommand is required"}, kNothing},
        {"run /no/such/scenario.json",
         1,
         {"scenario: File does not exist: /no/such/scenario.json"},
         kNothing},
        // Times take the scenarios' forms. A row at the first publish in each period: polls at 5 s, so
        // 0.5 s gives one a poll.
        {"run --duration 1h30m --sample 10m",
         0,
         {"simulated time  1:30:00.000\n", "trace rows      9,"},
         kTrace},
        {"run --duration 90 --sample 0.5", 0, {"trace rows      17,"}, kTrace},
        {"run --duration 2m --sample 30s --seed 9223372036854775807",
         0,
         {"simulated time  0:02:00.000\n"},
         kTrace},
        {"run @",
         2,
         {"UNEXPECTED", "1 actions ended with a status the scenario did not expect"},
         kAny,
         R"({"duration": 30, "actions": [{"at": 10, "action": "pnp", "request": "surprise-removal"},
             {"at": 20, "action": "read-sensor", "sensor": "CPU", "expect": "STATUS_SUCCESS"}]})"},
        {"run @",
         1,
         {"quavsim: the device's start ended with STATUS_NO_SUCH_DEVICE (0xC000000E), not STATUS_SUCCESS"},
         kAny,
         R"({"duration": 10, "board": {"superio": "absent"}})"},
        {"run @",
         0,
         {"device start    STATUS_NO_SUCH_DEVICE (0xC000000E)"},
         kTrace,
         R"({"duration": 10, "board": {"superio": "absent"}, "start": "STATUS_NO_SUCH_DEVICE"})"},
        // The examples run as they expect.
        {"run " QUAV_SCENARIOS "/fan-failure.json", 0, {}, kTrace},
        {"run " QUAV_SCENARIOS "/voltage-sag.json", 0, {}, kTrace},
        {"run " QUAV_SCENARIOS "/removal-under-load.json", 0, {}, kTrace},
        {"run " QUAV_SCENARIOS "/fan-counters-off.json", 0, {}, kTrace},
        {"run " QUAV_SCENARIOS "/no-smbus-sensor.json", 0, {}, kTrace},
    };
    for (const auto& c : cases) {
        std::string args = c.args;
        if (const size_t at = args.find('@'); at != std::string::npos) {
            args.replace(at, 1, Write("s.json", c.scenario).string());
        }
        fs::remove_all(dir_ / "out");
        const Outcome o = Quavsim(args + " --out " + (dir_ / "out").string());
        EXPECT_EQ(o.exit, c.exit) << args << "\n" << o.out;
        for (const char* needle : c.output) {
            EXPECT_NE(o.out.find(needle), std::string::npos) << args << ": " << needle << " in\n" << o.out;
        }
        if (c.out != kAny) {
            EXPECT_EQ(fs::exists(dir_ / "out/trace.csv"), c.out == kTrace) << args;
            EXPECT_EQ(fs::exists(dir_ / "out"), c.out == kTrace) << args;
        }
    }
}

} // namespace
