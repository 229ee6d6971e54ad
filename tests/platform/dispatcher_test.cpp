// The simulated kernel's dispatcher objects and waits, and the virtual clock under them.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim_test.h"

namespace {

LARGE_INTEGER Relative(sim::Ticks t)
{
    LARGE_INTEGER li;
    li.QuadPart = -t;
    return li;
}

NTSTATUS WaitFor(PVOID object, sim::Ticks timeout)
{
    LARGE_INTEGER li = Relative(timeout);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &li);
}

NTSTATUS WaitForever(PVOID object)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

class DispatcherTest : public SimTest {};

// A notification event releases every waiter and stays signalled; a synchronization event releases one
// and resets, and the other waiter runs out its timeout.
TEST_F(DispatcherTest, EventsReleaseWaitersAsTheirTypeSays)
{
    const struct {
        EVENT_TYPE type;
        int woken;
        LONG state; // after the waiters are gone
        sim::Ticks done;
    } cases[] = {{NotificationEvent, 2, 1, sim::Ms(1)}, {SynchronizationEvent, 1, 0, sim::Seconds(1)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const sim::Ticks start = sim::Now();
        KEVENT event;
        KeInitializeEvent(&event, c.type, FALSE);
        int woken = 0;
        auto waiter = [&] { woken += WaitFor(&event, sim::Seconds(1)) == STATUS_SUCCESS; };
        PKTHREAD a = sim::StartThread("a", waiter);
        PKTHREAD b = sim::StartThread("b", waiter);
        sim::Sleep(sim::Ms(1)); // both are now waiting
        EXPECT_EQ(woken, 0);
        EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
        sim::JoinThread(a);
        sim::JoinThread(b);
        EXPECT_EQ(woken, c.woken);
        EXPECT_EQ(sim::Now() - start, c.done);
        EXPECT_EQ(KeReadStateEvent(&event), c.state);
        EXPECT_EQ(WaitFor(&event, 0), c.state != 0 ? STATUS_SUCCESS : STATUS_TIMEOUT);
        EXPECT_EQ(KeResetEvent(&event), c.state);
        EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
    }
}

TEST_F(DispatcherTest, TimeoutsRunOnTheVirtualClock)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);

    EXPECT_EQ(WaitFor(&never, 0), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), 0);

    // 120 s costs nothing: the clock jumps as soon as every thread waits.
    EXPECT_EQ(WaitFor(&never, sim::Seconds(120)), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), sim::Seconds(120));

    // A positive timeout is an absolute system time.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + sim::Ms(250);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), sim::Seconds(120) + sim::Ms(250));
    EXPECT_EQ(static_cast<sim::Ticks>(KeQueryInterruptTime()), sim::Now());
}

// What a monitor's polls are counted from: the timed waits of the drivers' system threads that ran out,
// by the type of object waited on. A wait that was satisfied, and the waits of the platform's own and of
// attached threads, do not count.
struct Waits {
    KSEMAPHORE semaphore;
    KEVENT never;
};

