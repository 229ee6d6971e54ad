// The scheduler's clock: virtual time that jumps to the next timeout when no thread can run, or real
// time that follows the host's clock; the timeouts of waits; and how reports print an instant.
#include "scheduler.h"

#include <algorithm>
#include <cstdio>

#include "scheduler_lists.h"
#include "verifier.h"

namespace sim {

std::string FormatTicks(Ticks t)
{
    char buf[48];
    const char* sign = t < 0 ? "-" : "";
    uint64_t a = t < 0 ? -static_cast<uint64_t>(t) : static_cast<uint64_t>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%07llu s", sign,
                  static_cast<unsigned long long>(a / kTicksPerSecond),
                  static_cast<unsigned long long>(a % kTicksPerSecond));
    return buf;
}

std::string FormatClock(Ticks t)
{
    char buf[48];
    const char* sign = t < 0 ? "-" : "";
    const uint64_t ms = (t < 0 ? -static_cast<uint64_t>(t) : static_cast<uint64_t>(t)) / kTicksPerMs;
    std::snprintf(
        buf, sizeof buf, "%s%llu:%02llu:%02llu.%03llu", sign, static_cast<unsigned long long>(ms / 3600000),
        static_cast<unsigned long long>(ms / 60000 % 60), static_cast<unsigned long long>(ms / 1000 % 60),
        static_cast<unsigned long long>(ms % 1000));
    return buf;
}

void Scheduler::AdvanceToLocked(Ticks time)
{
    now_.store(std::max(now_.load(), time));
    ExpireTimersLocked();
}

void Scheduler::ExpireTimersLocked()
{
    const Ticks now = NowLocked();
    while (!timers_.empty() && std::get<0>(*timers_.begin()) <= now) {
        SimThread* t = std::get<2>(*timers_.begin());
        CountTimeoutLocked(t, t->wait_object);
        RemoveEntryList(&t->wait_block.Link);
        MakeReadyLocked(t, STATUS_TIMEOUT);
    }
}

void Scheduler::CountTimeoutLocked(SimThread* thread, const DISPATCHER_HEADER* object)
{
    thread->timeouts[object->Type]++;
}

uint64_t Scheduler::SystemThreadTimeouts(KOBJECTS type) const
{
    std::lock_guard lk(mu_);
    uint64_t count = 0;
    for (const auto& t : threads_) {
        if (t->system_thread) {
            const auto it = t->timeouts.find(static_cast<UCHAR>(type));
            count += it == t->timeouts.end() ? 0 : it->second;
        }
    }
    return count;
}

Ticks Scheduler::Now() const
{
    if (options_.mode == TimeMode::Virtual) {
        return now_.load();
    }
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

void Scheduler::Spend(Ticks duration)
{
    if (duration <= 0 || options_.mode != TimeMode::Virtual) {
        return;
    }
    Lock lk(mu_);
    SimThread* me = Current();
    if (me == nullptr || running_ != me) {
        return;
    }
    AdvanceToLocked(now_ + duration);
}

} // namespace sim
