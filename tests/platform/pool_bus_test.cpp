// The simulated pool's accounting and faults, and the port I/O bus's dispatch, counting and tracing.
#include <algorithm>
#include <cstring>

#include "sim_test.h"

namespace {

// Wide literals are UTF-16 code units, as the kernel's are.
static_assert(sizeof(WSTR("QUAV")) == 5 * sizeof(WCHAR));
static_assert(WSTR("\u00C4")[0] == 0x00C4 && WSTR("\U0001F321")[1] == 0xDF21);

constexpr ULONG kTagA = 0x41414141; // "AAAA"
constexpr ULONG kTagB = 0x20206242; // "Bb  "

class PoolTest : public SimTest {};

TEST_F(PoolTest, OutstandingAllocationsAreCountedByTag)
{
    sim::Pool& pool = machine_.pool();
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    ASSERT_NE(a1, nullptr);
    ASSERT_NE(a2, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool.Outstanding(kTagA), 2u);
    EXPECT_EQ(pool.OutstandingBytes(kTagA), 132u);
    EXPECT_EQ(pool.TypeOf(a2), PagedPool);
    EXPECT_EQ(sim::Pool::TagText(kTagB), "Bb  ");
    EXPECT_EQ(pool.OutstandingBytesTotal(), 140u);

    ExFreePool(a1);
    ExFreePoolWithTag(a2, kTagA);
    EXPECT_EQ(pool.Outstanding(kTagA), 0u);
    EXPECT_EQ(pool.Allocations(kTagA), 2u);
    EXPECT_EQ(pool.OutstandingTotal(), 1u);
    ExFreePool(b);
    EXPECT_EQ(pool.OutstandingTotal(), 0u);
    EXPECT_EQ(pool.OutstandingBytesTotal(), 0u);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 10, kTagB); // less than was live at the peak
    EXPECT_EQ(pool.PeakBytes(), 140u);
    ExFreePool(c);
}

TEST_F(PoolTest, MisusedFreesAreReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    ExFreePoolWithTag(p, kTagB);
    EXPECT_TRUE(OneReportContaining("with tag 'Bb  ' on an allocation tagged 'AAAA'"));
    ExFreePool(p); // a second free
    EXPECT_TRUE(OneReportContaining("not a live pool allocation"));
}

TEST_F(PoolTest, AllocationFaultsFollowTheKnob)
{
    machine_.pool().FailAllocations(kTagA, 1, 1); // the second allocation tagged A fails, once
    void* ok1 = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 4, kTagB);
    void* failed = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    void* ok2 = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    EXPECT_NE(ok1, nullptr);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(failed, nullptr);
    EXPECT_NE(ok2, nullptr);
    EXPECT_EQ(machine_.pool().Outstanding(kTagA), 2u);
    for (void* p : {ok1, other, ok2}) {
        ExFreePool(p);
    }
}

// A device that remembers what was written and answers with a fixed pattern.
class Latch : public sim::PortDevice {
public:
    uint32_t PortRead(uint16_t port, unsigned width, const sim::PortContext&) override
    {
        return width == 1 ? static_cast<uint32_t>(port & 0xFF) : 0x12345678u;
    }
    void PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx) override
    {
        last_port = port;
        last_width = width;
        last_value = value;
        last_thread = ctx.thread;
    }
    uint16_t last_port = 0;
    unsigned last_width = 0;
    uint32_t last_value = 0;
    int last_thread = -1;
};

class BusTest : public SimTest {};

TEST_F(BusTest, DispatchesByRangeAndUnclaimedPortsFloatHigh)
{
    Latch latch;
    machine_.bus().Map(0x300, 4, &latch);
    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)0x302), 0x02);
    EXPECT_EQ(READ_PORT_ULONG((PULONG)0x300), 0x12345678u);
    WRITE_PORT_ULONG((PULONG)0x303, 0xCAFEF00D);
    EXPECT_EQ(latch.last_port, 0x303);
    EXPECT_EQ(latch.last_width, 4u);
    EXPECT_EQ(latch.last_value, 0xCAFEF00Du);
    EXPECT_EQ(latch.last_thread, 1); // the attached test thread

    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)0x304), 0xFF);
    EXPECT_EQ(READ_PORT_ULONG((PULONG)0x2FC), 0xFFFFFFFFu);
    WRITE_PORT_UCHAR((PUCHAR)0x304, 0x00); // ignored

    machine_.bus().Unmap(0x300, 4, &latch);
    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)0x302), 0xFF);
    EXPECT_EQ(machine_.bus().Reads(), 5u);
    EXPECT_EQ(machine_.bus().Writes(), 2u);
    EXPECT_EQ(machine_.bus().AccessesTo(0x302), 2u);
}

