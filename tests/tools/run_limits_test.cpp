// quavsim run in-process, on inputs that once broke it: two Plug and Play requests at one instant (a
// use-after-free the sanitizer build would catch again), repeats past the end of the run, a configuration
// with a key too deep, the platform's reports of misuse, and a trace longer than the plot keeps; a run
// stopped by a signal, an output folder that cannot be made, configurations that make a run meaningless.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "config_check.h"
#include "default_config.h"
#include "run_command.h"
#include "serve.h"
#include "simulation.h"

namespace {

namespace fs = std::filesystem;

// What `f` returns, with standard output going to `out` while it runs.
template <typename F>
auto Printing(std::ostringstream& out, F&& f)
{
    struct Restore {
        std::streambuf* saved;
        ~Restore() { std::cout.rdbuf(saved); }
    } restore{std::cout.rdbuf(out.rdbuf())};
    return f();
}

class RunLimits : public ScratchDirTest {
protected:
    // The run's exit status; its summary in summary_.
    int Run(quavsim::RunOptions options)
    {
        options.out_dir = (dir_ / "out").string();
        std::ostringstream summary;
        const int status = Printing(summary, [&] { return quavsim::RunScenario(options); });
        summary_ = summary.str();
        return status;
    }

    // The status names of actions.jsonl, in order.
    std::vector<std::string> Statuses()
    {
        std::vector<std::string> statuses;
        std::istringstream lines(ReadText(dir_ / "out/actions.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            statuses.push_back(nlohmann::json::parse(line)["status_name"]);
        }
        return statuses;
    }

    std::string summary_;
};

TEST_F(RunLimits, TheReproducedScenariosEndAsWindowsWould)
{
    const struct {
        const char* file;
        const char* simulated; // the summary's simulated time
        std::vector<std::string> statuses;
    } cases[] = {
        // The PnP manager sends one request at a time: the second finds the device removed.
        {"double-remove.json",
         "0:01:00.000",
         {"STATUS_SUCCESS (0x00000000)", "STATUS_INVALID_DEVICE_STATE (0xC0000184)"}},
        {"remove-stop-same-time.json",
         "0:00:30.000",
         {"STATUS_SUCCESS (0x00000000)", "STATUS_INVALID_DEVICE_STATE (0xC0000184)"}},
        // Repeats an hour apart in a ten-second run: the first one only, and the run ends on time.
        {"repeat-past-end-small.json", "0:00:10.000", {"STATUS_SUCCESS (0x00000000)"}},
        {"repeat-past-end.json", "0:00:10.000", {"STATUS_SUCCESS (0x00000000)"}},
    };
    for (const auto& c : cases) {
        quavsim::RunOptions options;
        options.scenario = std::string(QUAV_TEST_DATA "/repro/") + c.file;
        EXPECT_EQ(Run(options), quavsim::kExitSuccess) << c.file << "\n" << summary_;
        EXPECT_NE(summary_.find(std::string("simulated time  ") + c.simulated), std::string::npos)
            << c.file << "\n"
            << summary_;
        EXPECT_EQ(Statuses(), c.statuses) << c.file;
        EXPECT_NE(summary_.find("platform checks 0 reports of misuse"), std::string::npos) << c.file;
    }
}

TEST_F(RunLimits, AConfigurationWithAKeyTooDeepIsRefusedBeforeTheRun)
{
    quavsim::RunOptions options;
    options.config = QUAV_TEST_DATA "/repro/deep-key-5000.reg";
    options.duration = "10";
    const std::string error = ErrorOf([&] { Run(options); });
    EXPECT_NE(error.find("deep-key-5000.reg: line 132: the key is 5006 levels deep; the registry holds keys "
                         "512 levels deep at most"),
              std::string::npos)
        << error;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// A misuse the platform reports fails the run with its own status, after every output is written; it
// wins over an unexpected action status.
TEST_F(RunLimits, ThePlatformsReportsAreShownCountedAndFailTheRun)
{
    const fs::path scenario = dir_ / "expect.json";
    std::ofstream(scenario) << R"({"duration": 20, "actions": [
        {"at": 10, "action": "read-sensor", "sensor": "CPU", "expect": "STATUS_UNSUCCESSFUL"}]})";
    const struct {
        int reports;
        bool unexpected; // the scenario's action ends otherwise than it expects
        int exit;
    } cases[] = {
        {0, false, quavsim::kExitSuccess},
        {2, false, quavsim::kExitMisuse},
        {0, true, quavsim::kExitUnexpected},
        {1, true, quavsim::kExitMisuse},
    };
    for (const auto& c : cases) {
        quavsim::RunOptions options;
        options.scenario = c.unexpected ? scenario.string() : "";
        options.duration = "20";
        options.after_boot = [&c](quavsim::Simulation& simulation) {
            for (int i = 0; i < c.reports; i++) {
                simulation.machine().verifier().Report("test", "misuse number " + std::to_string(i));
            }
        };
        EXPECT_EQ(Run(options), c.exit) << c.reports << " " << c.unexpected << "\n" << summary_;
        EXPECT_NE(summary_.find("platform checks " + std::to_string(c.reports) + " reports of misuse"),
                  std::string::npos)
            << summary_;
        std::string expected;
        for (int i = 0; i < c.reports; i++) {
            expected += "verifier (test): misuse number " + std::to_string(i) + "\n";
        }
        EXPECT_EQ(ReadText(dir_ / "out/reports.txt"), expected);
        EXPECT_NE(ReadText(dir_ / "out/trace.csv").find("\n15.0"), std::string::npos);
        EXPECT_TRUE(fs::exists(dir_ / "out/plot.svg"));
    }
}

