// What the I/O manager keeps beside the objects it hands out, shared by the files that implement it:
// iomanager.cpp (the whole's life), iomanager_drivers.cpp, iomanager_devices.cpp, iomanager_names.cpp,
// iomanager_requests.cpp, iomanager_power.cpp, iomanager_files.cpp and iomanager_removelocks.cpp. All of it
// is guarded by the one IoManager::mu_.
#pragma once

#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "device_security.h"
#include "iomanager.h"

namespace sim {

// Object types, as the kernel stores them in each object's Type field.
constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr CSHORT kTypeFile = 5;
constexpr CSHORT kTypeIrp = 6;

// A device object and its extension are one allocation, aligned for whatever the extension holds.
constexpr std::align_val_t kDeviceAlignment{16};

// "\DosDevices\X" is the same name as "\??\X" (iomanager_names.cpp).
std::u16string CanonicalName(std::u16string_view path);

// Makes the next stack location the device's and current, as IoCallDriver does before it calls the
// device's driver.
inline void AdvanceTo(PDEVICE_OBJECT device, PIRP irp)
{
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    irp->Tail.Overlay.CurrentStackLocation->DeviceObject = device;
}

// The power manager's hold on a device object for one kind of request (system or device power): the
// set- or query-power request active there, and those of the same kind waiting for it to end
// (iomanager_power.cpp).
struct PowerSlot {
    PIRP active = nullptr;
    std::deque<PIRP> waiting;
};

// A device object a power request was given to, with the stack location it got. The request is in its
// driver's hands until it passes it down (or the request is completed past its location); passed down
// with a completion routine of its own, the driver gets it back before it is done with it.
struct PowerHolder {
    enum class State { InHand, Below, Done };
    static constexpr int kNotHeld = -1; // wait-wake, power sequence: never held back
    PDEVICE_OBJECT device;
    CHAR location;
    int kind;             // the PowerSlot: 0 system, 1 device, or kNotHeld
    bool started = false; // its driver called PoStartNextPowerIrp
    State state = State::InHand;
};

struct IoManager::DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string service;
    std::u16string registry_path;
    std::string service_name;
    std::vector<std::u16string> texts; // the message table's texts, which `table` views
    std::vector<MessageEntry> table;
};

struct IoManager::DeviceRecord {
    std::u16string name;
    size_t bytes = 0;
    PDEVICE_OBJECT lower = nullptr; // what it attached to
    std::string instance;           // a physical device object's device node
    DeviceAccess access;            // who may open it: everyone, until security is applied
    int open_files = 0;
    int references = 0;   // held by a system component sending it a request of its own (WMI)
    bool deleted = false; // IoDeleteDevice ran; the memory goes with the last file on it and reference
    PowerSlot power[2];   // by kind: system power, device power
};

// A request's life as the I/O manager sees it. The IRP itself keeps the layout drivers know, so what the
// kernel knows about it beyond that lives here: above all whether it is still alive. Once its final
// completion hands it back to its sender it is dead (Windows may free it at once): its final IoStatus is
// copied here for the sender and the IRP's bytes are poisoned until the sender frees it.
struct IoManager::IrpRecord {
    KEVENT done{};          // signalled when the request is back with its sender
    bool completed = false; // the final completion ran: the IRP is dead
    IO_STATUS_BLOCK final{};
    bool pending_returned = false; // the top location's SL_PENDING_RETURNED, at the final completion
    bool abandoned = false;        // the sender gave up on it: the dispatch routine left it in the air
    bool sender_freed = false;     // FreeIrp came while it was abandoned: it goes when it completes
    std::string duty;              // what a library told the driver holding it to do (named in reports)
    void* storage = nullptr;
    size_t bytes = 0;
    std::vector<PowerHolder> power; // in the order the request reached them
};

// A request in flight on a file, and what it holds: one of the file's references.
struct IoManager::FileRequest {
    PIRP irp;
    PDEVICE_OBJECT top; // where it was sent
    ULONG code;         // the device control's code
};

// The file object's references are its handle's and one per request in flight. IRP_MJ_CLEANUP comes when
// the handle closes; IRP_MJ_CLOSE when the last reference goes, from the thread that drops it.
struct IoManager::FileRecord {
    FILE_OBJECT object{};
    std::u16string name;
    int references = 1;         // the handle's, from the create on
    bool handle_closed = false; // IRP_MJ_CLEANUP has been sent: nothing new comes through the handle
    std::vector<FileRequest> requests;
};

} // namespace sim
