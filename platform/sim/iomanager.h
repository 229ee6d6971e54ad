// The I/O manager: driver and device objects, the object namespace (device names, symbolic links,
// device interfaces), device stacks, requests (IRPs) and their completion, remove locks, and the
// user-mode side's files. The kernel routines of io.h call into it; tests and tools use it to load
// drivers, build and send requests and watch what drivers hold.
//
// Checks run as the kernel's would, but report to the verifier instead of stopping the machine:
// requests used after their final completion or completed with STATUS_PENDING, a dispatch routine's
// return value that does not match what it did with the request (or that leaves it neither completed nor
// pending), power requests that bypass the power manager or whose driver never lets it send the next
// one, remove-lock misuse, devices deleted twice or left attached, a driver unloaded with device objects
// left, and a device deleted while a file's request on it is still pending.
//
// Device objects are plain memory (not pool): the pool's accounting stays with the drivers' own tags.
// Names compare case-insensitively; "\DosDevices\X" and "\??\X" are one name.
//
// One class under one lock, in a file per concern: iomanager_drivers.cpp, _devices, _names, _requests,
// _power, _files and _removelocks; the records they share are in iomanager_records.h.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "eventlog.h"
#include "platform.h"
#include "time.h"

namespace sim {

class Pool;
class Scheduler;
class Verifier;
struct PowerHolder;

struct RemoveLockHolder {
    const void* tag;
    std::string file;
    unsigned line;
    Ticks time;
    std::string thread;
};

// What the I/O manager knows of a remove lock beyond the lock itself: the driver allocates only the free
// build's lock (a count, a flag and an event), so the tag, the limits a checked build would check and who
// holds it are kept here, by the lock's address.
struct RemoveLockRecord {
    ULONG tag = 0;
    LONG max_locked_minutes = 0;
    LONG high_watermark = 0;
    std::vector<RemoveLockHolder> holders;
    size_t peak = 0; // the most holders at once
};

// What a checked build's remove lock would have caught, counted over the machine's life: holds released
// more than the lock's MaxLockedMinutes after they were taken, and acquisitions that left more than its
// HighWatermark holders. Information for the summary, not misuse: a correct request may wait minutes on a
// busy chip, and several clients together pass a small watermark.
struct RemoveLockLimits {
    uint64_t long_holds = 0;
    uint64_t over_watermark = 0;
};

struct DeviceInterface {
    GUID guid;
    std::string link; // "\??\ROOT#QUAV#0000#{60e33cc3-...}", UTF-8
    bool enabled;
    PDEVICE_OBJECT pdo; // null once the physical device object is gone
};

class IoManager {
public:
    IoManager(Verifier& verifier, Scheduler& scheduler, Pool& pool, EventLog& eventlog);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // Drivers. CreateDriverObject makes "\Driver\<name>" (every major function completes with
    // STATUS_INVALID_DEVICE_REQUEST until the driver sets its own) and registers it, and later the device
    // objects it creates, with the event log as source `name` (%1 is the name too). LoadDriver makes one
    // for the service and runs `entry` on the calling thread; a failed entry leaves nothing behind and
    // returns null.
    PDRIVER_OBJECT LoadDriver(std::string service_name, PDRIVER_INITIALIZE entry,
                              std::u16string registry_path, NTSTATUS* status,
                              std::span<const MessageEntry> messages = {});
    void UnloadDriver(PDRIVER_OBJECT driver); // DriverUnload, after checking no device object is left
    PDRIVER_OBJECT CreateDriverObject(std::string name, std::span<const MessageEntry> messages = {});
    std::vector<PDEVICE_OBJECT> Devices(PDRIVER_OBJECT driver) const; // its list, through NextDevice

