// Commands from several threads at once never interleave on the chip. Seeded runs preempt threads between
// port accesses; the board's protocol checker reports any split address/data pair, and the fixture fails
// the test on any report. A deliberately unlocked variant proves the checker would catch it.
#include <cstdint>

#include "sio_fixture.h"

namespace {

struct RunResult {
    size_t reports = 0;
    uint64_t trace_hash = 0;
    bool readings_ok = true;
};

// Two threads read sensors 40 times each, through `read` (the command set, or an unlocked variant).
RunResult RunTwoReaders(uint64_t seed, bool locked)
{
    sim::MachineOptions options;
    options.seed = seed;
    options.preempt_percent = 30;
    sim::Machine machine(options);
    board::Board board(machine.bus());
    RunResult result;
    {
        sim::AttachedThread main("main");
        EXPECT_EQ(SioInitialize(), STATUS_SUCCESS);
        machine.bus().StartTrace();
        auto reader = [&](ULONG group, ULONG item, ULONG expected) {
            for (int i = 0; i < 40; i++) {
                ULONG cell = 0;
                if (locked) {
                    EXPECT_EQ(SioCommand(group, item, &cell), STATUS_SUCCESS);
                } else {
                    UCHAR raw = 0;
                    EcReadRegister(group == SIO_GET_TEMPERATURE ? 0x29 : 0x24, &raw);
                    cell = group == SIO_GET_TEMPERATURE ? raw : raw * 64u;
                }
                result.readings_ok &= cell == expected;
            }
        };
        PKTHREAD a = sim::StartThread("a", [&] { reader(SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, 36); });
        PKTHREAD b = sim::StartThread("b", [&] { reader(SIO_GET_VOLTAGE, SIO_ITEM_V12, 12032); });
        sim::JoinThread(a);
        sim::JoinThread(b);
    }
    for (const sim::PortAccess& access : machine.bus().TakeTrace()) {
        const uint64_t word = (uint64_t{access.port} << 40) ^ (uint64_t{access.write} << 39) ^
                              (uint64_t(access.thread) << 32) ^ access.value;
        result.trace_hash = (result.trace_hash ^ word) * 0x100000001B3ull;
    }
    result.reports = machine.verifier().Take().size();
    return result;
}

TEST(SioConcurrency, CommandsFromTwoThreadsNeverInterleaveOnTheChip)
{
    for (uint64_t seed = 1; seed <= 25; seed++) {
        const RunResult r = RunTwoReaders(seed, true);
        EXPECT_EQ(r.reports, 0u) << "seed " << seed;
        EXPECT_TRUE(r.readings_ok) << "seed " << seed;
    }
}

TEST(SioConcurrency, UnlockedAccessesAreCaughtByTheProtocolChecker)
{
    size_t caught = 0;
    for (uint64_t seed = 1; seed <= 25; seed++) {
        caught += RunTwoReaders(seed, false).reports > 0;
    }
    EXPECT_GT(caught, 0u);
}

TEST(SioConcurrency, ASeedReproducesItsRun)
{
    const RunResult first = RunTwoReaders(11, true);
    EXPECT_EQ(RunTwoReaders(11, true).trace_hash, first.trace_hash);
    EXPECT_NE(RunTwoReaders(12, true).trace_hash, first.trace_hash);
}

} // namespace
