// The I/O manager's device objects and the stacks they attach into.
#include "format.h"
#include "iomanager.h"

#include <algorithm>
#include <cstring>

#include "device_security.h"
#include "iomanager_records.h"
#include "text.h"

namespace sim {

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, std::u16string_view name,
                                 DEVICE_TYPE type, ULONG characteristics, bool exclusive,
                                 PDEVICE_OBJECT* device)
{
    std::lock_guard lk(mu_);
    const std::u16string key = FoldName(CanonicalName(name));
    if (!name.empty() && names_.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    // One allocation: the object, then its extension.
    const size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    const size_t bytes = header + extension_size;
    auto* d = static_cast<PDEVICE_OBJECT>(::operator new(bytes, kDeviceAlignment));
    std::memset(d, 0, bytes);
    d->Type = kTypeDevice;
    d->Size = static_cast<USHORT>(std::min<size_t>(bytes, 0xFFFF));
    d->DriverObject = driver;
    d->DeviceType = type;
    d->Characteristics = characteristics;
    d->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    d->StackSize = 1;
    d->DeviceExtension = extension_size != 0 ? reinterpret_cast<char*>(d) + header : nullptr;
    d->NextDevice = driver->DeviceObject;
    driver->DeviceObject = d;

    auto r = std::make_unique<DeviceRecord>();
    r->name = CanonicalName(name);
    r->bytes = bytes;
    if (!name.empty()) {
        names_[key] = NameEntry{r->name, d, {}};
    }
    freed_devices_.erase(d);
    devices_[d] = std::move(r);
    if (auto it = drivers_.find(driver); it != drivers_.end()) {
        const DriverRecord& dr = *it->second;
        eventlog_.RegisterSource(d, dr.service_name, dr.service_name, dr.table);
    }
    *device = d;
    return STATUS_SUCCESS;
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second->deleted) {
        if (it != devices_.end() || freed_devices_.count(device) != 0) {
            Report("IoDeleteDevice on " + Pointer(device) +
                   ", which was already deleted: device deleted twice");
        } else {
            Report("IoDeleteDevice on " + Pointer(device) + ", which is not a device object");
        }
        return;
    }
    const DeviceRecord& r = *it->second;
    if (r.lower != nullptr && r.lower->AttachedDevice == device) {
        Report("IoDeleteDevice on " + NameLocked(device) + " while it is still attached to " +
               NameLocked(r.lower) + ": device left attached (IoDetachDevice was never called)");
    }
    if (device->AttachedDevice != nullptr) {
        Report("IoDeleteDevice on " + NameLocked(device) + " while " + NameLocked(device->AttachedDevice) +
               " is attached to it: device left attached");
    }
    // A hold on a remove lock in the device's memory is a request still using the device that is being freed.
    for (const auto& [lock, record] : remove_locks_) {
        if (Within(lock, device, r.bytes) && !record.holders.empty()) {
            const RemoveLockHolder& h = record.holders.front();
            Report("IoDeleteDevice on " + NameLocked(device) + " while its remove lock " + Pointer(lock) +
                   " is held (tag " + Pointer(h.tag) + ", taken at " + h.file + ":" + std::to_string(h.line) +
                   "): a request still uses the device being freed");
        }
    }
    DeleteDeviceLocked(device);
}

// Takes the device out of every list and name; its memory stays while files on it are open.
void IoManager::DeleteDeviceLocked(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second->deleted) {
        return;
    }
    ReportPendingFileRequestsLocked(device);
    DeviceRecord& r = *it->second;
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    if (!r.name.empty()) {
        auto n = names_.find(FoldName(r.name));
        if (n != names_.end() && n->second.device == device) {
            names_.erase(n);
        }
    }
    // A device deleted while still linked to others is reported; unlinking it keeps the stack usable.
    if (r.lower != nullptr && r.lower->AttachedDevice == device) {
        r.lower->AttachedDevice = nullptr;
    }
    if (device->AttachedDevice != nullptr) {
        if (auto above = devices_.find(device->AttachedDevice); above != devices_.end()) {
            above->second->lower = nullptr;
        }
        device->AttachedDevice = nullptr;
    }
    OrphanInterfacesLocked(device);
    ForgetRemoveLocksLocked(device, r.bytes);
    r.deleted = true;
    if (r.open_files == 0 && r.references == 0) {
        FreeDeviceLocked(device);
    }
}