// serve shows the platform's reports as run does, on stderr, and ends with the same status. A stop signal
// that comes while the machine boots ends serve once the boot is done: nothing is served, the driver is
// removed and the summary printed.
TEST_F(RunLimits, ServeShowsThePlatformsReportsAndAStopDuringItsBootNeverServes)
{
    const struct {
        int reports;
        bool stop; // SIGTERM during the boot; else a second's run
    } cases[] = {{0, false}, {2, false}, {0, true}};
    for (const auto& c : cases) {
        quavsim::ServeOptions options;
        options.config = QUAV_DEFAULT_CONFIG;
        options.socket_path = (dir_ / "private" / "quav.sock").string(); // made 0700 by serve
        if (!c.stop) {
            options.duration = "1";
            options.speed = "1e6";
        }
        options.after_boot = [&c](quavsim::Simulation& simulation) {
            for (int i = 0; i < c.reports; i++) {
                simulation.machine().verifier().Report("test", "misuse number " + std::to_string(i));
            }
            if (c.stop) {
                raise(SIGTERM);
            }
        };
        std::ostringstream out;
        ::testing::internal::CaptureStderr();
        const int status = Printing(out, [&] { return quavsim::RunServe(options); });
        const std::string err = ::testing::internal::GetCapturedStderr();
        const std::string summary = out.str();
        EXPECT_EQ(status, c.reports == 0 ? quavsim::kExitSuccess : quavsim::kExitMisuse) << err;
        for (const std::string& line : {"platform checks " + std::to_string(c.reports) + " reports of misuse",
                                        std::string("quavsim: stopped"), std::string("connections     0")}) {
            EXPECT_NE(summary.find(line), std::string::npos) << line << " in\n" << summary;
        }
        EXPECT_EQ(summary.find("serving") == std::string::npos, c.stop) << summary;
        EXPECT_EQ(err.find("verifier (test): misuse number 1") != std::string::npos, c.reports == 2) << err;
    }
}

// SIGINT ten simulated minutes into an hour: the run stops there and writes what it has, with a summary
// that says so, and the status a shell gives a program the signal ended.
TEST_F(RunLimits, AnInterruptedRunWritesTheRunSoFar)
{
    quavsim::RunOptions options;
    options.duration = "1h";
    options.after_boot = [](quavsim::Simulation&) {
        sim::StartThread("ctrl-c", [] {
            sim::Sleep(sim::Seconds(600));
            raise(SIGINT);
        });
    };
    EXPECT_EQ(Run(options), quavsim::kExitInterrupted);
    for (const char* line :
         {"interrupted     at 0:10:0", " of 1:00:00.000 (SIGINT or SIGTERM)", "simulated time  0:10:0"}) {
        EXPECT_NE(summary_.find(line), std::string::npos) << line << " in\n" << summary_;
    }
    const std::string trace = ReadText(dir_ / "out/trace.csv");
    // The header, and a row after the first publish in each 5 s of the ten minutes.
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 1 + 120);
    for (const char* output : {"events.txt", "registry.reg", "plot.svg", "reports.txt"}) {
        EXPECT_TRUE(fs::exists(dir_ / "out" / output)) << output;
    }
}

// An output folder that cannot be made fails the run before the machine boots.
TEST_F(RunLimits, AnOutputFolderThatCannotBeWrittenFailsFirst)
{
    std::ofstream(dir_ / "file") << "not a folder";
    quavsim::RunOptions options;
    options.out_dir = (dir_ / "file" / "out").string();
    options.after_boot = [](quavsim::Simulation&) { ADD_FAILURE() << "booted"; };
    const std::string error = ErrorOf([&] { quavsim::RunScenario(options); });
    EXPECT_NE(error.find("--out " + options.out_dir + ": cannot make the folder: Not a directory"),
              std::string::npos)
        << error;
}

