// The simulated kernel's threads, clock and dispatcher objects.
//
// Every simulated thread is a host thread, but only one of them runs at a time: the one holding the
// processor. A thread gives the processor up when it blocks in a kernel wait, ends, or is preempted at a
// preemption point (a port access, a signal) when the machine's seed asks for it. Which ready thread runs
// next is first-in first-out, or drawn from the seed, so a run is a function of its seed.
//
// Virtual time advances only when no known thread can run: the clock then jumps to the earliest pending
// timeout. If every thread waits and no timeout is pending, the simulation stops with a report of the
// wait graph instead of hanging. In real-time mode the clock follows the host's clock, optionally scaled,
// and timeouts expire as it passes them.
#pragma once

#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform.h"
#include "time.h"

namespace sim {

class Verifier;
struct SimThread;

enum class TimeMode { Virtual, RealTime };

struct SchedulerOptions {
    TimeMode mode = TimeMode::Virtual;
    double real_time_scale = 1.0; // simulated seconds per host second, in real-time mode
    uint64_t seed = 0;            // 0: first-in first-out, never preempted
    unsigned preempt_percent = 0; // with a seed: chance of a switch at each preemption point
    // With a seed: the entry of every imported operation and every call into the driver is a preemption
    // point too (entry.h). Off, only port I/O, signals and final completions are.
    bool entry_switch_points = true;
};

} // namespace sim

// The kernel's thread object. Drivers see only a pointer to it; the header comes first so that a wait
// treats it like any other dispatcher object.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    sim::SimThread* Thread;
};

namespace sim {

struct WaitBlock {
    LIST_ENTRY Link; // in the object's WaitListHead; first, so a list entry is the block
    SimThread* Thread;
};

struct SimThread {
    enum class State { Ready, Running, Waiting, Outside, Terminated };

    _KTHREAD object{};
    int id = 0;
    std::string name;
    bool created = false;       // started by the simulation (it owns the host thread) rather than attached
    bool system_thread = false; // a driver's, started through PsCreateSystemThread
    State state = State::Ready;
    std::condition_variable cv;

    WaitBlock wait_block{};
    DISPATCHER_HEADER* wait_object = nullptr;
    KWAIT_REASON wait_reason = Executive;
    bool has_deadline = false;
    Ticks deadline = 0;
    uint64_t timer_seq = 0;
    NTSTATUS wait_status = STATUS_SUCCESS;

    KIRQL irql = PASSIVE_LEVEL;
    int platform_depth = 0; // operations entered and not yet returned (entry.h)

    KEVENT sleep_event{}; // never signalled: the thread sleeps on it
    std::vector<KMUTANT*> owned_mutexes;
    std::map<UCHAR, uint64_t> timeouts; // its waits that ended by their timeout, by the object's type
    std::function<void()> body;
    std::thread host;
    // Where PsTerminateSystemThread leaves the thread's frames: set while a system thread's start routine
    // runs (ps.cpp).
    std::jmp_buf* exit_point = nullptr;
};

class Scheduler {
public:
    Scheduler(Verifier& verifier, SchedulerOptions options);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Threads.
    SimThread* Attach(std::string name); // the calling host thread joins the simulation
    void Detach();                       // the calling (attached) thread leaves it for good
    PKTHREAD Start(std::string name, std::function<void()> body, bool system_thread = false);
    // A system thread's start routine returns to `point` (a setjmp there) when the thread ends early;
    // null once the routine has returned.
    void SetExitPoint(std::jmp_buf* point);
    // PsTerminateSystemThread: a longjmp to the running thread's exit point, abandoning the frames
    // between. The caller's frames up to the exit point must hold no objects with destructors.
    [[noreturn]] void ExitCurrentThread(NTSTATUS status);
    void LeaveTemporarily(); // the calling thread steps outside: it no longer counts until it rejoins
    // The thread that stepped outside comes back: it queues as ready and blocks until it has the
    // processor again.
    void RejoinAndWaitForProcessor();
    SimThread* Current() const; // null for a host thread the simulation does not know
    int CurrentId() const;      // 0 for an unknown thread
    std::string ThreadName(int id) const;
    size_t LiveThreads() const; // known threads that have not ended

