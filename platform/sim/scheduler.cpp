// The scheduler's threads and its one processor: who runs, who is ready, and what each waits on in
// reports. The clock is in scheduler_clock.cpp, the dispatcher objects in scheduler_objects.cpp.
#include "scheduler.h"

#include <algorithm>
#include <utility>
#include <sstream>

#include "scheduler_lists.h"
#include "verifier.h"

namespace sim {
namespace {

thread_local SimThread* tls_thread = nullptr;
thread_local const Scheduler* tls_scheduler = nullptr;

const char* StateName(SimThread::State s)
{
    switch (s) {
        case SimThread::State::Ready:
            return "ready";
        case SimThread::State::Running:
            return "running";
        case SimThread::State::Waiting:
            return "waiting";
        case SimThread::State::Outside:
            return "outside the simulation";
        case SimThread::State::Terminated:
            return "ended";
    }
    return "?";
}

const char* TypeName(UCHAR type)
{
    switch (type) {
        case EventNotificationObject:
            return "notification event";
        case EventSynchronizationObject:
            return "synchronization event";
        case MutantObject:
            return "mutex";
        case SemaphoreObject:
            return "semaphore";
        case ThreadObject:
            return "thread";
        default:
            return "object";
    }
}

} // namespace

Scheduler::Scheduler(Verifier& verifier, SchedulerOptions options)
    : verifier_(verifier), options_(options), rng_(options.seed)
{
    if (options_.mode == TimeMode::RealTime) {
        real_base_ = std::chrono::steady_clock::now();
        timer_thread_ = std::thread([this] { TimerLoop(); });
    }
}

Scheduler::~Scheduler()
{
    Lock lk(mu_);
    if (tls_thread != nullptr && tls_scheduler == this && tls_thread->state == SimThread::State::Running) {
        TerminateLocked(tls_thread);
    }
    std::string alive;
    for (const auto& t : threads_) {
        if (t->state != SimThread::State::Terminated) {
            alive += "\n  " + t->name;
        }
    }
    if (!alive.empty()) {
        Fatal("machine shut down while simulated threads still live:" + alive + "\n" +
              DescribeThreadsLocked());
    }
    stopping_ = true;
    timer_cv_.notify_all();
    lk.unlock();
    if (timer_thread_.joinable()) {
        timer_thread_.join();
    }
    for (auto& t : threads_) {
        if (t->host.joinable()) {
            t->host.join();
        }
    }
}

SimThread* Scheduler::NewThread(std::string name, bool created)
{
    auto t = std::make_unique<SimThread>();
    t->id = static_cast<int>(threads_.size()) + 1;
    t->name = std::move(name);
    t->created = created;
    t->object.Thread = t.get();
    t->object.Header.Type = ThreadObject;
    t->object.Header.SignalState = 0;
    InitializeListHead(&t->object.Header.WaitListHead);
    t->sleep_event.Header.Type = EventNotificationObject;
    InitializeListHead(&t->sleep_event.Header.WaitListHead);
    t->wait_block.Thread = t.get();
    threads_.push_back(std::move(t));
    return threads_.back().get();
}

SimThread* Scheduler::Attach(std::string name)
{
    Lock lk(mu_);
    if (tls_thread != nullptr) {
        Fatal("thread \"" + tls_thread->name + "\" attached to the simulation twice");
    }
    SimThread* t = NewThread(std::move(name), false);
    tls_thread = t;
    tls_scheduler = this;
    ready_.push_back(t);
    if (running_ == nullptr) {
        DispatchLocked();
    }
    WaitForProcessor(lk, t);
    return t;
}

void Scheduler::Detach()
{
    Lock lk(mu_);
    SimThread* me = RequireRunning("Detach");
    TerminateLocked(me);
}

PKTHREAD Scheduler::Start(std::string name, std::function<void()> body, bool system_thread)
{
    Lock lk(mu_);
    // The host threads of the threads that have ended are joined here rather than with the machine, so
    // that a long run that starts thread after thread does not keep every ended one's stack. Their
    // thread objects stay: a driver may still hold a reference and wait on one.
    std::vector<std::thread> ended;
    for (const auto& old : threads_) {
        if (old->state == SimThread::State::Terminated && old->host.joinable()) {
            ended.push_back(std::move(old->host));
        }
    }
    SimThread* t = NewThread(std::move(name), true);
    t->system_thread = system_thread;
    t->body = std::move(body);
    ready_.push_back(t);
    t->host = std::thread([this, t] { RunThread(t); });
    if (running_ == nullptr) {
        DispatchLocked();
    }
    lk.unlock();
    for (std::thread& host : ended) {
        host.join(); // it has ended: all it has left is to let go of the lock
    }
    return &t->object;
}

void Scheduler::RunThread(SimThread* thread)
{
    {
        Lock lk(mu_);
        tls_thread = thread;
        tls_scheduler = this;
        WaitForProcessor(lk, thread);
    }
    thread->body();
    thread->body = nullptr; // what it captured goes now, not with the machine
    Lock lk(mu_);
    TerminateLocked(thread);
}

void Scheduler::TerminateLocked(SimThread* thread)
{
    while (!thread->owned_mutexes.empty()) {
        KMUTANT* m = thread->owned_mutexes.back();
        verifier_.Report("dispatcher", "thread \"" + thread->name + "\" ended while owning " +
                                           DescribeObjectLocked(&m->Header) + "; the mutex is abandoned");
        m->Abandoned = TRUE;
        m->Header.SignalState = 1;
        ReleaseOwnershipLocked(m, thread);
        WakeWaitersLocked(&m->Header);
    }
    thread->state = SimThread::State::Terminated;
    thread->object.Header.SignalState = 1;
    WakeWaitersLocked(&thread->object.Header);
    tls_thread = nullptr;
    tls_scheduler = nullptr;
    if (running_ == thread) {
        running_ = nullptr;
        DispatchLocked();
    }
}

void Scheduler::SetExitPoint(std::jmp_buf* point)
{
    std::lock_guard lk(mu_);
    RequireRunning("SetExitPoint")->exit_point = point;
}

void Scheduler::ExitCurrentThread(NTSTATUS status)
{
    (void)status; // a system thread's exit status is not kept: nothing waits for it
    std::jmp_buf* point = nullptr;
    {
        std::lock_guard lk(mu_);
        SimThread* me = RequireRunning("PsTerminateSystemThread");
        if (!me->created || me->exit_point == nullptr) {
            Fatal("PsTerminateSystemThread from thread \"" + me->name +
                  "\", which is not a system thread the simulation started");
        }
        point = me->exit_point;
    }
    std::longjmp(*point, 1);
}

void Scheduler::LeaveTemporarily()
{
    Lock lk(mu_);
    SimThread* me = RequireRunning("LeaveTemporarily");
    me->state = SimThread::State::Outside;
    running_ = nullptr;
    DispatchLocked();
}

void Scheduler::RejoinAndWaitForProcessor()
{
    Lock lk(mu_);
    SimThread* me = tls_thread;
    if (me == nullptr || me->state != SimThread::State::Outside) {
        Fatal("RejoinAndWaitForProcessor from a thread that did not step outside the simulation");
    }
    me->state = SimThread::State::Ready;
    ready_.push_back(me);
    if (running_ == nullptr) {
        DispatchLocked();
    }
    WaitForProcessor(lk, me);
}

SimThread* Scheduler::Current() const
{
    return tls_scheduler == this ? tls_thread : nullptr;
}

int Scheduler::CurrentId() const
{
    const SimThread* t = Current();
    return t != nullptr ? t->id : 0;
}

std::string Scheduler::ThreadName(int id) const
{
    std::lock_guard lk(mu_);
    if (id <= 0 || id > static_cast<int>(threads_.size())) {
        return "host";
    }
    return threads_[id - 1]->name;
}

size_t Scheduler::LiveThreads() const
{
    std::lock_guard lk(mu_);
    return std::count_if(threads_.begin(), threads_.end(),
                         [](const auto& t) { return t->state != SimThread::State::Terminated; });
}

SimThread* Scheduler::RequireRunning(const char* operation) const
{
    SimThread* me = Current();
    if (me == nullptr) {
        Fatal(std::string(operation) + " from a host thread the simulation does not know; attach it first");
    }
    if (running_ != me) {
        Fatal(std::string(operation) + " from thread \"" + me->name + "\" while it is " +
              StateName(me->state));
    }
    return me;
}

void Scheduler::WaitForProcessor(Lock& lk, SimThread* thread)
{
    thread->cv.wait(lk, [&] { return running_ == thread; });
}

// Hands the processor to the next ready thread. In virtual time, when no thread is ready, the clock
// jumps to the earliest timeout; with none pending and threads waiting, nothing can ever run again.
void Scheduler::DispatchLocked()
{
    for (;;) {
        if (!ready_.empty()) {
            size_t pick = 0;
            if (options_.seed != 0 && ready_.size() > 1) {
                pick = static_cast<size_t>(rng_() % ready_.size());
            }
            SimThread* t = ready_[pick];
            ready_.erase(ready_.begin() + static_cast<std::ptrdiff_t>(pick));
            t->state = SimThread::State::Running;
            running_ = t;
            t->cv.notify_one();
            return;
        }
        if (options_.mode == TimeMode::RealTime) {
            timer_cv_.notify_one();
            return;
        }
        if (!timers_.empty()) {
            AdvanceToLocked(std::get<0>(*timers_.begin()));
            continue;
        }
        bool waiting = false;
        bool outside = false;
        for (const auto& t : threads_) {
            waiting |= t->state == SimThread::State::Waiting;
            outside |= t->state == SimThread::State::Outside;
        }
        if (waiting && !outside) {
            Fatal("deadlock at " + FormatTicks(now_.load()) +
                  ": every simulated thread waits and no timeout is pending\n" + DescribeThreadsLocked());
        }
        return;
    }
}

void Scheduler::MakeReadyLocked(SimThread* thread, NTSTATUS status)
{
    if (thread->has_deadline) {
        timers_.erase({thread->deadline, thread->timer_seq, thread});
        thread->has_deadline = false;
    }
    thread->wait_object = nullptr;
    thread->wait_status = status;
    thread->state = SimThread::State::Ready;
    ready_.push_back(thread);
}

void Scheduler::YieldLocked(Lock& lk, SimThread* me)
{
    if (ready_.empty()) {
        return;
    }
    me->state = SimThread::State::Ready;
    ready_.push_back(me);
    running_ = nullptr;
    DispatchLocked();
    WaitForProcessor(lk, me);
}

void Scheduler::Yield()
{
    Lock lk(mu_);
    YieldLocked(lk, RequireRunning("Yield"));
}

void Scheduler::PreemptionPoint()
{
    if (options_.seed == 0 || options_.preempt_percent == 0) {
        return;
    }
    Lock lk(mu_);
    SimThread* me = Current();
    if (me == nullptr || running_ != me || me->irql >= DISPATCH_LEVEL || ready_.empty() ||
        rng_() % 100 >= options_.preempt_percent) {
        return;
    }
    YieldLocked(lk, me);
}

void Scheduler::Reseed(uint64_t seed, unsigned preempt_percent, bool entry_switch_points)
{
    std::lock_guard lk(mu_);
    options_.seed = seed;
    options_.preempt_percent = preempt_percent;
    options_.entry_switch_points = entry_switch_points;
    rng_.seed(seed);
}

void Scheduler::NameObject(const void* object, std::string name)
{
    std::lock_guard lk(mu_);
    names_[object] = std::move(name);
}

std::string Scheduler::DescribeObjectLocked(const DISPATCHER_HEADER* object) const
{
    std::ostringstream out;
    out << TypeName(object->Type);
    if (auto it = names_.find(object); it != names_.end()) {
        out << " \"" << it->second << "\"";
    } else if (object->Type == ThreadObject) {
        out << " \"" << reinterpret_cast<const _KTHREAD*>(object)->Thread->name << "\"";
    } else {
        out << " at " << static_cast<const void*>(object);
    }
    if (object->Type == MutantObject) {
        const auto* m = reinterpret_cast<const KMUTANT*>(object);
        if (m->OwnerThread != nullptr) {
            out << " (owned by \"" << m->OwnerThread->Thread->name << "\")";
        }
    }
    return out.str();
}

std::string Scheduler::DescribeThreads() const
{
    std::lock_guard lk(mu_);
    return DescribeThreadsLocked();
}

std::string Scheduler::DescribeThreadsLocked() const
{
    std::ostringstream out;
    for (const auto& t : threads_) {
        if (t->state == SimThread::State::Terminated) {
            continue;
        }
        out << "  thread \"" << t->name << "\" (" << t->id << "): " << StateName(t->state);
        if (t->state == SimThread::State::Waiting && t->wait_object != nullptr) {
            out << " on " << DescribeObjectLocked(t->wait_object) << ", reason " << t->wait_reason;
            out << (t->has_deadline ? ", until " + FormatTicks(t->deadline) : std::string(", no timeout"));
        }
        out << "\n";
    }
    return out.str();
}

} // namespace sim