// Configurations that make a run slow or tell nothing are named before it starts; the shipped one is not.
TEST(ConfigWarnings, ValuesThatMakeARunSlowOrMeaninglessAreNamed)
{
    const std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters";
    const struct {
        std::string reg; // over the shipped configuration
        const char* warning;
    } cases[] = {
        {"", nullptr},
        {key + "]\n\"POLLING_INTERVAL\"=-\n",
         "POLLING_INTERVAL is 0 or missing: the driver polls back to back"},
        {key + "]\n\"POLLING_INTERVAL\"=dword:0\n", "POLLING_INTERVAL is 0 or missing"},
        {key + "]\n\"POLLING_INTERVAL\"=\"5\"\n", "POLLING_INTERVAL is 0 or missing"}, // not a REG_DWORD
        {key + "]\n\"POLLING_INTERVAL\"=dword:e10\n",
         "POLLING_INTERVAL is 3600 s, longer than the run (60.0000000 s)"},
        {key + "]\n\"CURRENT_STAGE\"=dword:0\n", "CURRENT_STAGE is 0: the driver publishes no readings"},
        {key + "\\THERMAL]\n\"THERMAL_CPU_CRIT_THD_LOWER\"=dword:64\n",
         "THERMAL_CPU_CRIT_THD_UPPER (85) is not above THERMAL_CPU_CRIT_THD_LOWER (100): every CPU reading "
         "is "
         "critical"},
        {"[-" + key.substr(1) + "\\VOLTAGE]\n",
         "VOLTAGE_12V_WARN_THD_UPPER (0) is not above VOLTAGE_12V_WARN_THD_LOWER (0): every 12V reading is a "
         "warning (are the limits missing?)"},
        {key + "\\FanControl]\n\"FANCNTL_RB_MODE\"=dword:8000\n", nullptr}, // the chip runs the fan
        {key + "\\FanControl]\n\"FANCNTL_RB_MODE\"=dword:0\n",
         "FANCNTL_RB_MODE (0) follows no temperature: the fan stays at its first stage"},
        {key + "\\FanControl]\n\"FANCNTL_RU_TEMP_CHECK_POINT_4\"=dword:20\n",
         "FANCNTL_RU_TEMP_CHECK_POINT_4 is not above the check point before it"},
        {key + "\\FanControl]\n" +
             [] {
                 std::string zeros;
                 for (int i = 0; i < 10; i++) {
                     zeros += "\"FANCNTL_RU_PWM_" + std::to_string(i) + "\"=dword:0\n";
                 }
                 return zeros;
             }(),
         "FANCNTL_RU_PWM_0 to _9 are all 0 or missing: the fan stands still at every stage"},
    };
    for (const auto& c : cases) {
        sim::Registry registry;
        registry.ImportReg(DefaultConfig());
        registry.ImportReg("Windows Registry Editor Version 5.00\n" + c.reg);
        const std::vector<std::string> warnings = quavsim::ConfigWarnings(registry, sim::Seconds(60));
        if (c.warning == nullptr) {
            EXPECT_TRUE(warnings.empty()) << c.reg << "\n" << (warnings.empty() ? "" : warnings[0]);
            continue;
        }
        EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(),
                                [&](const std::string& w) { return w.find(c.warning) != std::string::npos; }))
            << c.reg << "\n"
            << (warnings.empty() ? "no warning" : warnings[0]);
    }
}

// Every sample goes to the stream and into the summary's extremes; the plot keeps an evenly thinned
// series within its bound. Polling each second and sampling as often, each poll's publish is a row.
TEST(TraceBound, TheStreamHasEverySampleAndThePlotSeriesStaysBounded)
{
    quavsim::SimulationOptions options = DefaultMachine();
    const std::string interval = "\"POLLING_INTERVAL\"=dword:00000005";
    options.config_reg.replace(options.config_reg.find(interval), interval.size(),
                               "\"POLLING_INTERVAL\"=dword:00000001");
    quavsim::Simulation simulation(options);
    std::ostringstream csv;
    simulation.StreamTrace(&csv);
    ASSERT_EQ(simulation.Boot(), STATUS_SUCCESS);
    simulation.RunFor(sim::Seconds(10000), sim::Seconds(1));
    simulation.board().SetSensor("CPU", 90); // for 20 s, long after the plot's series was thinned
    simulation.RunFor(sim::Seconds(20), sim::Seconds(1));
    simulation.board().SetSensor("CPU", 45);
    simulation.RunFor(sim::Seconds(10980), sim::Seconds(1));
    simulation.StreamTrace(nullptr);
    ASSERT_EQ(simulation.Shutdown(), STATUS_SUCCESS);

    const size_t samples = simulation.Samples();
    EXPECT_EQ(samples, simulation.Polls());
    ASSERT_GT(samples, quavsim::Simulation::kPlotRows);
    const std::string text = csv.str();
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), samples + 1);

    const std::vector<quavsim::TraceRow>& trace = simulation.trace();
    ASSERT_LE(trace.size(), quavsim::Simulation::kPlotRows);
    EXPECT_EQ(trace.size(), (samples + 1) / 2);
    for (size_t i = 1; i < trace.size(); i++) {
        const sim::Ticks apart = trace[i].time - trace[i - 1].time;
        ASSERT_TRUE(apart >= sim::Seconds(2) && apart < sim::Seconds(2) + sim::Ms(100)) << i;
    }
    EXPECT_NE(simulation.Summary().find("  CPU           45 .. 90 degC\n"), std::string::npos)
        << simulation.Summary();
    EXPECT_EQ(simulation.machine().verifier().Count(), 0u);
}

} // namespace
