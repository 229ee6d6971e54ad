#include "format.h"
#include "iomanager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "pool.h"
#include "text.h"
#include "scheduler.h"
#include "verifier.h"

namespace sim {
namespace {

// Object types, as the kernel stores them in each object's Type field.
constexpr CSHORT kTypeDevice = 3;
constexpr CSHORT kTypeDriver = 4;
constexpr CSHORT kTypeFile = 5;
constexpr CSHORT kTypeIrp = 6;

constexpr uint32_t kSystemBufferTag = 0x66427249; // "IrBf": buffered I/O's system buffers
constexpr std::align_val_t kDeviceAlignment{16};

std::u16string Fold(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

bool StartsWithFolded(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && Fold(s.substr(0, prefix.size())) == prefix;
}

// "\DosDevices\X" is the same name as "\??\X".
std::u16string Canonical(std::u16string_view path)
{
    static constexpr std::u16string_view kDosDevices = u"\\DOSDEVICES\\";
    if (StartsWithFolded(path, kDosDevices)) {
        return u"\\??\\" + std::u16string(path.substr(kDosDevices.size()));
    }
    return std::u16string(path);
}

const char* MajorName(UCHAR major)
{
    switch (major) {
        case IRP_MJ_CREATE:
            return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE:
            return "IRP_MJ_CLOSE";
        case IRP_MJ_READ:
            return "IRP_MJ_READ";
        case IRP_MJ_WRITE:
            return "IRP_MJ_WRITE";
        case IRP_MJ_DEVICE_CONTROL:
            return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_CLEANUP:
            return "IRP_MJ_CLEANUP";
        case IRP_MJ_POWER:
            return "IRP_MJ_POWER";
        case IRP_MJ_SYSTEM_CONTROL:
            return "IRP_MJ_SYSTEM_CONTROL";
        case IRP_MJ_PNP:
            return "IRP_MJ_PNP";
        default:
            return "IRP_MJ_?";
    }
}

bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The kernel's default for every major function a driver leaves alone.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

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
    bool restricted = false;        // SYSTEM and Administrators only
    int open_files = 0;
    bool deleted = false; // IoDeleteDevice ran; the memory goes when the last file on it is closed
};

struct IoManager::IrpRecord {
    KEVENT done{}; // signalled when the request is back with its sender
    bool completed = false;
    void* storage = nullptr;
    std::vector<PDEVICE_OBJECT> visited;
    std::set<PDEVICE_OBJECT> power_started;
};

struct IoManager::FileRecord {
    FILE_OBJECT object{};
    std::u16string name;
};

IoManager::IoManager(Verifier& verifier, Scheduler& scheduler, Pool& pool, EventLog& eventlog)
    : verifier_(verifier), scheduler_(scheduler), pool_(pool), eventlog_(eventlog)
{
}

IoManager::~IoManager()
{
    for (auto& [device, record] : devices_) {
        ::operator delete(device, kDeviceAlignment);
    }
    for (auto& r : irp_records_) {
        ::operator delete(r->storage);
    }
}

void IoManager::Report(std::string text)
{
    verifier_.Report("io", std::move(text));
}

// ---- Drivers

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
    const NTSTATUS result = entry(driver, &path);
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

// ---- Device objects and stacks

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extension_size, std::u16string_view name,
                                 DEVICE_TYPE type, ULONG characteristics, bool exclusive,
                                 PDEVICE_OBJECT* device)
{
    std::lock_guard lk(mu_);
    const std::u16string key = Fold(Canonical(name));
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
    r->name = Canonical(name);
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
    DeleteDeviceLocked(device);
}

// Takes the device out of every list and name; its memory stays while files on it are open.
void IoManager::DeleteDeviceLocked(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second->deleted) {
        return;
    }
    DeviceRecord& r = *it->second;
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    if (!r.name.empty()) {
        auto n = names_.find(Fold(r.name));
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
    for (InterfaceRecord& i : interfaces_) {
        if (i.pdo == device) {
            DisableInterfaceLocked(i);
            i.pdo = nullptr;
        }
    }
    const auto* begin = reinterpret_cast<const char*>(device);
    for (auto l = remove_locks_.begin(); l != remove_locks_.end();) {
        const auto* p = reinterpret_cast<const char*>(l->first);
        if (p >= begin && p < begin + r.bytes) {
            remove_lock_peaks_.erase(l->first);
            l = remove_locks_.erase(l);
        } else {
            ++l;
        }
    }
    r.deleted = true;
    if (r.open_files == 0) {
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
    PDEVICE_OBJECT top = TopLocked(target);
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (auto it = devices_.find(source); it != devices_.end()) {
        it->second->lower = top;
    }
    return top;
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
    std::lock_guard lk(mu_);
    for (auto it = devices_.find(device); it != devices_.end() && it->second->lower != nullptr;
         it = devices_.find(device)) {
        device = it->second->lower;
    }
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
        if (auto it = devices_.find(d); it != devices_.end()) {
            it->second->restricted = true;
        }
        d->Characteristics |= FILE_DEVICE_SECURE_OPEN;
    }
}

// ---- Names

NTSTATUS IoManager::CreateSymbolicLink(std::u16string_view link, std::u16string_view target)
{
    std::lock_guard lk(mu_);
    const std::u16string name = Canonical(link);
    if (!names_.try_emplace(Fold(name), NameEntry{name, nullptr, Canonical(target)}).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::DeleteSymbolicLink(std::u16string_view link)
{
    std::lock_guard lk(mu_);
    auto it = names_.find(Fold(Canonical(link)));
    if (it == names_.end() || it->second.target.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    names_.erase(it);
    return STATUS_SUCCESS;
}

// The shortest leading part of the path that is a name; a link's target replaces it and the search
// starts over. What follows a device's name is returned in `rest`.
bool IoManager::ResolveLocked(std::u16string path, PDEVICE_OBJECT* device, std::u16string* rest) const
{
    for (int depth = 0; depth < 16; depth++) {
        bool followed = false;
        for (size_t i = 1; i <= path.size() && !followed; i++) {
            if (i != path.size() && path[i] != u'\\') {
                continue;
            }
            auto it = names_.find(Fold(std::u16string_view(path).substr(0, i)));
            if (it == names_.end()) {
                continue;
            }
            if (it->second.device != nullptr) {
                *device = it->second.device;
                *rest = path.substr(i);
                return true;
            }
            path = Canonical(it->second.target + path.substr(i));
            followed = true;
        }
        if (!followed) {
            return false;
        }
    }
    return false;
}

NTSTATUS IoManager::RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string_view reference,
                                      std::u16string* link)
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(pdo);
    if (it == devices_.end() || it->second->deleted || it->second->instance.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST; // only a physical device object has a device node
    }
    std::string instance = it->second->instance;
    std::replace(instance.begin(), instance.end(), '\\', '#');
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    const std::u16string base = u"\\??\\" + Utf16FromUtf8(instance + "#" + text);
    const std::u16string full = reference.empty() ? base : base + u"\\" + std::u16string(reference);
    auto i = std::find_if(interfaces_.begin(), interfaces_.end(),
                          [&](const InterfaceRecord& r) { return Fold(r.link) == Fold(full); });
    if (i == interfaces_.end()) {
        interfaces_.push_back({guid, full, base, pdo, false});
    } else {
        i->pdo = pdo;
    }
    *link = full;
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::SetInterfaceState(std::u16string_view link, bool enable)
{
    std::lock_guard lk(mu_);
    const std::u16string key = Fold(link);
    auto i = std::find_if(interfaces_.begin(), interfaces_.end(),
                          [&](const InterfaceRecord& r) { return Fold(r.link) == key; });
    if (link.empty() || i == interfaces_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!enable) {
        DisableInterfaceLocked(*i);
        return STATUS_SUCCESS;
    }
    if (i->pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    i->enabled = true;
    names_[Fold(i->base)] = NameEntry{i->base, i->pdo, {}};
    return STATUS_SUCCESS;
}

void IoManager::DisableInterfaceLocked(InterfaceRecord& i)
{
    i.enabled = false;
    const bool shared = std::any_of(interfaces_.begin(), interfaces_.end(), [&](const InterfaceRecord& r) {
        return r.enabled && Fold(r.base) == Fold(i.base);
    });
    if (!shared) {
        names_.erase(Fold(i.base));
    }
}

std::vector<DeviceInterface> IoManager::Interfaces() const
{
    std::lock_guard lk(mu_);
    std::vector<DeviceInterface> out;
    for (const InterfaceRecord& i : interfaces_) {
        out.push_back({i.guid, Utf8FromUtf16(i.link), i.enabled, i.pdo});
    }
    return out;
}

// ---- Requests

PIRP IoManager::AllocateIrp(CCHAR stack_size)
{
    const size_t bytes =
        sizeof(IRP) + static_cast<size_t>(std::max<int>(stack_size, 0)) * sizeof(IO_STACK_LOCATION);
    void* storage = ::operator new(bytes);
    std::memset(storage, 0, bytes);
    auto* irp = static_cast<PIRP>(storage);
    irp->Type = kTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;

    std::lock_guard lk(mu_);
    IrpRecord* r;
    if (free_irp_records_.empty()) {
        irp_records_.push_back(std::make_unique<IrpRecord>());
        r = irp_records_.back().get();
        scheduler_.InitObject(&r->done.Header, EventNotificationObject, 0);
    } else {
        r = free_irp_records_.back();
        free_irp_records_.pop_back();
    }
    r->storage = storage;
    r->completed = false;
    r->visited.clear();
    r->power_started.clear();
    irps_[irp] = r;
    return irp;
}

void IoManager::FreeIrp(PIRP irp)
{
    std::lock_guard lk(mu_);
    auto it = irps_.find(irp);
    if (it == irps_.end()) {
        Report("FreeIrp of " + Pointer(irp) + ", which is not an allocated IRP");
        return;
    }
    ::operator delete(it->second->storage);
    it->second->storage = nullptr;
    free_irp_records_.push_back(it->second);
    irps_.erase(it);
}

IoManager::IrpRecord* IoManager::RequireIrp(PIRP irp, const char* operation) const
{
    std::lock_guard lk(mu_);
    auto it = irps_.find(irp);
    if (it == irps_.end()) {
        Fatal(std::string(operation) + " with " + Pointer(irp) +
              ", which is not an IRP the I/O manager allocated");
    }
    return it->second;
}

// "IRP 0x.. IRP_MJ_PNP/0x02 to \Device\QUAVDev": what a sender waits on, in reports.
std::string IoManager::Label(PIRP irp, PDEVICE_OBJECT top) const
{
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    char minor[8];
    std::snprintf(minor, sizeof minor, "/0x%02X", next->MinorFunction);
    return "IRP " + Pointer(irp) + " " + MajorName(next->MajorFunction) + minor + " to " + Name(top);
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "IofCallDriver");
    if (irp->CurrentLocation <= 1) {
        Fatal("IofCallDriver of IRP " + Pointer(irp) + " to " + Name(device) +
              ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    }
    {
        std::lock_guard lk(mu_);
        r->visited.push_back(device);
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        Fatal("IofCallDriver of IRP " + Pointer(irp) + " with major function " +
              std::to_string(stack->MajorFunction));
    }
    return device->DriverObject->MajorFunction[stack->MajorFunction](device, irp);
}

// Walks the request up its stack as the kernel does: each location's completion routine runs in the
// context of the location above it (no device at the top); a routine that returns
// STATUS_MORE_PROCESSING_REQUIRED keeps the request, and will complete it again.
void IoManager::CompleteRequest(PIRP irp)
{
    IrpRecord* r = nullptr;
    {
        std::lock_guard lk(mu_);
        auto it = irps_.find(irp);
        if (it == irps_.end()) {
            Report("IofCompleteRequest of " + Pointer(irp) +
                   ", which is not an allocated IRP (freed already?)");
            return;
        }
        r = it->second;
        if (r->completed) {
            Report("IRP " + Pointer(irp) + " completed twice: it was already back with its sender");
            return;
        }
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Report("IRP " + Pointer(irp) + " completed with STATUS_PENDING, which is not a final status");
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        const PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        const bool at_top = irp->CurrentLocation > irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device = at_top ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (stack->CompletionRoutine(device, irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (irp->PendingReturned && !at_top) {
            IoMarkIrpPending(irp); // no routine to pass the mark up: the kernel does it
        }
    }
    {
        std::lock_guard lk(mu_);
        r->completed = true;
    }
    scheduler_.SetEvent(&r->done);
    scheduler_.PreemptionPoint();
}

NTSTATUS IoManager::Send(PDEVICE_OBJECT top, PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "Send");
    const std::string label = Label(irp, top);
    scheduler_.NameObject(&r->done, label);
    scheduler_.ResetEvent(&r->done);
    {
        std::lock_guard lk(mu_); // a new trip for a request sent before
        r->completed = false;
        r->visited.clear();
        r->power_started.clear();
    }
    const NTSTATUS returned = CallDriver(top, irp);
    if (returned == STATUS_PENDING) {
        scheduler_.Wait(&r->done.Header, Executive, nullptr);
        if (!irp->PendingReturned) {
            Report(label + ": the driver returned STATUS_PENDING without marking the IRP pending "
                           "(IoMarkIrpPending); the sender would never learn it completed");
        }
        return irp->IoStatus.Status;
    }
    bool completed;
    {
        std::lock_guard lk(mu_);
        completed = r->completed;
    }
    if (!completed) {
        Report(label + ": the driver returned " + Hex32(returned) + " without completing the IRP");
        scheduler_.Wait(&r->done.Header, Executive, nullptr); // it may still: the sender must not free it
    } else if (returned != irp->IoStatus.Status) {
        Report(label + ": the driver returned " + Hex32(returned) + " but completed the IRP with " +
               Hex32(irp->IoStatus.Status));
    }
    return irp->IoStatus.Status;
}

void IoManager::StartNextPowerIrp(PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "PoStartNextPowerIrp");
    std::lock_guard lk(mu_);
    if (irp->CurrentLocation <= irp->StackCount) {
        r->power_started.insert(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
    }
}

std::vector<PDEVICE_OBJECT> IoManager::PowerNotStarted(PIRP irp) const
{
    IrpRecord* r = RequireIrp(irp, "PowerNotStarted");
    std::lock_guard lk(mu_);
    std::vector<PDEVICE_OBJECT> out;
    for (PDEVICE_OBJECT d : r->visited) {
        if (r->power_started.count(d) == 0 && std::find(out.begin(), out.end(), d) == out.end()) {
            out.push_back(d);
        }
    }
    return out;
}

// ---- Files

NTSTATUS IoManager::OpenFile(std::u16string_view path, bool administrator, PFILE_OBJECT* file)
{
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT top = nullptr;
    FileRecord* f = nullptr;
    {
        std::lock_guard lk(mu_);
        std::u16string rest;
        if (!ResolveLocked(Canonical(path), &device, &rest)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        DeviceRecord& d = *devices_.at(device);
        if (device->Flags & DO_DEVICE_INITIALIZING) {
            return STATUS_NO_SUCH_DEVICE;
        }
        // A name inside the device's namespace is the driver's business unless the device asks the
        // I/O manager to apply its own security there too.
        const bool checked = rest.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN);
        if (checked && d.restricted && !administrator) {
            return STATUS_ACCESS_DENIED;
        }
        if ((device->Flags & DO_EXCLUSIVE) && d.open_files > 0) {
            return STATUS_ACCESS_DENIED;
        }
        d.open_files++;
        top = TopLocked(device);
        auto fr = std::make_unique<FileRecord>();
        f = fr.get();
        f->name = std::move(rest);
        f->object.Type = kTypeFile;
        f->object.Size = sizeof(FILE_OBJECT);
        f->object.DeviceObject = device;
        f->object.FileName = {static_cast<USHORT>(f->name.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(f->name.size() * sizeof(WCHAR)), f->name.data()};
        files_[&f->object] = std::move(fr);
    }
    PIRP irp = AllocateIrp(top->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &f->object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->FileObject = &f->object;
    const NTSTATUS status = Send(top, irp);
    FreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        std::lock_guard lk(mu_);
        files_.erase(&f->object);
        DeviceRecord& d = *devices_.at(device);
        if (--d.open_files == 0 && d.deleted) {
            FreeDeviceLocked(device);
        }
        return status;
    }
    *file = &f->object;
    return status;
}

NTSTATUS IoManager::DeviceControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG in_size, void* out,
                                  ULONG out_size, ULONG* returned)
{
    if (returned != nullptr) {
        *returned = 0;
    }
    PDEVICE_OBJECT top;
    {
        std::lock_guard lk(mu_);
        if (files_.count(file) == 0) {
            return STATUS_INVALID_HANDLE;
        }
        // A deleted device still gets the requests of files open on it: its driver refuses them.
        top = TopLocked(file->DeviceObject);
    }
    // The driver defines buffered codes only; the direct and neither methods are not carried.
    if ((code & 3) != METHOD_BUFFERED) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG size = std::max(in_size, out_size);
    void* buffer = nullptr;
    if (size != 0) {
        buffer = pool_.Allocate(NonPagedPool, size, kSystemBufferTag);
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (in_size != 0) {
            std::memcpy(buffer, in, in_size);
        }
    }
    PIRP irp = AllocateIrp(top->StackSize);
    irp->RequestorMode = UserMode;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->UserBuffer = out;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->FileObject = file;
    next->Parameters.DeviceIoControl.OutputBufferLength = out_size;
    next->Parameters.DeviceIoControl.InputBufferLength = in_size;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    const NTSTATUS status = Send(top, irp);
    if (!IsError(status)) {
        const ULONG_PTR information = irp->IoStatus.Information;
        if (information > out_size) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "device control 0x%08X completed with IoStatus.Information %lu, more than its %u-byte "
                "output buffer",
                code, information, out_size);
            Report(text);
        }
        const ULONG copied = static_cast<ULONG>(std::min<ULONG_PTR>(information, out_size));
        if (copied != 0) {
            std::memcpy(out, buffer, copied);
        }
        if (returned != nullptr) {
            *returned = copied;
        }
    }
    FreeIrp(irp);
    if (buffer != nullptr) {
        pool_.Free(buffer, nullptr);
    }
    return status;
}

NTSTATUS IoManager::CloseFile(PFILE_OBJECT file)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard lk(mu_);
        if (files_.count(file) == 0) {
            return STATUS_INVALID_HANDLE;
        }
        top = TopLocked(file->DeviceObject);
    }
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        PIRP irp = AllocateIrp(top->StackSize);
        irp->RequestorMode = UserMode;
        irp->Tail.Overlay.OriginalFileObject = file;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = file;
        Send(top, irp);
        FreeIrp(irp);
    }
    std::lock_guard lk(mu_);
    PDEVICE_OBJECT device = file->DeviceObject;
    files_.erase(file);
    DeviceRecord& d = *devices_.at(device);
    if (--d.open_files == 0 && d.deleted) {
        FreeDeviceLocked(device);
    }
    return STATUS_SUCCESS;
}

// ---- Remove locks

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
    // this machine is, lets the holders grow. The peak is kept so that tests can see it.
    size_t& peak = remove_lock_peaks_[lock];
    peak = std::max(peak, holders.size());
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

std::vector<RemoveLockHolder> IoManager::Holders(const IO_REMOVE_LOCK* lock) const
{
    std::lock_guard lk(mu_);
    auto it = remove_locks_.find(lock);
    return it != remove_locks_.end() ? it->second : std::vector<RemoveLockHolder>{};
}

size_t IoManager::PeakHolders(const IO_REMOVE_LOCK* lock) const
{
    std::lock_guard lk(mu_);
    auto it = remove_lock_peaks_.find(lock);
    return it != remove_lock_peaks_.end() ? it->second : 0;
}

} // namespace sim
