// quav_races: removal racing requests, run after run. Each run is drawn from a seed of a fixed list
// (race_plan.h) and played in a child process of its own (race_run.h): a run that hangs or that the
// platform stops (a deadlock, a bugcheck) ends only its child, and the bench names its seed; and one
// simulated machine exists per process, so children are how runs go side by side.
//
//   quav_races [--runs N] [-j JOBS]     the first N seeds of the list (10,000), JOBS at a time (2)
//   quav_races --seed S                 one run in this process, with its plan and every request
//
// Exit status: 0 every check held, 1 a run failed (its seed is printed), 64 usage.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "race_plan.h"
#include "race_run.h"

namespace {

struct Child {
    pid_t pid;
    int fd;
    size_t index;
    std::string output;
};

struct Tally {
    size_t runs = 0;
    size_t failed = 0;
};

struct Totals {
    std::map<size_t, Tally> by_order;
    Tally with_faults;
    Tally without_faults;
    uint64_t requests = 0;
    uint64_t refused = 0;
    uint64_t raced = 0;
    uint64_t polls = 0;
    std::map<std::string, uint64_t> statuses; // the clients' requests by how they ended
    std::vector<std::string> failures;        // "seed N (order): first line"
};

// In the child: the run, then a RESULT line and a FAIL line per failure on stdout.
[[noreturn]] void RunChild(uint64_t seed)
{
    const races::RaceOutcome out = races::RunRace(races::MakePlan(seed));
    std::printf("RESULT %zu %llu %llu %llu %llu\n", out.failures.size(),
                static_cast<unsigned long long>(out.requests), static_cast<unsigned long long>(out.refused),
                static_cast<unsigned long long>(out.raced), static_cast<unsigned long long>(out.polls));
    for (const auto& [status, count] : out.statuses) {
        std::printf("STATUS %llu %s\n", static_cast<unsigned long long>(count), status.c_str());
    }
    for (const std::string& f : out.failures) {
        std::string line = f;
        for (char& c : line) {
            c = c == '\n' ? '|' : c;
        }
        std::printf("FAIL %s\n", line.c_str());
    }
    std::fflush(stdout);
    std::_Exit(0);
}

Child Spawn(uint64_t seed, size_t index)
{
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        RunChild(seed);
    }
    close(fds[1]);
    return {pid, fds[0], index, {}};
}

// What a finished child said: its RESULT and FAIL lines, or, when it died, its last words.
void Collect(const Child& child, int wait_status, uint64_t seed, Totals& totals)
{
    const races::RacePlan plan = races::MakePlan(seed);
    std::vector<std::string> failures;
    bool reported = false;
    std::istringstream lines(child.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("RESULT ", 0) == 0) {
            std::istringstream fields(line.substr(7));
            size_t failed = 0;
            uint64_t requests = 0, refused = 0, raced = 0, polls = 0;
            fields >> failed >> requests >> refused >> raced >> polls;
            totals.requests += requests;
            totals.refused += refused;
            totals.raced += raced;
            totals.polls += polls;
            reported = true;
        } else if (line.rfind("STATUS ", 0) == 0) {
            std::istringstream fields(line.substr(7));
            uint64_t count = 0;
            std::string name;
            fields >> count;
            std::getline(fields >> std::ws, name);
            totals.statuses[name] += count;
        } else if (line.rfind("FAIL ", 0) == 0) {
            failures.push_back(line.substr(5));
        }
    }
    if (!reported || !WIFEXITED(wait_status) || WEXITSTATUS(wait_status) != 0) {
        std::string last = child.output.substr(child.output.size() > 600 ? child.output.size() - 600 : 0);
        for (char& c : last) {
            c = c == '\n' ? '|' : c;
        }
        failures.push_back((WIFSIGNALED(wait_status)
                                ? "stopped by signal " + std::to_string(WTERMSIG(wait_status))
                                : "ended without its result") +
                           ": " + last);
    }
    const bool failed = !failures.empty();
    Tally& order = totals.by_order[plan.order];
    Tally& faults = plan.faults.empty() ? totals.without_faults : totals.with_faults;
    for (Tally* t : {&order, &faults}) {
        t->runs++;
        t->failed += failed;
    }
    for (const std::string& f : failures) {
        totals.failures.push_back("seed " + std::to_string(seed) + " (" +
                                  races::PnpOrders()[plan.order].name + "): " + f);
    }
}