VOID NTAPI SystemThreadWaits(PVOID context)
{
    auto* w = static_cast<Waits*>(context);
    WaitFor(&w->semaphore, sim::Seconds(1));
    WaitFor(&w->semaphore, 0);
    WaitFor(&w->never, sim::Ms(5));
    WaitFor(&w->semaphore, sim::Seconds(1));
    WaitFor(&w->semaphore, sim::Seconds(10)); // released meanwhile
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(DispatcherTest, TimedOutWaitsOfSystemThreadsAreCountedByObjectType)
{
    Waits w;
    KeInitializeSemaphore(&w.semaphore, 0, 1);
    KeInitializeEvent(&w.never, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SystemThreadWaits, &w),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    PKTHREAD platform_thread = sim::StartThread("platform", [&] { WaitFor(&w.semaphore, sim::Seconds(1)); });
    WaitFor(&w.never, sim::Seconds(3));
    KeReleaseSemaphore(&w.semaphore, 0, 1, FALSE);
    sim::JoinThread(static_cast<PKTHREAD>(thread));
    sim::JoinThread(platform_thread);
    ObDereferenceObject(thread);

    const struct {
        KOBJECTS type;
        uint64_t timeouts;
    } expected[] = {{SemaphoreObject, 3}, {EventNotificationObject, 1}, {MutantObject, 0}, {ThreadObject, 0}};
    for (const auto& e : expected) {
        EXPECT_EQ(machine_.scheduler().SystemThreadTimeouts(e.type), e.timeouts) << e.type;
    }
}

TEST_F(DispatcherTest, ClockAdvancesOnlyWhenEveryThreadWaits)
{
    std::vector<std::pair<std::string, sim::Ticks>> wakeups;
    PKTHREAD slow = sim::StartThread("slow", [&] {
        sim::Sleep(sim::Ms(30));
        wakeups.emplace_back("slow", sim::Now());
    });
    PKTHREAD fast = sim::StartThread("fast", [&] {
        sim::Sleep(sim::Ms(10));
        wakeups.emplace_back("fast", sim::Now());
        sim::Sleep(sim::Ms(10));
        wakeups.emplace_back("fast", sim::Now());
    });

    // The test thread is running: however much host time passes, simulated time stands still and the
    // other threads do not run.
    volatile unsigned spin = 0;
    for (int i = 0; i < 1000000; i++) {
        spin = spin + 1;
    }
    EXPECT_EQ(sim::Now(), 0);
    EXPECT_TRUE(wakeups.empty());

    sim::JoinThread(slow);
    sim::JoinThread(fast);
    const std::vector<std::pair<std::string, sim::Ticks>> expected = {
        {"fast", sim::Ms(10)}, {"fast", sim::Ms(20)}, {"slow", sim::Ms(30)}};
    EXPECT_EQ(wakeups, expected);
    EXPECT_EQ(sim::Now(), sim::Ms(30));
}

TEST_F(DispatcherTest, SemaphoreCountsAndLimit)
{
    KSEMAPHORE sem;
    KeInitializeSemaphore(&sem, 0, 2);
    int passed = 0;
    std::vector<PKTHREAD> threads;
    for (const char* name : {"w1", "w2", "w3"}) {
        threads.push_back(sim::StartThread(name, [&] {
            if (WaitFor(&sem, sim::Seconds(5)) == STATUS_SUCCESS) {
                passed++;
            }
        }));
    }
    sim::Sleep(sim::Ms(1));
    EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 0); // one release ends exactly one wait
    sim::Sleep(sim::Ms(1));
    EXPECT_EQ(passed, 1);
    EXPECT_EQ(KeReadStateSemaphore(&sem), 0);

    EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 2, FALSE), 0);
    for (PKTHREAD t : threads) {
        sim::JoinThread(t);
    }
    EXPECT_EQ(passed, 3);
    EXPECT_LT(sim::Now(), sim::Seconds(5));

    KeReleaseSemaphore(&sem, 0, 2, FALSE);
    EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 2); // over the limit: refused, reported
    EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
    EXPECT_TRUE(OneReportContaining("exceeds its limit 2"));
}

TEST_F(DispatcherTest, MutexIsOwnedRecursiveAndHandedOverInOrder)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    machine_.scheduler().NameObject(&mutex, "TestMutex");

    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    ASSERT_EQ(WaitForever(&mutex), STATUS_SUCCESS); // the owner may take it again
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);

    std::vector<std::string> order;
    PKTHREAD first = sim::StartThread("first", [&] {
        EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
        order.push_back("first");
        KeReleaseMutex(&mutex, FALSE);
    });
    PKTHREAD other = sim::StartThread("other", [&] {
        // Not the owner: reported, nothing changes.
        KeReleaseMutex(&mutex, FALSE);
    });
    PKTHREAD second = sim::StartThread("second", [&] {
        sim::Sleep(sim::Ms(1)); // queue behind "first"
        EXPECT_EQ(WaitFor(&mutex, sim::Seconds(1)), STATUS_SUCCESS);
        order.push_back("second");
        KeReleaseMutex(&mutex, FALSE);
    });
    sim::Sleep(sim::Ms(2));
    sim::JoinThread(other);
    EXPECT_TRUE(OneReportContaining("by thread \"other\": owned by \"test\""));

    KeReleaseMutex(&mutex, FALSE);
    EXPECT_TRUE(order.empty()); // still held once
    KeReleaseMutex(&mutex, FALSE);
    sim::JoinThread(first);
    sim::JoinThread(second);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(DispatcherTest, MutexWaitTimesOutWhileAnotherThreadHoldsIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    PKTHREAD holder = sim::StartThread("holder", [&] {
        WaitForever(&mutex);
        sim::Sleep(sim::Seconds(200));
        KeReleaseMutex(&mutex, FALSE);
    });
    sim::Sleep(sim::Ms(1));
    EXPECT_EQ(WaitFor(&mutex, sim::Seconds(120)), STATUS_TIMEOUT);
    EXPECT_EQ(sim::Now(), sim::Ms(1) + sim::Seconds(120));
    EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS); // handed over at 200 s
    EXPECT_EQ(sim::Now(), sim::Seconds(200));
    KeReleaseMutex(&mutex, FALSE);
    sim::JoinThread(holder);
}

