// Host time of chipset operations on the simulated machine: an ordinary SMBus read, and the worst cases
// the driver can meet (31 collided attempts; a transaction that never finishes, polled 300 times), which
// cost seconds of virtual time.
#include <benchmark/benchmark.h>

#include "board/board.h"
#include "hardware/chipset.h"
#include "sim/sim.h"

namespace {

struct Bench {
    sim::Machine machine;
    board::Board board{machine.bus()};
    sim::AttachedThread thread{"bench"};
    Bench()
    {
        ChipsetInitialize();
        SmbusSensorInitialize();
    }
};

void BM_CpuTemperature(benchmark::State& state)
{
    Bench b;
    ULONG cell = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SmbusSensorCommand(SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU, &cell));
    }
}
BENCHMARK(BM_CpuTemperature);

void BM_SmbusThirtyOneCollisions(benchmark::State& state)
{
    Bench b;
    UCHAR data = 0;
    const sim::Ticks start = sim::Now();
    for (auto _ : state) {
        b.board.southbridge()->CollideOnStart(31);
        benchmark::DoNotOptimize(SmbusReadByteData(0x4C, 0x01, &data));
    }
    state.counters["virtual_ms_each"] =
        static_cast<double>(sim::Now() - start) / sim::kTicksPerMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SmbusThirtyOneCollisions);

void BM_SmbusNeverFinishes(benchmark::State& state)
{
    Bench b;
    UCHAR data = 0;
    const sim::Ticks start = sim::Now();
    for (auto _ : state) {
        b.board.southbridge()->HangTransactions(1);
        benchmark::DoNotOptimize(SmbusReadByteData(0x4C, 0x01, &data));
    }
    state.counters["virtual_ms_each"] =
        static_cast<double>(sim::Now() - start) / sim::kTicksPerMs / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SmbusNeverFinishes);

} // namespace
