// What the tools' tests share: files read whole (the example configuration shipped in
// examples/config/default.reg, for tests that boot the whole simulated machine, and any other text or
// bytes), the machine booted from it, quavsim run as a user runs it, what a call threw, and a directory of
// its own for each test's files.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "simulation.h"

// The file's bytes, or "" when it cannot be read.
inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string DefaultConfig()
{
    return ReadText(QUAV_DEFAULT_CONFIG);
}

inline quavsim::SimulationOptions DefaultMachine()
{
    quavsim::SimulationOptions options;
    options.config_reg = DefaultConfig();
    return options;
}

// What `f` threw (an E), or "(no error)".
template <typename E = std::exception, typename F>
std::string ErrorOf(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

struct Outcome {
    int exit = -1;
    std::string out; // stdout and stderr
};

// A shell command line, to its end.
inline Outcome Shell(const std::string& command)
{
    Outcome o;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        o.out.append(buffer, n);
    }
    const int status = pclose(p);
    o.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

// quavsim with these arguments (a shell command line), to its end.
inline Outcome Quavsim(const std::string& args)
{
    return Shell(std::string(QUAVSIM_PATH) + " " + args);
}

// A test with an empty directory of its own (dir_), named after the test and the process so that tests
// running in parallel never share one, and removed after the test.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / ("quav-" + std::string(test->test_suite_name()) +
                                                         "-" + std::to_string(getpid()) + "-" + test->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};
