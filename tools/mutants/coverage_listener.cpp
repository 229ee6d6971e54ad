// The coverage run of the mutant build: with QUAV_MUTANT_COVERAGE=FILE, every test appends one line to
// FILE, "<suite.name> <microseconds> <site> <site> ...", the mutation sites it reached. The runner
// then runs each mutant only against the tests that reach it, fastest first.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mutant_switch.h"

namespace {

class CoverageListener : public testing::EmptyTestEventListener {
public:
    explicit CoverageListener(std::FILE* out) : out_(out) {}

    void OnTestStart(const testing::TestInfo&) override
    {
        std::memset(QuavMutantReached, 0, sizeof QuavMutantReached);
        start_ = std::chrono::steady_clock::now();
    }

    void OnTestEnd(const testing::TestInfo& test) override
    {
        auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_);
        std::string line =
            std::string(test.test_suite_name()) + "." + test.name() + " " + std::to_string(us.count());
        for (std::size_t i = 0; i < kQuavMutantSites; i++) {
            if (QuavMutantReached[i] != 0) {
                line += " " + std::to_string(i);
            }
        }
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }

private:
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
};

// Registered before main (gtest_main) runs the tests.
const bool registered = [] {
    const char* path = std::getenv("QUAV_MUTANT_COVERAGE");
    if (path == nullptr) {
        return false;
    }
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) {
        std::perror(path);
        std::exit(2);
    }
    testing::UnitTest::GetInstance()->listeners().Append(new CoverageListener(out));
    return true;
}();

} // namespace
