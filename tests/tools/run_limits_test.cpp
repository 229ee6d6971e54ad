// quavsim run in-process, on inputs that once broke it: two Plug and Play requests at one instant (a
// use-after-free the sanitizer build would catch again), repeats past the end of the run, a configuration
// with a key too deep, the platform's reports of misuse, and a trace longer than the plot keeps.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "default_config.h"
#include "run_command.h"
#include "serve.h"
#include "simulation.h"

namespace {

namespace fs = std::filesystem;

class RunLimits : public ScratchDirTest {
protected:
    // The run's exit status; its summary in summary_.
    int Run(quavsim::RunOptions options)
    {
        options.out_dir = (dir_ / "out").string();
        std::ostringstream summary;
        std::streambuf* saved = std::cout.rdbuf(summary.rdbuf());
        int status = -1;
        try {
            status = quavsim::RunScenario(options);
        } catch (...) {
            std::cout.rdbuf(saved);
            throw;
        }
        std::cout.rdbuf(saved);
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
    try {
        Run(options);
        ADD_FAILURE() << "ran";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("deep-key-5000.reg: line 132: the key is 5006 levels deep; the "
                                             "registry holds keys 512 levels deep at most"),
                  std::string::npos)
            << e.what();
    }
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

// serve shows the platform's reports as run does, on stderr, and ends with the same status.
TEST_F(RunLimits, ServeShowsThePlatformsReportsAndEndsWithTheirStatus)
{
    for (const int reports : {0, 2}) {
        quavsim::ServeOptions options;
        options.config = QUAV_DEFAULT_CONFIG;
        options.socket_path = (dir_ / "private" / "quav.sock").string(); // made 0700 by serve
        options.duration = "1";
        options.speed = "1e6";
        options.after_boot = [reports](quavsim::Simulation& simulation) {
            for (int i = 0; i < reports; i++) {
                simulation.machine().verifier().Report("test", "misuse number " + std::to_string(i));
            }
        };
        std::ostringstream summary;
        std::streambuf* saved = std::cout.rdbuf(summary.rdbuf());
        ::testing::internal::CaptureStderr();
        const int status = quavsim::RunServe(options);
        const std::string err = ::testing::internal::GetCapturedStderr();
        std::cout.rdbuf(saved);
        EXPECT_EQ(status, reports == 0 ? quavsim::kExitSuccess : quavsim::kExitMisuse) << err;
        EXPECT_NE(summary.str().find("platform checks " + std::to_string(reports) + " reports of misuse"),
                  std::string::npos)
            << summary.str();
        EXPECT_EQ(err.find("verifier (test): misuse number 1") != std::string::npos, reports == 2) << err;
    }
}

// A stop signal that comes while the machine boots ends serve once the boot is done: nothing is served, the
// driver is removed and the summary printed.
TEST_F(RunLimits, ServeStoppedDuringItsBootNeverServes)
{
    quavsim::ServeOptions options;
    options.config = QUAV_DEFAULT_CONFIG;
    options.socket_path = (dir_ / "private" / "quav.sock").string();
    options.after_boot = [](quavsim::Simulation&) { raise(SIGTERM); };
    std::ostringstream summary;
    std::streambuf* saved = std::cout.rdbuf(summary.rdbuf());
    const int status = quavsim::RunServe(options);
    std::cout.rdbuf(saved);
    EXPECT_EQ(status, quavsim::kExitSuccess);
    EXPECT_EQ(summary.str().find("serving"), std::string::npos) << summary.str();
    EXPECT_NE(summary.str().find("quavsim: stopped"), std::string::npos) << summary.str();
    EXPECT_NE(summary.str().find("connections     0"), std::string::npos) << summary.str();
}

// Every sample goes to the stream and into the summary's extremes; the plot keeps an evenly thinned
// series within its bound. Polling each second and sampling as often, each poll's publish is a row.
TEST(TraceBound, TheStreamHasEverySampleAndThePlotSeriesStaysBounded)
{
    quavsim::SimulationOptions options;
    options.config_reg = DefaultConfig();
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
