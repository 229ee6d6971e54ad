// Host time of Super I/O operations on the simulated machine. Virtual time is what the driver sees; these
// numbers say what a simulated operation costs the host, e.g. that a controller access that stays busy
// (75 ms of virtual sleeping) costs microseconds.
#include <benchmark/benchmark.h>

#include "board/board.h"
#include "hardware/siocommand.h"
#include "sim/sim.h"

namespace {

struct Bench {
    sim::Machine machine;
    board::Board board{machine.bus()};
    sim::AttachedThread thread{"bench"};
    Bench() { SioInitialize(); }
};

void BM_FanSpeedCommand(benchmark::State& state)
{
    Bench b;
    ULONG rpm = 0;
    for (auto _ : state) {
        SioCommand(SIO_GET_FAN_SPEED, SIO_ITEM_FAN1, &rpm);
        benchmark::DoNotOptimize(rpm);
    }
}
BENCHMARK(BM_FanSpeedCommand);

void BM_ElevenSensorReadout(benchmark::State& state)
{
    Bench b;
    const std::pair<ULONG, ULONG> commands[] = {{SIO_GET_FAN_SPEED, SIO_ITEM_FAN1},
                                                {SIO_GET_FAN_SPEED, SIO_ITEM_FAN2},
                                                {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM},
                                                {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_BACKPLANE},
                                                {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_VRM},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_VCCP},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_V18},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_V33},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_V5},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_V12},
                                                {SIO_GET_VOLTAGE, SIO_ITEM_AUX}};
    for (auto _ : state) {
        for (const auto& [group, item] : commands) {
            ULONG value = 0;
            SioCommand(group, item, &value);
            benchmark::DoNotOptimize(value);
        }
    }
}
BENCHMARK(BM_ElevenSensorReadout);

void BM_BusyControllerAccess(benchmark::State& state)
{
    Bench b;
    UCHAR value = 0;
    for (auto _ : state) {
        b.board.superio()->HoldBusy(-1);
        benchmark::DoNotOptimize(EcReadRegister(0x29, &value)); // 16 reads, 75 ms of virtual sleep
    }
    state.counters["virtual_ms_each"] =
        static_cast<double>(sim::Now()) / sim::kTicksPerMs / static_cast<double>(state.iterations());
    b.board.superio()->HoldBusy(0);
}
BENCHMARK(BM_BusyControllerAccess);

void BM_SioMutexTimeout(benchmark::State& state)
{
    Bench b;
    b.machine.bus().Stall(0x295, sim::Seconds(1000000000), 1 << 30); // every controller access hangs
    PKTHREAD stuck = sim::StartThread("stuck", [] {
        ULONG cell = 0;
        SioCommand(SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, &cell);
    });
    sim::Sleep(sim::Ms(1));
    for (auto _ : state) {
        ULONG cell = 0;
        benchmark::DoNotOptimize(SioCommand(SIO_GET_VOLTAGE, SIO_ITEM_V5, &cell)); // 120 s of virtual waiting
    }
    b.machine.bus().Stall(0x295, 0, 1);
    sim::JoinThread(stuck);
}
BENCHMARK(BM_SioMutexTimeout);

} // namespace
