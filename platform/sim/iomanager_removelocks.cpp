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
bool HeldTooLong(const IO_REMOVE_LOCK* lock, const RemoveLockHolder& holder, Ticks now)
{
    return lock->MaxLockedMinutes > 0 && now - holder.time > Seconds(60) * lock->MaxLockedMinutes;
}

} // namespace

void IoManager::InitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG tag, ULONG max_locked_minutes,
                                     ULONG high_watermark)
{
    lock->Common.Removed = FALSE;
    lock->Common.IoCount = 1; // the lock's own bias, dropped by the release-and-wait
    lock->AllocateTag = tag;
    lock->MaxLockedMinutes = static_cast<LONG>(max_locked_minutes);
    lock->HighWatermark = static_cast<LONG>(high_watermark);
    KeInitializeEvent(&lock->Common.RemoveEvent, NotificationEvent, FALSE);
    scheduler_.NameObject(&lock->Common.RemoveEvent,
                          "remove lock " + Pointer(lock) + " '" + Pool::TagText(tag) + "'");
    std::lock_guard lk(mu_);
    remove_locks_[lock].clear();
}

NTSTATUS IoManager::AcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line)
{
    std::lock_guard lk(mu_);
    if (lock->Common.Removed) {
        return STATUS_DELETE_PENDING;
    }
    lock->Common.IoCount++;
    auto& holders = remove_locks_[lock];
    holders.push_back({tag, file != nullptr ? file : "", line, scheduler_.Now(),
                       scheduler_.ThreadName(scheduler_.CurrentId())});
    // The high watermark is a checked build's debugging aid (an assertion there); a free build, which
    // this machine is, lets the holders grow. The peak is kept so that tests can see it, and each time
    // past the watermark is counted for the summary.
    size_t& peak = remove_lock_peaks_[lock];
    peak = std::max(peak, holders.size());
    if (lock->HighWatermark > 0 && holders.size() > static_cast<size_t>(lock->HighWatermark)) {
        remove_lock_limits_.over_watermark++;
    }
    return STATUS_SUCCESS;
}

void IoManager::ReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag)
{
    bool drained = false;
    {
        std::lock_guard lk(mu_);
        auto& holders = remove_locks_[lock];
        auto it = std::find_if(holders.rbegin(), holders.rend(),
                               [&](const RemoveLockHolder& h) { return h.tag == tag; });
        if (it == holders.rend()) {
            Report("IoReleaseRemoveLock of remove lock " + Pointer(lock) + " with tag " + Pointer(tag) +
                   ": release without acquire (that tag holds nothing)");
            return;
        }
        if (HeldTooLong(lock, *it, scheduler_.Now())) {
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
            std::string name = "remove lock " + Pointer(lock) + " '" + Pool::TagText(lock->AllocateTag) +
                               "' draining, held by";
            for (const RemoveLockHolder& h : remove_locks_[lock]) {
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
    const auto* begin = static_cast<const char*>(memory);
    for (auto l = remove_locks_.begin(); l != remove_locks_.end();) {
        const auto* p = reinterpret_cast<const char*>(l->first);
        if (p >= begin && p < begin + bytes) {
            remove_lock_peaks_.erase(l->first);
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
    return it != remove_locks_.end() ? it->second : std::vector<RemoveLockHolder>{};
}

RemoveLockLimits IoManager::RemoveLockLimitsSeen() const
{
    std::lock_guard lk(mu_);
    RemoveLockLimits limits = remove_lock_limits_;
    const Ticks now = scheduler_.Now();
    for (const auto& [lock, holders] : remove_locks_) {
        for (const RemoveLockHolder& h : holders) {
            limits.long_holds += HeldTooLong(lock, h, now) ? 1 : 0;
        }
    }
    return limits;
}

size_t IoManager::PeakHolders(const IO_REMOVE_LOCK* lock) const
{
    std::lock_guard lk(mu_);
    auto it = remove_lock_peaks_.find(lock);
    return it != remove_lock_peaks_.end() ? it->second : 0;
}

} // namespace sim