TEST_F(BusTest, TraceRecordsEveryAccessWithTimeAndThread)
{
    Latch latch;
    machine_.bus().Map(0x80, 1, &latch);
    WRITE_PORT_UCHAR((PUCHAR)0x80, 0x11); // before tracing: counted, not recorded
    machine_.bus().StartTrace();
    WRITE_PORT_UCHAR((PUCHAR)0x80, 0x22);
    sim::Sleep(sim::Ms(3));
    PKTHREAD t = sim::StartThread("reader", [] { READ_PORT_UCHAR((PUCHAR)0x80); });
    sim::JoinThread(t);
    const std::vector<sim::PortAccess> trace = machine_.bus().TakeTrace();
    const std::vector<sim::PortAccess> expected = {
        {0x80, true, 1, 0x22, sim::Us(1), 1}, // each access before took its microsecond
        {0x80, false, 1, 0x80, sim::Us(2) + sim::Ms(3), 2},
    };
    EXPECT_EQ(trace, expected);
    EXPECT_EQ(sim::FormatAccess(trace[0]), "W1 0x0080 <- 0x22 @0.0000010 s t1");
    EXPECT_EQ(machine_.bus().Accesses(), 3u);
}

TEST_F(BusTest, StalledAccessWaitsOnTheVirtualClock)
{
    Latch latch;
    machine_.bus().Map(0x90, 1, &latch);
    machine_.bus().SetAccessTime(0);
    machine_.bus().Stall(0x90, sim::Seconds(130));
    WRITE_PORT_UCHAR((PUCHAR)0x90, 1);
    EXPECT_EQ(sim::Now(), sim::Seconds(130));
    WRITE_PORT_UCHAR((PUCHAR)0x90, 2); // the knob was for one access
    EXPECT_EQ(sim::Now(), sim::Seconds(130));
}

// Every access costs the bus's access time on the processor, like a stall: the clock moves, the accessing
// thread keeps running, and a waiter whose timeout fell due meanwhile runs once the thread blocks.
TEST_F(BusTest, AnAccessTakesProcessorTimeAndKeepsTheProcessor)
{
    Latch latch;
    machine_.bus().Map(0x80, 4, &latch);
    const struct {
        const char* name;
        sim::Ticks access_time; // < 0: the default
        sim::Ticks per_access;
    } cases[] = {
        {"default", -1, sim::Us(1)},
        {"free", 0, 0},
        {"slow", sim::Us(5), sim::Us(5)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.access_time >= 0) {
            machine_.bus().SetAccessTime(c.access_time);
        }
        EXPECT_EQ(machine_.bus().AccessTime(), c.per_access);
        const sim::Ticks start = sim::Now();
        sim::Ticks woke = -1;
        PKTHREAD waiter = sim::StartThread("waiter", [&] {
            sim::Sleep(sim::Us(3));
            woke = sim::Now();
        });
        sim::Yield(); // the waiter is asleep until start + 3 us
        for (int i = 0; i < 10; i++) {
            READ_PORT_UCHAR((PUCHAR)0x81);
            WRITE_PORT_ULONG((PULONG)0x80, i);
        }
        EXPECT_EQ(sim::Now() - start, 20 * c.per_access);
        EXPECT_EQ(woke, -1); // its timeout fell due meanwhile, but this thread kept the processor
        sim::JoinThread(waiter);
        EXPECT_EQ(woke, std::max(start + 20 * c.per_access, start + sim::Us(3)));
    }
}

TEST(BusDeathTest, TwoDevicesOnOnePortStopTheSimulation)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    sim::Machine machine;
    Latch a;
    Latch b;
    machine.bus().Map(0x100, 8, &a);
    EXPECT_DEATH(machine.bus().Map(0x107, 2, &b), "port 0x0107 claimed by two devices");
}

} // namespace
