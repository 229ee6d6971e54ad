// The scheduler's dispatcher objects, as the Ke routines use them: events, mutexes, semaphores and
// threads; waiting on one, with or without a timeout, and signalling it.
#include "scheduler.h"

#include <algorithm>
#include <utility>

#include "scheduler_lists.h"
#include "verifier.h"

namespace sim {

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
            CountTimeoutLocked(me, object);
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

} // namespace sim
