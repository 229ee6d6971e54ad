// quav_soak: the driver for days of simulated time on quavsim's machine, polling every second, with the
// board's faults and clients at seeded random times. At the end of each simulated day it samples the
// process's resident memory, the platform's pool, the event log and the platform's reports; at the end it
// checks that memory and pool stayed flat and that nothing was reported.
//
//   quav_soak [--days N] [--seed S]     30 days, seed 1 by default
//
// Checks: no report of misuse; the pool's live bytes at the end of every day equal the first day's (the
// driver holds the same things whenever it is between polls); the last day's resident memory no more
// than kRssMargin above the first day's; the event log grows by no more than kEventsPerFault records for
// each fault injected (the driver writes events when something changes, never once a poll). Exit status:
// 0 held, 1 a check failed, 64 usage.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform.h"

#include "quavpub.h"
#include "scenario_run.h"
#include "sensors.h"
#include "sim/user.h"
#include "simulation.h"

namespace {

constexpr const char* kParameters =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters";
// A month grows the process by about 0.3 MiB (the trace's hourly rows, the ended client threads' objects,
// the allocator's arenas settling): a leak of even a few bytes a poll would pass this in days.
constexpr size_t kRssMargin = 1u << 20;
constexpr uint64_t kEventsPerFault = 8;
constexpr sim::Ticks kDay = sim::Seconds(86400);

size_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

struct DaySample {
    size_t rss = 0;
    size_t pool_bytes = 0;
    size_t pool_allocations = 0;
    size_t events = 0;
    uint64_t polls = 0;
};

struct Counts {
    uint64_t requests = 0;
    uint64_t failed = 0; // requests that ended with an error (faults, the board's state)
    uint64_t faults = 0;
    size_t reports = 0;
};

// A day's faults: up to four, each at a random time, for a count of accesses or a few minutes.
std::vector<quavsim::Fault> DayFaults(std::mt19937_64& rng)
{
    auto pick = [&rng](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(rng);
    };
    std::vector<quavsim::Fault> faults(static_cast<size_t>(pick(0, 4)));
    for (quavsim::Fault& f : faults) {
        f.kind = static_cast<quavsim::FaultKind>(pick(0, 4));
        f.at = sim::Seconds(pick(60, 86000));
        if (f.kind != quavsim::FaultKind::SensorAbsent && pick(0, 1) == 0) {
            f.count = static_cast<int>(pick(1, 50));
        } else {
            f.duration = sim::Seconds(pick(1, 600));
        }
        f.where = "soak";
    }
    return faults;
}

// One client thread's day: sessions at random times, each an open, a few requests and a close.
void ClientDay(uint64_t seed, sim::Ticks day_start, Counts& counts)
{
    std::mt19937_64 rng(seed);
    auto pick = [&rng](int64_t low, int64_t high) {
        return std::uniform_int_distribution<int64_t>(low, high)(rng);
    };
    std::vector<sim::Ticks> times(static_cast<size_t>(pick(10, 40)));
    for (sim::Ticks& t : times) {
        t = day_start + sim::Seconds(pick(0, 86000));
    }
    std::sort(times.begin(), times.end());
    sim::UserClient user(true);
    for (sim::Ticks t : times) {
        if (t > sim::Now()) {
            sim::Sleep(t - sim::Now());
        }
        HANDLE handle = nullptr;
        counts.requests++;
        if (!NT_SUCCESS(user.Open(u"" QUAV_USER_PATH_TEXT, &handle))) {
            counts.failed++;
            continue;
        }
        for (int64_t i = pick(1, 10); i > 0; i--) {
            const quavtools::SensorInfo& sensor = quavtools::kSensors[static_cast<size_t>(pick(0, 11))];
            SENSOR_RECORD record{};
            record.SensorType = sensor.type;
            record.SensorId = sensor.id;
            ULONG returned = 0;
            counts.requests++;
            counts.failed += !NT_SUCCESS(user.DeviceIoControl(
                handle, IOCTL_QUAV_READ_SENSOR, &record, sizeof record, &record, sizeof record, &returned));
            std::vector<uint8_t> data;
            counts.requests++;
            counts.failed +=
                !NT_SUCCESS(sim::Machine::Current().wmi().QueryAllData(QUAV_SENSOR_DATA_GUID_INIT, &data));
            sim::Sleep(sim::Ms(pick(0, 2000)));
        }
        counts.requests++;
        user.Close(handle);
    }
}

DaySample Sample(quavsim::Simulation& simulation)
{
    // A poll the end of the day preempted finishes first: the samples are of the driver at rest.
    for (int i = 0; i < 8; i++) {
        sim::Yield();
    }
    sim::Machine& machine = simulation.machine();
    return {ResidentBytes(), machine.pool().OutstandingBytesTotal(), machine.pool().OutstandingTotal(),
            machine.eventlog().Count(), simulation.Polls()};
}

void RunDay(quavsim::Simulation& simulation, uint64_t seed, int day, Counts& counts)
{
    std::mt19937_64 rng(seed * 1000003 + static_cast<uint64_t>(day));
    quavsim::Scenario scenario;
    scenario.duration = kDay;
    // quavsim's trace keeps up to Simulation::kPlotRows samples (about 3 MB) before it thins them out:
    // an hour apart, a month's samples stay far below that, and memory shows what the driver and the
    // platform hold.
    scenario.sample = sim::Seconds(3600);
    scenario.faults = DayFaults(rng);
    counts.faults += scenario.faults.size();
    quavsim::ScenarioRun run(simulation, scenario);
    const sim::Ticks start = sim::Now();
    // Each client counts its own requests (they run on host threads of their own), added up at the end.
    std::array<Counts, 2> client_counts{};
    std::vector<PKTHREAD> clients;
    for (Counts& c : client_counts) {
        const uint64_t client_seed = rng();
        clients.push_back(sim::StartThread("client " + std::to_string(clients.size()),
                                           [client_seed, start, &c] { ClientDay(client_seed, start, c); }));
    }
    run.Run();
    for (PKTHREAD t : clients) {
        sim::JoinThread(t);
    }
    for (const Counts& c : client_counts) {
        counts.requests += c.requests;
        counts.failed += c.failed;
    }
    for (const sim::VerifierReport& r : simulation.CollectReports()) {
        std::printf("  day %d: verifier (%s): %s\n", day, r.source.c_str(), r.text.c_str());
        counts.reports++;
    }
}

std::string Mib(size_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

// The checks on the samples; each failure printed. True when all held.
bool Check(const std::vector<DaySample>& days, const Counts& counts)
{
    bool ok = counts.reports == 0;
    if (!ok) {
        std::printf("FAILED: the platform reported %zu misuses\n", counts.reports);
    }
    for (size_t d = 1; d < days.size(); d++) {
        if (days[d].pool_bytes != days[0].pool_bytes) {
            std::printf("FAILED: pool not flat: day %zu ends with %zu bytes live, day 1 with %zu\n", d + 1,
                        days[d].pool_bytes, days[0].pool_bytes);
            ok = false;
        }
    }
    if (days.back().rss > days.front().rss + kRssMargin) {
        std::printf("FAILED: memory grew: %s at the end of the last day, %s after the first (margin %s)\n",
                    Mib(days.back().rss).c_str(), Mib(days.front().rss).c_str(), Mib(kRssMargin).c_str());
        ok = false;
    }
    if (days.back().events > days.front().events + kEventsPerFault * counts.faults) {
        std::printf("FAILED: the event log grew by %zu records for %llu faults\n",
                    days.back().events - days.front().events, static_cast<unsigned long long>(counts.faults));
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("quav_soak: days of simulated time with faults and clients; memory and pool stay flat");
    int days = 30;
    uint64_t seed = 1;
    app.add_option("--days", days, "simulated days")->check(CLI::Range(1, 3650));
    app.add_option("--seed", seed, "seed of the faults, the clients and the scheduling")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 62));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 64;
    }
    const auto started = std::chrono::steady_clock::now();
    quavsim::SimulationOptions options;
    options.config_reg = quavsim::ReadTextFile(QUAV_SOAK_CONFIG);
    options.config_origin = QUAV_SOAK_CONFIG;
    options.machine.seed = seed;
    options.machine.preempt_percent = 5;
    quavsim::Simulation simulation(options);
    simulation.machine().registry().SetDword(kParameters, "POLLING_INTERVAL", 1);
    if (simulation.Boot() != STATUS_SUCCESS) {
        std::printf("FAILED: the device did not start\n");
        return 1;
    }
    Counts counts;
    std::vector<DaySample> samples;
    for (int day = 1; day <= days; day++) {
        RunDay(simulation, seed, day, counts);
        samples.push_back(Sample(simulation));
        const DaySample& s = samples.back();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("day %3d  polls %9llu  events %6zu  pool %zu bytes in %zu  rss %s  requests %llu  faults "
                    "%llu  %.0f s\n",
                    day, static_cast<unsigned long long>(s.polls), s.events, s.pool_bytes, s.pool_allocations,
                    Mib(s.rss).c_str(), static_cast<unsigned long long>(counts.requests),
                    static_cast<unsigned long long>(counts.faults), wall);
        std::fflush(stdout);
    }
    const bool ok = Check(samples, counts);
    simulation.Shutdown();
    const size_t left = simulation.machine().pool().OutstandingTotal();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("days            %d (seed %llu)\n", days, static_cast<unsigned long long>(seed));
    std::printf("polls           %llu\n", static_cast<unsigned long long>(samples.back().polls));
    std::printf("events          %zu\n", samples.back().events);
    std::printf("requests        %llu (%llu failed)\n", static_cast<unsigned long long>(counts.requests),
                static_cast<unsigned long long>(counts.failed));
    std::printf("faults          %llu\n", static_cast<unsigned long long>(counts.faults));
    std::printf("peak pool       %zu bytes\n", simulation.machine().pool().PeakBytes());
    std::printf("rss             %s after day 1, %s after day %d\n", Mib(samples.front().rss).c_str(),
                Mib(samples.back().rss).c_str(), days);
    std::printf("pool at unload  %zu allocations\n", left);
    std::printf("wall time       %.1f s\n", wall);
    return ok && left == 0 && simulation.CollectReports().empty() ? 0 : 1;
}
