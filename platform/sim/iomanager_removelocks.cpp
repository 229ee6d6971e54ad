// The I/O manager's remove locks: who holds each, and the drain before a device's removal.
#include "format.h"
#include "iomanager.h"

#include <algorithm>

#include "iomanager_records.h"
#include "pool.h"
#include "scheduler.h"

namespace sim {
namespace {

// A checked build's limit on one hold: MaxLockedMinutes of the clock (none when zero).
bool HeldTooLong(const RemoveLockRecord& lock, const RemoveLockHolder& holder, Ticks now)
{
    return lock.max_locked_minutes > 0 && now - holder.time > Seconds(60) * lock.max_locked_minutes;
}

} // namespace

void IoManager::InitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG tag, ULONG max_locked_minutes,
                                     ULONG high_watermark)
{
    lock->Common.Removed = FALSE;
    lock->Common.IoCount = 1; // the lock's own bias, dropped by the release-and-wait
    KeInitializeEvent(&lock->Common.RemoveEvent, NotificationEvent, FALSE);
    scheduler_.NameObject(&lock->Common.RemoveEvent,
                          "remove lock " + Pointer(lock) + " '" + Pool::TagText(tag) + "'");
    std::lock_guard lk(mu_);
    remove_locks_[lock] = {
        tag, static_cast<LONG>(max_locked_minutes), static_cast<LONG>(high_watermark), {}, 0};
}

NTSTATUS IoManager::AcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line)
{
    std::lock_guard lk(mu_);
    if (lock->Common.Removed) {
        return STATUS_DELETE_PENDING;
    }
    lock->Common.IoCount++;
    RemoveLockRecord& record = remove_locks_[lock];
    auto& holders = record.holders;
    holders.push_back({tag, file != nullptr ? file : "", line, scheduler_.Now(),
                       scheduler_.ThreadName(scheduler_.CurrentId())});
    // The high watermark is a checked build's debugging aid (an assertion there); a free build, which
    // this machine is, lets the holders grow. The peak is kept so that tests can see it, and each time
    // past the watermark is counted for the summary.
    record.peak = std::max(record.peak, holders.size());
    if (record.high_watermark > 0 && holders.size() > static_cast<size_t>(record.high_watermark)) {
        remove_lock_limits_.over_watermark++;
    }
    return STATUS_SUCCESS;
}

void IoManager::ReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag)
{
    bool drained = false;
    {
        std::lock_guard lk(mu_);
        RemoveLockRecord& record = remove_locks_[lock];
        auto& holders = record.holders;
        auto it = std::find_if(holders.rbegin(), holders.rend(),
                               [&](const RemoveLockHolder& h) { return h.tag == tag; });
        if (it == holders.rend()) {
            Report("IoReleaseRemoveLock of remove lock " + Pointer(lock) + " with tag " + Pointer(tag) +
                   ": release without acquire (that tag holds nothing)");
            return;
        }
        if (HeldTooLong(record, *it, scheduler_.Now())) {
            remove_lock_limits_.long_holds++;
        }
        holders.erase(std::next(it).base());
        drained = --lock->Common.IoCount == 0;
    }
    if (drained) {
        KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

void IoManager::ReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID tag)
{
    {
        std::lock_guard lk(mu_);
        lock->Common.Removed = TRUE;
    }
    ReleaseRemoveLock(lock, tag);
    bool drained;
    {
        std::lock_guard lk(mu_);
        drained = --lock->Common.IoCount == 0;
        if (!drained) {
            // A drain that never ends shows in the deadlock report with who still holds the lock.
            const RemoveLockRecord& record = remove_locks_[lock];
            std::string name =
                "remove lock " + Pointer(lock) + " '" + Pool::TagText(record.tag) + "' draining, held by";
            for (const RemoveLockHolder& h : record.holders) {
                name += " [tag " + Pointer(h.tag) + " " + h.file + ":" + std::to_string(h.line) +
                        " thread \"" + h.thread + "\"]";
            }
            scheduler_.NameObject(&lock->Common.RemoveEvent, name);
        }
    }
    if (drained) {
        KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&lock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

// Remove locks in a device's memory (its extension) go with the device.
void IoManager::ForgetRemoveLocksLocked(const void* memory, size_t bytes)
{
    for (auto l = remove_locks_.begin(); l != remove_locks_.end();) {
        if (Within(l->first, memory, bytes)) {
            l = remove_locks_.erase(l);
        } else {
            ++l;
        }
    }
}

std::vector<RemoveLockHolder> IoManager::Holders(const IO_REMOVE_LOCK* lock) const
{
    std::lock_guard lk(mu_);
    auto it = remove_locks_.find(lock);
    return it != remove_locks_.end() ? it->second.holders : std::vector<RemoveLockHolder>{};
}

RemoveLockLimits IoManager::RemoveLockLimitsSeen() const
{
    std::lock_guard lk(mu_);
    RemoveLockLimits limits = remove_lock_limits_;
    const Ticks now = scheduler_.Now();
    for (const auto& [lock, record] : remove_locks_) {
        for (const RemoveLockHolder& h : record.holders) {
            limits.long_holds += HeldTooLong(record, h, now) ? 1 : 0;
        }
    }
    return limits;
}

size_t IoManager::PeakHolders(const IO_REMOVE_LOCK* lock) const
{
    std::lock_guard lk(mu_);
    auto it = remove_locks_.find(lock);
    return it != remove_locks_.end() ? it->second.peak : 0;
}

} // namespace sim
