// The I/O manager's drivers: driver objects, loading (DriverEntry) and unloading (DriverUnload).
#include "format.h"
#include "iomanager.h"

#include <algorithm>

#include "entry.h"
#include "iomanager_records.h"
#include "text.h"

namespace sim {
namespace {

// The kernel's default for every major function a driver leaves alone.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

PDRIVER_OBJECT IoManager::CreateDriverObject(std::string name, std::span<const MessageEntry> messages)
{
    auto r = std::make_unique<DriverRecord>();
    r->service_name = name;
    r->service = Utf16FromUtf8(name);
    r->name = u"\\Driver\\" + r->service;
    for (const MessageEntry& e : messages) {
        r->texts.emplace_back(e.text);
    }
    for (size_t i = 0; i < messages.size(); i++) {
        r->table.push_back({messages[i].id, r->texts[i]});
    }
    PDRIVER_OBJECT d = &r->object;
    d->Type = kTypeDriver;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &r->extension;
    r->extension.DriverObject = d;
    r->extension.ServiceKeyName = {static_cast<USHORT>(r->service.size() * sizeof(WCHAR)),
                                   static_cast<USHORT>(r->service.size() * sizeof(WCHAR)), r->service.data()};
    d->DriverName = {static_cast<USHORT>(r->name.size() * sizeof(WCHAR)),
                     static_cast<USHORT>(r->name.size() * sizeof(WCHAR)), r->name.data()};
    for (PDRIVER_DISPATCH& f : d->MajorFunction) {
        f = InvalidDeviceRequest;
    }
    eventlog_.RegisterSource(d, name, name, r->table);
    std::lock_guard lk(mu_);
    drivers_[d] = std::move(r);
    return d;
}

PDRIVER_OBJECT IoManager::LoadDriver(std::string service_name, PDRIVER_INITIALIZE entry,
                                     std::u16string registry_path, NTSTATUS* status,
                                     std::span<const MessageEntry> messages)
{
    PDRIVER_OBJECT driver = CreateDriverObject(service_name, messages);
    UNICODE_STRING path;
    {
        std::lock_guard lk(mu_);
        DriverRecord& r = *drivers_.at(driver);
        r.registry_path = std::move(registry_path);
        path = {static_cast<USHORT>(r.registry_path.size() * sizeof(WCHAR)),
                static_cast<USHORT>(r.registry_path.size() * sizeof(WCHAR)), r.registry_path.data()};
    }
    driver->DriverInit = entry;
    NTSTATUS result;
    {
        const DriverCall call;
        result = entry(driver, &path);
    }
    if (status != nullptr) {
        *status = result;
    }
    if (!NT_SUCCESS(result)) {
        if (driver->DeviceObject != nullptr) {
            Report("DriverEntry of \\Driver\\" + service_name + " failed with " + Hex32(result) +
                   " and left device objects behind");
        }
        DestroyDriver(driver);
        return nullptr;
    }
    // Device objects made during DriverEntry are ready once it returns; AddDevice's are the driver's
    // to clear.
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        d->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return driver;
}

void IoManager::UnloadDriver(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard lk(mu_);
        if (drivers_.count(driver) == 0) {
            Report("UnloadDriver of " + Pointer(driver) + ", which is not a loaded driver");
            return;
        }
        if (driver->DeviceObject != nullptr) {
            std::string left;
            for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
                left += " " + NameLocked(d);
            }
            Report(DriverName(driver) + " unloaded with device objects left:" + left);
        }
    }
    if (driver->DriverUnload != nullptr) {
        const DriverCall call;
        driver->DriverUnload(driver);
    }
    DestroyDriver(driver);
}

void IoManager::DestroyDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard lk(mu_);
    while (driver->DeviceObject != nullptr) {
        PDEVICE_OBJECT d = driver->DeviceObject;
        DeleteDeviceLocked(d);
        if (driver->DeviceObject == d) { // not a device we made: drop it from the list all the same
            driver->DeviceObject = d->NextDevice;
        }
    }
    // A deleted device object with files still open on it keeps its driver object, as a reference would.
    auto it = drivers_.find(driver);
    if (it == drivers_.end()) {
        return;
    }
    if (std::any_of(devices_.begin(), devices_.end(),
                    [&](const auto& d) { return d.first->DriverObject == driver; })) {
        retired_drivers_.push_back(std::move(it->second));
    }
    drivers_.erase(it);
}

std::vector<PDEVICE_OBJECT> IoManager::Devices(PDRIVER_OBJECT driver) const
{
    std::lock_guard lk(mu_);
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        out.push_back(d);
    }
    return out;
}

std::string IoManager::DriverName(PDRIVER_OBJECT driver) const
{
    if (driver == nullptr || driver->DriverName.Buffer == nullptr) {
        return "driver object " + Pointer(driver);
    }
    return Utf8FromUtf16({driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR)});
}

} // namespace sim