    // Device objects and stacks (IoCreateDevice, IoDeleteDevice, IoAttachDeviceToDeviceStack,
    // IoDetachDevice). An empty name makes an unnamed device.
    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, std::u16string_view name,
                          DEVICE_TYPE type, ULONG characteristics, bool exclusive, PDEVICE_OBJECT* device);
    void DeleteDevice(PDEVICE_OBJECT device);
    // A failed attach returns null and leaves both stacks as they were: the fault knob makes the next
    // `count` attaches fail (< 0 all, 0 none), as when the target's stack is being torn down.
    PDEVICE_OBJECT Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void FailAttach(int count);
    void Detach(PDEVICE_OBJECT target);
    bool Exists(PDEVICE_OBJECT device) const; // created and not deleted
    // A reference on the top of the device's stack, as a system component that sends the device
    // requests of its own (WMI) takes one for each: the object stays, deleted or not, until Dereference,
    // so that a removal racing the request leaves the driver a device object to refuse it on. Null when
    // the device is deleted already.
    PDEVICE_OBJECT ReferenceTop(PDEVICE_OBJECT device);
    void Dereference(PDEVICE_OBJECT device);
    PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT device) const; // the top of the stack above it
    PDEVICE_OBJECT Lower(PDEVICE_OBJECT device) const;       // what it was attached to, until detached
    std::string Name(PDEVICE_OBJECT device) const; // "\Device\QUAVDev", or "device object 0x.. of \Driver\X"
    std::string DriverName(PDRIVER_OBJECT driver) const;

    // A physical device object's device node ("ROOT\QUAV\0000"); device interfaces are named after it.
    void SetInstancePath(PDEVICE_OBJECT pdo, std::string instance);
    // A security descriptor (SDDL, see ParseDeviceSecurity) and characteristics applied to every device
    // object of the stack, as the PnP manager applies a device's registry properties.
    // ApplyPackageSecurity applies what quav.inf installs (device_security.h); the PnP manager does
    // when it installs a device, unless told not to.
    void ApplyDeviceSecurity(PDEVICE_OBJECT device, std::string_view sddl, ULONG characteristics);
    void ApplyPackageSecurity(PDEVICE_OBJECT device);

    // Symbolic links and device interfaces (IoCreateSymbolicLink, IoDeleteSymbolicLink,
    // IoRegisterDeviceInterface, IoSetDeviceInterfaceState).
    NTSTATUS CreateSymbolicLink(std::u16string_view link, std::u16string_view target);
    NTSTATUS DeleteSymbolicLink(std::u16string_view link);
    NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string_view reference,
                               std::u16string* link);
    NTSTATUS SetInterfaceState(std::u16string_view link, bool enable);
    std::vector<DeviceInterface> Interfaces() const;

    // Requests. An IRP is followed by its stack locations and starts with the sender's location
    // current (CurrentLocation = StackSize + 1). Send calls the driver and, when it returns
    // STATUS_PENDING, waits on the calling thread until the request is completed; it returns the
    // request's final status. A request is sent once. CallDriver is IoCallDriver, or PoCallDriver with
    // `po_call`; Send sends a power request as the power manager does, with PoCallDriver.
    //
    // The final completion kills the IRP: Windows may free it at once, so its bytes are poisoned (0xDD)
    // and every later use through the kernel's routines is reported. Its sender reads the outcome from
    // FinalStatus, until it frees the IRP. Using the IRP's address as a remove-lock tag stays allowed.
    // A dispatch routine that returns without completing the request or STATUS_PENDING is reported and
    // the request abandoned: Send returns what the routine returned, and the IRP is freed when it is
    // finally completed (or with the I/O manager).
    PIRP AllocateIrp(CCHAR stack_size);
    void FreeIrp(PIRP irp);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool po_call = false);
    void CompleteRequest(PIRP irp);
    NTSTATUS Send(PDEVICE_OBJECT top, PIRP irp);
    // The IoStatus the request was finally completed with; none while it is not (an abandoned request).
    std::optional<IO_STATUS_BLOCK> FinalStatus(PIRP irp) const;
    // For the kernel's routines that take an IRP: true, after reporting `routine`'s use of it, when the
    // IRP's final completion has run; *final_status is then the status it completed with.
    bool ReportIfDead(PIRP irp, const char* routine, NTSTATUS* final_status = nullptr);
    // What a kernel library told the driver holding the request to do with it ("WmiSystemControl
    // answered IrpNotCompleted: ..."), named if the driver's dispatch routine then leaves it in the air.
    // Forgotten when the request is passed on to another driver.
    void NoteDuty(PIRP irp, std::string duty);
    void StartNextPowerIrp(PIRP irp);

    // Files, as the user-mode side opens them. `path` is an object-namespace path ("\??\QUAVDSL\x"); what
    // follows the device's name becomes the file name. The access check is the I/O manager's, before the
    // driver sees a create. A device deleted while files are open on it stays until the last is closed,
    // and their requests still reach its driver (whose remove lock refuses them), as on the real system.
    // CloseFile sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows once no request on the file is in flight,
    // sent by whichever thread ends the last one. A device deleted while a request on a file of it is
    // still pending is reported: that request would never complete, nor the file ever close.
    NTSTATUS OpenFile(std::u16string_view path, bool administrator, PFILE_OBJECT* file);
    NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG in_size, void* out,
                           ULONG out_size, ULONG* returned);
    NTSTATUS CloseFile(PFILE_OBJECT file);
    // The files open on the device objects of the stack from `pdo` up. SignalWhenStackClosed sets `event`
    // when the last of them has closed (at once when none is open) and returns how many were open: what
    // the PnP manager waits for before it removes a surprise-removed device.
    size_t OpenFilesOnStack(PDEVICE_OBJECT pdo) const;
    size_t SignalWhenStackClosed(PDEVICE_OBJECT pdo, KEVENT* event);

    // Remove locks.
    void InitializeRemoveLock(PIO_REMOVE_LOCK lock, ULONG tag, ULONG max_locked_minutes,
                              ULONG high_watermark);
    NTSTATUS AcquireRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line);
    void ReleaseRemoveLock(PIO_REMOVE_LOCK lock, PVOID tag);
    void ReleaseRemoveLockAndWait(PIO_REMOVE_LOCK lock, PVOID tag);
    std::vector<RemoveLockHolder> Holders(const IO_REMOVE_LOCK* lock) const;
    size_t PeakHolders(const IO_REMOVE_LOCK* lock) const; // the most holders the lock has had at once
    // Counted so far, with the holds still outstanding that have passed their limit already.
    RemoveLockLimits RemoveLockLimitsSeen() const;

