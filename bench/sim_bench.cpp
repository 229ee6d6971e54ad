// Host cost of what a user and the driver do on quavsim's machine: a device-control round trip through
// the simulated I/O manager (open handle, IRP built, dispatched to the driver, completed, buffers copied
// back), a WMI query of all the sensors, and polls at one a second. Each benchmark boots the driver on
// the board once, with the 1 s configuration of bench/poll/1s.reg; the request loops take no virtual
// time, so no poll runs during them.
//
// Counters: requests/s is per second of one core; for the poll, sim_s/s is simulated seconds per host
// second, ports/poll the port accesses a poll makes and time/poll the host time of one. The polls run on
// the driver's system thread, another host thread: the poll's figures are of wall time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "platform.h"

#include "quavpub.h"
#include "sensors.h"
#include "sim/user.h"
#include "sim/wmi.h"
#include "simulation.h"

namespace {

struct BootedDriver {
    quavsim::Simulation simulation;
    bool running = false;

    BootedDriver() : simulation(Options()) { running = simulation.Boot() == STATUS_SUCCESS; }

    static quavsim::SimulationOptions Options()
    {
        quavsim::SimulationOptions options;
        options.config_reg = quavsim::ReadTextFile(QUAV_BENCH_CONFIG);
        options.config_origin = QUAV_BENCH_CONFIG;
        return options;
    }
};

// One request code, sent again and again on one open handle.
void DeviceControl(benchmark::State& state, ULONG code)
{
    BootedDriver b;
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    if (!b.running || !NT_SUCCESS(user.Open(u"" QUAV_USER_PATH_TEXT, &handle))) {
        state.SkipWithError("the driver did not start or its device did not open");
        return;
    }
    const quavtools::SensorInfo& cpu = quavtools::kSensors[quavtools::SensorIndex("CPU").value()];
    SENSOR_RECORD record{};
    for (auto _ : state) {
        record.SensorType = cpu.type;
        record.SensorId = cpu.id;
        ULONG returned = 0;
        const NTSTATUS status =
            user.DeviceIoControl(handle, code, &record, sizeof record, &record, sizeof record, &returned);
        if (!NT_SUCCESS(status)) {
            state.SkipWithError("the request failed");
            break;
        }
        benchmark::DoNotOptimize(record);
    }
    user.Close(handle);
    state.counters["requests/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DeviceControlNop(benchmark::State& state)
{
    DeviceControl(state, IOCTL_QUAV_NOP1);
}
BENCHMARK(BM_DeviceControlNop);

void BM_DeviceControlReadSensor(benchmark::State& state)
{
    DeviceControl(state, IOCTL_QUAV_READ_SENSOR);
}
BENCHMARK(BM_DeviceControlReadSensor);

void BM_WmiQueryAllSensors(benchmark::State& state)
{
    BootedDriver b;
    std::vector<uint8_t> data;
    for (auto _ : state) {
        if (!b.running ||
            !NT_SUCCESS(b.simulation.machine().wmi().QueryAllData(QUAV_SENSOR_DATA_GUID_INIT, &data))) {
            state.SkipWithError("the query failed");
            break;
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.counters["queries/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WmiQueryAllSensors);

// Virtual time in one slice of the benchmark's argument (seconds): a minute (the suite's sample runs it)
// and a day.
void BM_PollEverySecond(benchmark::State& state)
{
    BootedDriver b;
    if (!b.running) {
        state.SkipWithError("the driver did not start");
        return;
    }
    const sim::Ticks slice = sim::Seconds(state.range(0));
    const uint64_t polls_before = b.simulation.Polls();
    const uint64_t ports_before = b.simulation.machine().bus().Accesses();
    for (auto _ : state) {
        b.simulation.RunFor(slice);
    }
    const auto polls = static_cast<double>(b.simulation.Polls() - polls_before);
    const auto ports = static_cast<double>(b.simulation.machine().bus().Accesses() - ports_before);
    const double seconds = static_cast<double>(state.range(0)) * static_cast<double>(state.iterations());
    state.counters["sim_s/s"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["polls"] = polls;
    state.counters["ports/poll"] = polls > 0 ? ports / polls : 0;
    state.counters["time/poll"] =
        benchmark::Counter(polls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PollEverySecond)
    ->Arg(60)
    ->Arg(86400)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

} // namespace