TEST_F(DispatcherTest, ThreadEndingWhileOwningAMutexAbandonsIt)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    PKTHREAD t = sim::StartThread("quitter", [&] { WaitForever(&mutex); });
    sim::JoinThread(t);
    EXPECT_TRUE(OneReportContaining("ended while owning"));
    EXPECT_EQ(WaitForever(&mutex), STATUS_ABANDONED); // acquired, and told so once
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(WaitForever(&mutex), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(DispatcherTest, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    bool ran = false;
    PKTHREAD t = sim::StartThread("worker", [&] {
        sim::Sleep(sim::Ms(5));
        ran = true;
    });
    EXPECT_EQ(WaitFor(t, sim::Ms(1)), STATUS_TIMEOUT);
    EXPECT_FALSE(ran);
    EXPECT_EQ(WaitForever(t), STATUS_SUCCESS);
    EXPECT_TRUE(ran);
    EXPECT_EQ(WaitFor(t, 0), STATUS_SUCCESS); // stays signalled
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
}

size_t MappedRegions()
{
    std::ifstream maps("/proc/self/maps");
    size_t lines = 0;
    for (std::string line; std::getline(maps, line);) {
        lines++;
    }
    return lines;
}

// A long run starts thread after thread: an ended one gives back what it captured at once, and its host
// thread's stack once the next thread starts; its thread object stays, signalled, for those who hold it.
TEST_F(DispatcherTest, EndedThreadsGiveBackTheirStacksAndCaptures)
{
    auto captured = std::make_shared<int>(0);
    PKTHREAD first = sim::StartThread("first", [captured] { (*captured)++; });
    EXPECT_EQ(WaitForever(first), STATUS_SUCCESS);
    EXPECT_EQ(captured.use_count(), 1);
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer keeps mappings of its own for every thread that has run";
#endif
    const size_t regions = MappedRegions();
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(WaitForever(sim::StartThread("worker", [] { sim::Sleep(sim::Ms(1)); })), STATUS_SUCCESS);
    }
    // Each host stack kept would be a mapping and its guard page: 128 more regions.
    EXPECT_LT(MappedRegions(), regions + 16);
    EXPECT_EQ(WaitFor(first, 0), STATUS_SUCCESS);
    EXPECT_EQ(*captured, 1);
}

TEST_F(DispatcherTest, ReinitializingAnObjectThreadsWaitOnIsReported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PKTHREAD t = sim::StartThread("waiter", [&] { WaitForever(&event); });
    sim::Sleep(sim::Ms(1));
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_TRUE(OneReportContaining("initialized again while threads wait on it"));
    KeSetEvent(&event, 0, FALSE);
    sim::JoinThread(t);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, DeadlockIsReportedWithTheWaitGraph)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KMUTEX m1;
            KMUTEX m2;
            KeInitializeMutex(&m1, 0);
            KeInitializeMutex(&m2, 0);
            machine_.scheduler().NameObject(&m1, "M1");
            machine_.scheduler().NameObject(&m2, "M2");
            WaitForever(&m1);
            sim::StartThread("worker", [&] {
                WaitForever(&m2);
                WaitForever(&m1);
            });
            sim::Sleep(sim::Ms(1));
            WaitForever(&m2);
        },
        "deadlock at 0.0010000 s(.|\n)*thread \"test\" \\(1\\): waiting on mutex \"M2\" \\(owned by "
        "\"worker\"\\)"
        "(.|\n)*thread \"worker\" \\(2\\): waiting on mutex \"M1\" \\(owned by \"test\"\\)");
}

TEST_F(DispatcherDeathTest, WaitFromAnUnknownThreadStopsTheSimulation)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            std::thread host([&] { WaitFor(&event, sim::Ms(1)); });
            host.join();
        },
        "from a host thread the simulation does not know");
}

// Seeded runs: the interleaving of two threads at preemption points is a function of the seed.
std::vector<int> Interleave(uint64_t seed)
{
    sim::MachineOptions options;
    options.seed = seed;
    options.preempt_percent = 50;
    sim::Machine machine(options);
    sim::AttachedThread main("main");
    std::vector<int> order;
    KEVENT tick;
    KeInitializeEvent(&tick, NotificationEvent, FALSE);
    auto body = [&](int id) {
        for (int i = 0; i < 20; i++) {
            order.push_back(id);
            KeSetEvent(&tick, 0, FALSE); // a preemption point
        }
    };
    PKTHREAD a = sim::StartThread("a", [&] { body(1); });
    PKTHREAD b = sim::StartThread("b", [&] { body(2); });
    sim::JoinThread(a);
    sim::JoinThread(b);
    return order;
}

TEST(SeededSchedule, SameSeedSameInterleavingOtherSeedsDiffer)
{
    const std::vector<int> first = Interleave(7);
    EXPECT_EQ(first, Interleave(7));
    bool differs = false;
    for (uint64_t seed = 1; seed < 10 && !differs; seed++) {
        differs = Interleave(seed) != first;
    }
    EXPECT_TRUE(differs);
    // Without a seed nothing is preempted: each thread runs until it waits or ends.
    const std::vector<int> fifo = Interleave(0);
    EXPECT_TRUE(std::is_sorted(fifo.begin(), fifo.end()));
}

TEST(RealTimeClock, TimeoutsExpireAsTheScaledHostClockPasses)
{
    sim::MachineOptions options;
    options.mode = sim::TimeMode::RealTime;
    options.real_time_scale = 1000.0; // a simulated second per host millisecond
    sim::Machine machine(options);
    sim::AttachedThread main("main");
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(WaitFor(&never, sim::Seconds(2)), STATUS_TIMEOUT);
    EXPECT_GE(sim::Now(), sim::Seconds(2));
}

} // namespace