private:
    struct DriverRecord;
    struct DeviceRecord;
    struct IrpRecord;
    struct FileRecord;
    struct FileRequest;
    struct NameEntry {
        std::u16string spelling;
        PDEVICE_OBJECT device = nullptr; // a device, or (for an enabled interface) the device it opens
        std::u16string target;           // a symbolic link's target
    };
    struct InterfaceRecord {
        GUID guid;
        std::u16string link; // with the reference string, if any
        std::u16string base; // the name in the namespace: the link without the reference string
        PDEVICE_OBJECT pdo;
        bool enabled;
    };

    void Report(std::string text);
    // Drivers.
    void DestroyDriver(PDRIVER_OBJECT driver);
    // Devices.
    std::string NameLocked(PDEVICE_OBJECT device) const;
    PDEVICE_OBJECT TopLocked(PDEVICE_OBJECT device) const;
    void DeleteDeviceLocked(PDEVICE_OBJECT device);
    void FreeDeviceLocked(PDEVICE_OBJECT device);
    // Names.
    bool ResolveLocked(std::u16string path, PDEVICE_OBJECT* device, std::u16string* rest) const;
    void DisableInterfaceLocked(InterfaceRecord& i);
    void OrphanInterfacesLocked(PDEVICE_OBJECT pdo);
    // Requests.
    std::string Label(PIRP irp, PDEVICE_OBJECT top) const;
    IrpRecord* RequireIrp(PIRP irp, const char* operation) const;
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    // Power requests (iomanager_power.cpp). A Handoff is a waiting request made active at a device, for
    // its driver to be given it.
    struct Handoff {
        PDEVICE_OBJECT device = nullptr;
        PIRP irp = nullptr;
    };
    NTSTATUS CallPowerDriver(PDEVICE_OBJECT device, PIRP irp, IrpRecord* r, bool po_call);
    Handoff PassDownLocked(PDEVICE_OBJECT device, PIRP irp, IrpRecord* r);
    void LeavePowerLocation(PIRP irp, IrpRecord* r); // the completion moves up past the current location
    Handoff ReleaseLocked(const PowerHolder& holder, PIRP irp);
    void Hand(Handoff handoff);
    bool WalkCompletion(PIRP irp, IrpRecord* r);
    void Retire(PIRP irp, IrpRecord* r);
    // Files.
    // A device control's buffers as its transfer method gives them to the driver (iomanager_files.cpp).
    struct ControlMdl {
        void* start;
        ULONG byte_count;
    };
    struct ControlBuffers {
        ULONG code;
        ULONG in_size;
        ULONG out_size;
        void* system = nullptr; // AssociatedIrp.SystemBuffer
        void* type3 = nullptr;  // Parameters.DeviceIoControl.Type3InputBuffer
        void* user = nullptr;   // UserBuffer
        ControlMdl* mdl = nullptr;
    };
    PIRP UserIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major);
    NTSTATUS SendControl(PFILE_OBJECT file, PDEVICE_OBJECT top, const ControlBuffers& buffers,
                         ULONG_PTR* information);
    void ReleaseFile(PFILE_OBJECT file);
    void ForgetFileLocked(PFILE_OBJECT file);
    void ReportPendingFileRequestsLocked(PDEVICE_OBJECT device);
    size_t OpenFilesOnStackLocked(PDEVICE_OBJECT pdo) const;
    // Remove locks.
    void ForgetRemoveLocksLocked(const void* memory, size_t bytes);
    // Whether a remove lock lies in the BYTES of memory at MEMORY (a device object and its extension).
    static bool Within(const IO_REMOVE_LOCK* lock, const void* memory, size_t bytes)
    {
        const auto* begin = static_cast<const char*>(memory);
        const auto* p = reinterpret_cast<const char*>(lock);
        return p >= begin && p < begin + bytes;
    }

    Verifier& verifier_;
    Scheduler& scheduler_;
    Pool& pool_;
    EventLog& eventlog_;
    mutable std::mutex mu_;
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers_;
    std::vector<std::unique_ptr<DriverRecord>> retired_drivers_; // unloaded, with devices still referenced
    std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices_;
    std::set<const void*> freed_devices_;       // so that a second IoDeleteDevice is recognized
    std::map<std::u16string, NameEntry> names_; // keyed by the upper-cased name
    std::vector<InterfaceRecord> interfaces_;
    std::unordered_map<PIRP, IrpRecord*> irps_;
    std::vector<std::unique_ptr<IrpRecord>> irp_records_; // kept for reuse: their events stay named
    std::vector<IrpRecord*> free_irp_records_;
    std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files_;
    std::vector<std::pair<PDEVICE_OBJECT, KEVENT*>> stack_close_waiters_; // by physical device object
    std::map<const IO_REMOVE_LOCK*, RemoveLockRecord> remove_locks_;
    RemoveLockLimits remove_lock_limits_;
    int fail_attach_ = 0;
};

} // namespace sim
