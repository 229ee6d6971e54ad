#include "scheduler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>
#include <sstream>

#include "verifier.h"

namespace sim {
namespace {

thread_local SimThread* tls_thread = nullptr;
thread_local const Scheduler* tls_scheduler = nullptr;

void InitializeListHead(LIST_ENTRY* head)
{
    head->Flink = head;
    head->Blink = head;
}

void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry)
{
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

void RemoveEntryList(LIST_ENTRY* entry)
{
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = nullptr;
}

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

PKTHREAD Scheduler::Start(std::string name, std::function<void()> body)
{
    Lock lk(mu_);
    SimThread* t = NewThread(std::move(name), true);
    t->body = std::move(body);
    ready_.push_back(t);
    t->host = std::thread([this, t] { RunThread(t); });
    if (running_ == nullptr) {
        DispatchLocked();
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
    try {
        thread->body();
    } catch (const ThreadExit&) {
    }
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

void Scheduler::ExitCurrentThread(NTSTATUS status)
{
    {
        std::lock_guard lk(mu_);
        SimThread* me = RequireRunning("PsTerminateSystemThread");
        if (!me->created) {
            Fatal("PsTerminateSystemThread from thread \"" + me->name +
                  "\", which the simulation did not start");
        }
    }
    throw ThreadExit{status};
}

void Scheduler::LeaveTemporarily()
{
    Lock lk(mu_);
    SimThread* me = RequireRunning("LeaveTemporarily");
    me->state = SimThread::State::Outside;
    running_ = nullptr;
    DispatchLocked();
}

void Scheduler::Return()
{
    Lock lk(mu_);
    SimThread* me = tls_thread;
    if (me == nullptr || me->state != SimThread::State::Outside) {
        Fatal("Return from a thread that did not step outside the simulation");
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
            Fatal("deadlock at " + FormatTicks(now_) +
                  ": every simulated thread waits and no timeout is pending\n" + DescribeThreadsLocked());
        }
        return;
    }
}

void Scheduler::AdvanceToLocked(Ticks time)
{
    now_ = std::max(now_, time);
    ExpireTimersLocked();
}

void Scheduler::ExpireTimersLocked()
{
    const Ticks now = NowLocked();
    while (!timers_.empty() && std::get<0>(*timers_.begin()) <= now) {
        SimThread* t = std::get<2>(*timers_.begin());
        timeouts_[t->wait_object]++;
        RemoveEntryList(&t->wait_block.Link);
        MakeReadyLocked(t, STATUS_TIMEOUT);
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

uint64_t Scheduler::Timeouts(const void* object) const
{
    std::lock_guard lk(mu_);
    auto it = timeouts_.find(object);
    return it == timeouts_.end() ? 0 : it->second;
}

Ticks Scheduler::Now() const
{
    std::lock_guard lk(mu_);
    return NowLocked();
}

Ticks Scheduler::NowLocked() const
{
    if (options_.mode == TimeMode::Virtual) {
        return now_;
    }
    const double host = std::chrono::duration<double>(std::chrono::steady_clock::now() - real_base_).count();
    return real_base_ticks_ + static_cast<Ticks>(host * options_.real_time_scale * kTicksPerSecond);
}

void Scheduler::TimerLoop()
{
    Lock lk(mu_);
    while (!stopping_) {
        ExpireTimersLocked();
        if (running_ == nullptr && !ready_.empty()) {
            DispatchLocked();
        }
        if (timers_.empty()) {
            timer_cv_.wait(lk);
            continue;
        }
        const Ticks due = std::get<0>(*timers_.begin()) - real_base_ticks_;
        const auto host_due =
            real_base_ +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
                static_cast<double>(due) / kTicksPerSecond / options_.real_time_scale));
        timer_cv_.wait_until(lk, host_due);
    }
}

void Scheduler::Sleep(Ticks duration)
{
    SimThread* me = Current();
    if (me == nullptr) {
        Fatal("Sleep from a host thread the simulation does not know; attach it first");
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -duration;
    Wait(&me->sleep_event.Header, DelayExecution, &timeout);
}

void Scheduler::InitObject(DISPATCHER_HEADER* header, KOBJECTS type, LONG state)
{
    std::lock_guard lk(mu_);
    // The object's storage may hold anything before its first initialization (a stack object), so
    // waiters are found from the threads' side.
    for (const auto& t : threads_) {
        if (t->state == SimThread::State::Waiting && t->wait_object == header) {
            verifier_.Report("dispatcher",
                             DescribeObjectLocked(header) + " initialized again while threads wait on it");
            // The waiters stay linked to the old list; leaving the object alone keeps them consistent.
            return;
        }
    }
    header->Type = static_cast<UCHAR>(type);
    header->SignalState = state;
    InitializeListHead(&header->WaitListHead);
}

void Scheduler::InitMutex(KMUTANT* mutex)
{
    {
        std::lock_guard lk(mu_);
        for (const auto& t : threads_) {
            const auto& owned = t->owned_mutexes;
            if (std::find(owned.begin(), owned.end(), mutex) != owned.end()) {
                verifier_.Report("dispatcher", DescribeObjectLocked(&mutex->Header) +
                                                   " initialized again while a thread owns it");
                return;
            }
        }
    }
    InitObject(&mutex->Header, MutantObject, 1);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
    mutex->ApcDisable = 1;
}

bool Scheduler::SignaledFor(const DISPATCHER_HEADER* object, const SimThread* thread) const
{
    if (object->Type == MutantObject) {
        const auto* m = reinterpret_cast<const KMUTANT*>(object);
        return object->SignalState > 0 || m->OwnerThread == &thread->object;
    }
    return object->SignalState > 0;
}

void Scheduler::SatisfyLocked(DISPATCHER_HEADER* object, SimThread* thread)
{
    switch (object->Type) {
        case EventSynchronizationObject:
            object->SignalState = 0;
            break;
        case SemaphoreObject:
            object->SignalState--;
            break;
        case MutantObject: {
            auto* m = reinterpret_cast<KMUTANT*>(object);
            if (object->SignalState == 1) {
                m->OwnerThread = &thread->object;
                thread->owned_mutexes.push_back(m);
            }
            object->SignalState--;
            break;
        }
        default:
            break; // notification events and threads stay signalled
    }
}

NTSTATUS Scheduler::Wait(DISPATCHER_HEADER* object, KWAIT_REASON reason, const LARGE_INTEGER* timeout)
{
    Lock lk(mu_);
    SimThread* me = RequireRunning("KeWaitForSingleObject");
    if (object->WaitListHead.Flink == nullptr) {
        Fatal("KeWaitForSingleObject on an object that was never initialized (" +
              DescribeObjectLocked(object) + ") by thread \"" + me->name + "\"");
    }
    if (SignaledFor(object, me)) {
        const bool abandoned = object->Type == MutantObject &&
                               reinterpret_cast<KMUTANT*>(object)->Abandoned && object->SignalState == 1;
        SatisfyLocked(object, me);
        if (abandoned) {
            reinterpret_cast<KMUTANT*>(object)->Abandoned = FALSE;
            return STATUS_ABANDONED;
        }
        return STATUS_SUCCESS;
    }
    Ticks deadline = 0;
    bool has_deadline = false;
    if (timeout != nullptr) {
        const Ticks now = NowLocked();
        deadline = timeout->QuadPart < 0 ? now - timeout->QuadPart : timeout->QuadPart - kBootSystemTime;
        if (timeout->QuadPart == 0 || deadline <= now) {
            // A wait that does not block still ends the thread's turn when others are ready: a thread
            // polling with zero timeouts must not keep the processor (and the clock) to itself.
            timeouts_[object]++;
            YieldLocked(lk, me);
            return STATUS_TIMEOUT;
        }
        has_deadline = true;
    }
    InsertTailList(&object->WaitListHead, &me->wait_block.Link);
    me->wait_object = object;
    me->wait_reason = reason;
    me->has_deadline = has_deadline;
    me->deadline = deadline;
    if (has_deadline) {
        me->timer_seq = next_timer_seq_++;
        timers_.insert({deadline, me->timer_seq, me});
        if (options_.mode == TimeMode::RealTime) {
            timer_cv_.notify_one();
        }
    }
    me->state = SimThread::State::Waiting;
    running_ = nullptr;
    DispatchLocked();
    WaitForProcessor(lk, me);
    return me->wait_status;
}

void Scheduler::WakeWaitersLocked(DISPATCHER_HEADER* object)
{
    LIST_ENTRY* head = &object->WaitListHead;
    for (LIST_ENTRY* entry = head->Flink; entry != head && object->SignalState > 0;) {
        LIST_ENTRY* next = entry->Flink;
        SimThread* t = reinterpret_cast<WaitBlock*>(entry)->Thread;
        NTSTATUS status = STATUS_SUCCESS;
        if (object->Type == MutantObject && reinterpret_cast<KMUTANT*>(object)->Abandoned) {
            reinterpret_cast<KMUTANT*>(object)->Abandoned = FALSE;
            status = STATUS_ABANDONED;
        }
        SatisfyLocked(object, t);
        RemoveEntryList(entry);
        MakeReadyLocked(t, status);
        entry = next;
    }
}

// A signal from a host thread outside the simulation may find the processor idle.
void Scheduler::AfterSignalLocked()
{
    if (running_ == nullptr) {
        DispatchLocked();
    }
}

LONG Scheduler::SetEvent(KEVENT* event)
{
    Lock lk(mu_);
    const LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    WakeWaitersLocked(&event->Header);
    AfterSignalLocked();
    return previous;
}

LONG Scheduler::ResetEvent(KEVENT* event)
{
    std::lock_guard lk(mu_);
    return std::exchange(event->Header.SignalState, 0);
}

void Scheduler::ReleaseOwnershipLocked(KMUTANT* mutex, SimThread* owner)
{
    mutex->OwnerThread = nullptr;
    auto& owned = owner->owned_mutexes;
    owned.erase(std::remove(owned.begin(), owned.end(), mutex), owned.end());
}

LONG Scheduler::ReleaseMutex(KMUTANT* mutex)
{
    Lock lk(mu_);
    SimThread* me = Current();
    const LONG previous = mutex->Header.SignalState;
    if (me == nullptr || mutex->OwnerThread != &me->object) {
        const std::string who = me != nullptr ? "thread \"" + me->name + "\"" : "a host thread";
        const std::string owner = mutex->OwnerThread != nullptr
                                      ? "owned by \"" + mutex->OwnerThread->Thread->name + "\""
                                      : "not owned";
        verifier_.Report("dispatcher", "KeReleaseMutex on " + DescribeObjectLocked(&mutex->Header) + " by " +
                                           who + ": " + owner);
        return previous;
    }
    mutex->Header.SignalState++;
    if (mutex->Header.SignalState == 1) {
        ReleaseOwnershipLocked(mutex, me);
        WakeWaitersLocked(&mutex->Header);
    }
    AfterSignalLocked();
    return previous;
}

LONG Scheduler::ReleaseSemaphore(KSEMAPHORE* semaphore, LONG adjustment)
{
    Lock lk(mu_);
    const LONG previous = semaphore->Header.SignalState;
    if (adjustment <= 0 || previous > semaphore->Limit - adjustment) {
        verifier_.Report("dispatcher", "KeReleaseSemaphore on " + DescribeObjectLocked(&semaphore->Header) +
                                           " by " + std::to_string(adjustment) + " exceeds its limit " +
                                           std::to_string(semaphore->Limit) + " (count " +
                                           std::to_string(previous) + ")");
        return previous;
    }
    semaphore->Header.SignalState += adjustment;
    WakeWaitersLocked(&semaphore->Header);
    AfterSignalLocked();
    return previous;
}

LONG Scheduler::ReadState(const DISPATCHER_HEADER* header) const
{
    std::lock_guard lk(mu_);
    return header->SignalState;
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
    if (me == nullptr || running_ != me || ready_.empty() || rng_() % 100 >= options_.preempt_percent) {
        return;
    }
    YieldLocked(lk, me);
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