PDEVICE_OBJECT IoManager::ReferenceTop(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second->deleted) {
        return nullptr;
    }
    PDEVICE_OBJECT top = TopLocked(device);
    devices_.at(top)->references++;
    return top;
}

void IoManager::Dereference(PDEVICE_OBJECT device)
{
    std::lock_guard lk(mu_);
    DeviceRecord& r = *devices_.at(device);
    if (--r.references == 0 && r.deleted && r.open_files == 0) {
        FreeDeviceLocked(device);
    }
}

void IoManager::FreeDeviceLocked(PDEVICE_OBJECT device)
{
    devices_.erase(device);
    freed_devices_.insert(device);
    ::operator delete(device, kDeviceAlignment);
}

PDEVICE_OBJECT IoManager::Attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    std::lock_guard lk(mu_);
    if (fail_attach_ != 0) {
        fail_attach_ -= fail_attach_ > 0 ? 1 : 0;
        return nullptr;
    }
    PDEVICE_OBJECT top = TopLocked(target);
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (auto it = devices_.find(source); it != devices_.end()) {
        it->second->lower = top;
    }
    return top;
}

void IoManager::FailAttach(int count)
{
    std::lock_guard lk(mu_);
    fail_attach_ = count;
}

void IoManager::Detach(PDEVICE_OBJECT target)
{
    std::lock_guard lk(mu_);
    if (target->AttachedDevice != nullptr) {
        if (auto it = devices_.find(target->AttachedDevice); it != devices_.end()) {
            it->second->lower = nullptr;
        }
    }
    target->AttachedDevice = nullptr;
}

bool IoManager::Exists(PDEVICE_OBJECT device) const
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(device);
    return it != devices_.end() && !it->second->deleted;
}

PDEVICE_OBJECT IoManager::TopLocked(PDEVICE_OBJECT device) const
{
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

PDEVICE_OBJECT IoManager::AttachedTop(PDEVICE_OBJECT device) const
{
    std::lock_guard lk(mu_);
    return TopLocked(device);
}

PDEVICE_OBJECT IoManager::Lower(PDEVICE_OBJECT device) const
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(device);
    return it != devices_.end() ? it->second->lower : nullptr;
}

std::string IoManager::Name(PDEVICE_OBJECT device) const
{
    std::lock_guard lk(mu_);
    return NameLocked(device);
}

std::string IoManager::NameLocked(PDEVICE_OBJECT device) const
{
    auto it = devices_.find(device);
    if (it != devices_.end() && !it->second->name.empty()) {
        return Utf8FromUtf16(it->second->name);
    }
    if (it == devices_.end()) {
        return "device object " + Pointer(device);
    }
    return "device object " + Pointer(device) + " of " + DriverName(device->DriverObject);
}

void IoManager::SetInstancePath(PDEVICE_OBJECT pdo, std::string instance)
{
    std::lock_guard lk(mu_);
    devices_.at(pdo)->instance = std::move(instance);
}

void IoManager::ApplyPackageSecurity(PDEVICE_OBJECT device)
{
    ApplyDeviceSecurity(device, kPackageDeviceSecurity, kPackageDeviceCharacteristics);
}

void IoManager::ApplyDeviceSecurity(PDEVICE_OBJECT device, std::string_view sddl, ULONG characteristics)
{
    const DeviceAccess access = ParseDeviceSecurity(sddl);
    std::lock_guard lk(mu_);
    for (auto it = devices_.find(device); it != devices_.end() && it->second->lower != nullptr;
         it = devices_.find(device)) {
        device = it->second->lower;
    }
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
        if (auto it = devices_.find(d); it != devices_.end()) {
            it->second->access = access;
        }
        d->Characteristics |= characteristics;
    }
}

} // namespace sim
