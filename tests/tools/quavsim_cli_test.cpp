// quavsim run as a user runs it: a scenario file in, the outputs and the summary out.
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

// The exit code says how the run ended: 2 for an action whose status the scenario did not expect; 1 for a
// start that did not end as the scenario says (STATUS_SUCCESS unless it names another).
TEST_F(QuavsimCli, TheExitCodeSaysWhatTheRunDidNotExpect)
{
    const struct {
        const char* scenario;
        int exit;
        std::vector<const char*> output;
    } cases[] = {
        {R"({"duration": 30, "actions": [{"at": 10, "action": "pnp", "request": "surprise-removal"},
             {"at": 20, "action": "read-sensor", "sensor": "CPU", "expect": "STATUS_SUCCESS"}]})",
         2,
         {"UNEXPECTED", "1 actions ended with a status the scenario did not expect"}},
        {R"({"duration": 10, "board": {"superio": "absent"}})",
         1,
         {"quavsim: the device's start ended with STATUS_NO_SUCH_DEVICE (0xC000000E), not STATUS_SUCCESS"}},
        {R"({"duration": 10, "board": {"superio": "absent"}, "start": "STATUS_NO_SUCH_DEVICE"})",
         0,
         {"device start    STATUS_NO_SUCH_DEVICE (0xC000000E)"}},
    };
    for (const auto& c : cases) {
        const fs::path scenario = Write("s.json", c.scenario);
        Outcome o = Quavsim("run " + scenario.string() + " --out " + (dir_ / "out").string());
        EXPECT_EQ(o.exit, c.exit) << c.scenario << "\n" << o.out;
        for (const char* needle : c.output) {
            EXPECT_NE(o.out.find(needle), std::string::npos) << needle << " in\n" << o.out;
        }
    }
}

TEST_F(QuavsimCli, TheExampleScenariosRunAsTheyExpect)
{
    for (const char* name :
         {"fan-failure", "voltage-sag", "removal-under-load", "fan-counters-off", "no-smbus-sensor"}) {
        Outcome o =
            Quavsim(std::string("run " QUAV_SCENARIOS "/") + name + ".json --out " + (dir_ / name).string());
        EXPECT_EQ(o.exit, 0) << name << "\n" << o.out;
        EXPECT_TRUE(fs::exists(dir_ / name / "trace.csv")) << name;
    }
}

} // namespace