    // Time.
    Ticks Now() const;
    TimeMode mode() const { return options_.mode; }
    bool entry_switch_points() const { return options_.entry_switch_points; }
    void Sleep(Ticks duration); // the calling thread waits that long on the clock
    void Yield();               // the calling thread lets every ready thread run first
    // The calling thread keeps the processor busy for `duration`, as in a port access or a stall: the
    // clock moves on, and threads whose timeouts fall due meanwhile become ready, to run at the next
    // switch point. Nothing for a thread that does not hold the processor, nor in real-time mode.
    void Spend(Ticks duration);

    // Dispatcher objects, as the Ke routines use them.
    void InitObject(DISPATCHER_HEADER* header, KOBJECTS type, LONG state);
    NTSTATUS Wait(DISPATCHER_HEADER* object, KWAIT_REASON reason, const LARGE_INTEGER* timeout);
    LONG SetEvent(KEVENT* event);
    LONG ResetEvent(KEVENT* event);
    void InitMutex(KMUTANT* mutex);
    LONG ReleaseMutex(KMUTANT* mutex);
    LONG ReleaseSemaphore(KSEMAPHORE* semaphore, LONG adjustment);
    LONG ReadState(const DISPATCHER_HEADER* header) const;
    // A switch to another ready thread, when the seed asks for one and the thread runs below
    // DISPATCH_LEVEL.
    void PreemptionPoint();
    // A new seed and switch-point settings from now on, for tests that try many seeds on one machine.
    void Reseed(uint64_t seed, unsigned preempt_percent, bool entry_switch_points = true);
    // How many waits of the drivers' system threads on objects of one type ended by their timeout. A
    // monitor thread's interval is such a wait, on whatever its stop request signals.
    uint64_t SystemThreadTimeouts(KOBJECTS type) const;

    // Labels used in reports (deadlocks, verifier): "SioMutex" reads better than an address.
    void NameObject(const void* object, std::string name);
    std::string DescribeThreads() const; // one line a thread, with what it waits on

private:
    using Lock = std::unique_lock<std::mutex>;

    SimThread* NewThread(std::string name, bool created);
    void RunThread(SimThread* thread);
    void TerminateLocked(SimThread* thread);
    void WaitForProcessor(Lock& lk, SimThread* thread);
    void DispatchLocked();
    void YieldLocked(Lock& lk, SimThread* me);
    void AdvanceToLocked(Ticks time);
    void ExpireTimersLocked();
    void MakeReadyLocked(SimThread* thread, NTSTATUS status);
    static void CountTimeoutLocked(SimThread* thread, const DISPATCHER_HEADER* object);
    void WakeWaitersLocked(DISPATCHER_HEADER* object);
    void AfterSignalLocked();
    bool SignaledFor(const DISPATCHER_HEADER* object, const SimThread* thread) const;
    void SatisfyLocked(DISPATCHER_HEADER* object, SimThread* thread);
    void ReleaseOwnershipLocked(KMUTANT* mutex, SimThread* owner);
    SimThread* RequireRunning(const char* operation) const;
    Ticks NowLocked() const;
    std::string DescribeObjectLocked(const DISPATCHER_HEADER* object) const;
    std::string DescribeThreadsLocked() const;
    void TimerLoop();

    Verifier& verifier_;
    SchedulerOptions options_;
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<SimThread>> threads_;
    SimThread* running_ = nullptr;
    std::deque<SimThread*> ready_;
    std::set<std::tuple<Ticks, uint64_t, SimThread*>> timers_;
    uint64_t next_timer_seq_ = 0;
    // Written under mu_; read without it in virtual mode (every port access and timestamp reads it).
    std::atomic<Ticks> now_ = 0;
    std::mt19937_64 rng_;
    std::map<const void*, std::string> names_;

    // Real-time mode: the host instant at which the clock read real_base_ticks_.
    std::chrono::steady_clock::time_point real_base_;
    Ticks real_base_ticks_ = 0;
    std::condition_variable timer_cv_;
    bool stopping_ = false;
    std::thread timer_thread_;
};

} // namespace sim