void RunAll(const std::vector<uint64_t>& seeds, unsigned jobs, Totals& totals)
{
    std::vector<Child> children;
    size_t next = 0;
    size_t done = 0;
    const auto started = std::chrono::steady_clock::now();
    while (done < seeds.size()) {
        while (children.size() < jobs && next < seeds.size()) {
            children.push_back(Spawn(seeds[next], next));
            next++;
        }
        std::vector<pollfd> fds;
        for (const Child& c : children) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        poll(fds.data(), fds.size(), -1);
        for (size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(children[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                children[i].output.append(buffer, static_cast<size_t>(n));
                continue;
            }
            int status = 0;
            close(children[i].fd);
            waitpid(children[i].pid, &status, 0);
            Collect(children[i], status, seeds[children[i].index], totals);
            children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
            done++;
            if (done % 100 == 0 || done == seeds.size()) {
                const double s =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                std::fprintf(stderr, "  %zu/%zu runs, %zu failures, %.0f s\n", done, seeds.size(),
                             totals.failures.size(), s);
            }
        }
    }
}

void PrintSummary(const Totals& t, size_t runs, double seconds)
{
    std::printf("runs            %zu (seeds: the first %zu of SplitMix64 from 0x%llX)\n", runs, runs,
                static_cast<unsigned long long>(races::kFirstSeedState));
    std::printf("by order\n");
    for (const auto& [order, tally] : t.by_order) {
        std::printf("  %-52s %5zu runs, %zu failed\n", races::PnpOrders()[order].name, tally.runs,
                    tally.failed);
    }
    std::printf("with faults     %zu runs, %zu failed\n", t.with_faults.runs, t.with_faults.failed);
    std::printf("without faults  %zu runs, %zu failed\n", t.without_faults.runs, t.without_faults.failed);
    std::printf(
        "requests        %llu (%llu refused by the device's state, %llu in progress during a Plug and "
        "Play request)\n",
        static_cast<unsigned long long>(t.requests), static_cast<unsigned long long>(t.refused),
        static_cast<unsigned long long>(t.raced));
    for (const auto& [status, count] : t.statuses) {
        std::printf("  %-44s %9llu\n", status.c_str(), static_cast<unsigned long long>(count));
    }
    std::printf("polls           %llu\n", static_cast<unsigned long long>(t.polls));
    std::printf("wall time       %.1f s\n", seconds);
    std::printf("failures        %zu%s\n", t.failures.size(),
                t.failures.empty() ? "" : " (rerun one: --seed N)");
    for (const std::string& f : t.failures) {
        std::printf("  %s\n", f.c_str());
    }
}

int RunOne(uint64_t seed)
{
    const races::RacePlan plan = races::MakePlan(seed);
    std::cout << races::Describe(plan) << "  order: " << races::PnpOrders()[plan.order].name << "\n";
    std::string log;
    const races::RaceOutcome out = races::RunRace(plan, &log);
    std::cout << log;
    std::cout << "requests " << out.requests << ", refused " << out.refused << ", polls " << out.polls
              << "\n";
    for (const auto& [status, count] : out.statuses) {
        std::cout << "  " << status << ": " << count << "\n";
    }
    for (const std::string& f : out.failures) {
        std::cout << "FAILED: " << f << "\n";
    }
    std::cout << std::flush;
    if (out.hung) {
        std::_Exit(1); // the machine's threads still wait: no orderly end for it
    }
    return out.failures.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("quav_races: removal racing requests, seeded runs on the simulated machine");
    size_t runs = 10000;
    unsigned jobs = 2;
    uint64_t seed = 0;
    app.add_option("--runs", runs, "runs, the first N seeds of the list")->check(CLI::Range(1, 1000000));
    app.add_option("-j,--jobs", jobs, "runs at a time, each in a child process")->check(CLI::Range(1, 64));
    CLI::Option* one = app.add_option("--seed", seed, "run this seed alone, in this process, and show it");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 64;
    }
    if (*one) {
        return RunOne(seed);
    }
    const auto started = std::chrono::steady_clock::now();
    Totals totals;
    RunAll(races::SeedList(runs), jobs, totals);
    PrintSummary(totals, runs,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return totals.failures.empty() ? 0 : 1;
}
