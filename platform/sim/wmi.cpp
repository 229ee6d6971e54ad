// The WMI service and IoWMIRegistrationControl.
#include "wmi.h"

#include <algorithm>
#include <cstring>

#include "entry.h"
#include "iomanager.h"
#include "machine.h"
#include "pnp.h"
#include "verifier.h"

namespace sim {
namespace {

uint32_t Align8(uint32_t n)
{
    return (n + 7) & ~7u;
}

template <typename T>
T* At(std::vector<uint8_t>& buffer, uint32_t offset = 0)
{
    return reinterpret_cast<T*>(buffer.data() + offset);
}

// A counted string of the registration information: a USHORT byte length, then the UTF-16 text, all
// inside the `size` bytes the provider filled in. Offset 0 is no string.
bool ReadCounted(const std::vector<uint8_t>& buffer, uint32_t size, uint32_t offset, std::u16string* out)
{
    out->clear();
    if (offset == 0) {
        return true;
    }
    USHORT length = 0;
    if (offset > size || size - offset < sizeof(length)) {
        return false;
    }
    std::memcpy(&length, buffer.data() + offset, sizeof(length));
    if (size - offset - sizeof(length) < length || length % sizeof(char16_t) != 0) {
        return false;
    }
    out->resize(length / sizeof(char16_t));
    std::memcpy(out->data(), buffer.data() + offset + sizeof(length), length);
    return true;
}

// A request that came back with an answer to read: STATUS_PENDING is a success code, but here it means
// the provider never answered.
bool Answered(NTSTATUS status)
{
    return NT_SUCCESS(status) && status != STATUS_PENDING;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

void InitHeader(std::vector<uint8_t>& buffer, const GUID& guid, ULONG flags)
{
    auto* header = At<WNODE_HEADER>(buffer);
    header->BufferSize = static_cast<ULONG>(buffer.size());
    header->Guid = guid;
    header->Flags = flags;
}

// A provider that answered with a WNODE_TOO_SMALL.
bool TooSmall(std::vector<uint8_t>& buffer, ULONG_PTR information, uint32_t* size_needed)
{
    if (information < sizeof(WNODE_TOO_SMALL) ||
        (At<WNODE_HEADER>(buffer)->Flags & WNODE_FLAG_TOO_SMALL) == 0) {
        return false;
    }
    if (size_needed != nullptr) {
        *size_needed = At<WNODE_TOO_SMALL>(buffer)->SizeNeeded;
    }
    return true;
}

// The data area [offset, offset + length) of the WNODE that came back, when it lies inside the buffer.
bool CopyOut(const std::vector<uint8_t>& buffer, uint32_t offset, uint32_t length, std::vector<uint8_t>* out)
{
    if (offset > buffer.size() || buffer.size() - offset < length) {
        return false;
    }
    if (out != nullptr) {
        out->assign(buffer.begin() + offset, buffer.begin() + offset + length);
    }
    return true;
}

} // namespace

NTSTATUS WmiService::RegistrationControl(PDEVICE_OBJECT device, ULONG action)
{
    switch (action) {
        case WMIREG_ACTION_REGISTER: {
            uint64_t serial;
            RegInfoDelivery delivery;
            {
                std::lock_guard lk(mu_);
                for (const WmiRegistration& r : registrations_) {
                    if (r.device == device) {
                        verifier_.Report("wmi", "a device registered with WMI a second time");
                        return STATUS_OBJECT_NAME_COLLISION;
                    }
                }
                WmiRegistration registration;
                registration.device = device;
                registration.serial = serial = ++next_serial_;
                registrations_.push_back(std::move(registration));
                delivery = delivery_;
                pending_ += delivery != RegInfoDelivery::Immediate ? 1 : 0;
            }
            // The device stays registered whatever the answer to the registration information.
            if (delivery == RegInfoDelivery::Immediate) {
                QueryRegInfo(device, serial);
            } else {
                DeliverRegInfo(device, serial, delivery == RegInfoDelivery::Held);
            }
            return STATUS_SUCCESS;
        }
        case WMIREG_ACTION_DEREGISTER: {
            std::lock_guard lk(mu_);
            auto it = std::find_if(registrations_.begin(), registrations_.end(),
                                   [device](const WmiRegistration& r) { return r.device == device; });
            if (it == registrations_.end()) {
                return STATUS_INVALID_PARAMETER;
            }
            registrations_.erase(it);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

void WmiService::SetRegInfoDelivery(RegInfoDelivery delivery)
{
    std::lock_guard lk(mu_);
    delivery_ = delivery;
    if (delivery == RegInfoDelivery::Held) {
        if (release_ready_) {
            KeResetEvent(&release_); // threads may wait on it: it is not initialized again
        } else {
            KeInitializeEvent(&release_, NotificationEvent, FALSE);
            Machine::Current().scheduler().NameObject(&release_, "WMI registration information held");
            release_ready_ = true;
        }
    }
}

void WmiService::ReleaseRegInfo()
{
    {
        std::lock_guard lk(mu_);
        if (!release_ready_) {
            return; // never held: nothing waits
        }
    }
    KeSetEvent(&release_, IO_NO_INCREMENT, FALSE);
}

size_t WmiService::PendingRegInfo() const
{
    std::lock_guard lk(mu_);
    return pending_;
}

// WMI's own thread asks for the registration information, if the device is still registered by then (a
// deregistration before it ran leaves nothing to ask).
void WmiService::DeliverRegInfo(PDEVICE_OBJECT device, uint64_t serial, bool held)
{
    Machine::Current().scheduler().Start("WMI: registration information", [this, device, serial, held] {
        if (held) {
            KeWaitForSingleObject(&release_, Executive, KernelMode, FALSE, nullptr);
        }
        QueryRegInfo(device, serial);
        std::lock_guard lk(mu_);
        pending_--;
    });
}

// Named when asked for: a PDO's device node is known only once its AddDevice (where drivers register)
// has returned.
void WmiService::NameInstances(WmiRegistration& registration) const
{
    for (WmiGuidInfo& g : registration.guids) {
        std::u16string prefix = g.base_name;
        if (g.flags & WMIREG_FLAG_INSTANCE_PDO) {
            std::string node = pnp_.InstancePath(g.pdo);
            prefix.assign(node.begin(), node.end()); // device-node names are ASCII
            prefix += node.empty() ? u"" : u"_";
        }
        g.instance_names.clear();
        for (uint32_t n = 0; !prefix.empty() && n < g.instance_count; n++) {
            std::string index = std::to_string(n);
            g.instance_names.push_back(prefix + std::u16string(index.begin(), index.end()));
        }
    }
}

std::vector<WmiRegistration> WmiService::Registered() const
{
    std::vector<WmiRegistration> copy;
    {
        std::lock_guard lk(mu_);
        copy = registrations_;
    }
    for (WmiRegistration& r : copy) {
        NameInstances(r);
    }
    return copy;
}

std::optional<WmiRegistration> WmiService::Registration(PDEVICE_OBJECT device) const
{
    for (WmiRegistration& r : Registered()) {
        if (r.device == device) {
            return std::move(r);
        }
    }
    return std::nullopt;
}

PDEVICE_OBJECT WmiService::ProviderOf(const GUID& guid) const
{
    std::lock_guard lk(mu_);
    for (const WmiRegistration& r : registrations_) {
        for (const WmiGuidInfo& g : r.guids) {
            if (SameGuid(g.guid, guid)) {
                return r.device;
            }
        }
    }
    return nullptr;
}

NTSTATUS WmiService::Send(PDEVICE_OBJECT device, UCHAR minor, const void* data_path,
                          std::vector<uint8_t>& buffer, ULONG_PTR* information)
{
    // WMI references the device it sends to, under the lock its deregistration takes: a device
    // deregistered since it was looked up is not found, and one deleted and freed after this point
    // still has its object for the driver to refuse the request on.
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard lk(mu_);
        if (std::none_of(registrations_.begin(), registrations_.end(),
                         [device](const WmiRegistration& r) { return r.device == device; })) {
            return STATUS_WMI_GUID_NOT_FOUND;
        }
        top = io_.ReferenceTop(device);
    }
    if (top == nullptr) {
        // The real system would send the request to freed memory: the driver must deregister first.
        verifier_.Report("wmi", "a device was deleted while registered with WMI");
        return STATUS_NO_SUCH_DEVICE;
    }
    PIRP irp = io_.AllocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = minor;
    stack->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(device);
    stack->Parameters.WMI.DataPath = const_cast<void*>(data_path);
    stack->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
    stack->Parameters.WMI.Buffer = buffer.data();
    const NTSTATUS status = io_.Send(top, irp);
    const std::optional<IO_STATUS_BLOCK> final = io_.FinalStatus(irp);
    io_.FreeIrp(irp);
    io_.Dereference(top);
    *information = final ? final->Information : 0;
    // A request the driver abandoned (reported by the I/O manager) never comes back to WMI.
    return final ? status : STATUS_PENDING;
}

void WmiService::QueryRegInfo(PDEVICE_OBJECT device, uint64_t serial)
{
    {
        std::lock_guard lk(mu_);
        auto it = std::find_if(registrations_.begin(), registrations_.end(),
                               [&](const WmiRegistration& r) { return r.serial == serial; });
        if (it == registrations_.end()) {
            return;
        }
        it->reginfo_sent = true;
    }
    uint32_t size = kRegInfoFirstSize;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    WmiRegistration info;
    // A provider whose need keeps growing gets a few tries, not an endless loop.
    for (int attempt = 0; attempt < 4; attempt++) {
        std::vector<uint8_t> buffer(size);
        ULONG_PTR information = 0;
        status = Send(device, IRP_MN_REGINFO_EX, nullptr, buffer, &information);
        if (status == STATUS_BUFFER_TOO_SMALL && information >= sizeof(ULONG)) {
            ULONG needed = *At<ULONG>(buffer);
            if (needed > size) {
                size = needed;
                continue;
            }
        }
        if (Answered(status) && !ParseRegInfo(buffer, information, &info)) {
            verifier_.Report("wmi", "malformed registration information");
            status = STATUS_UNSUCCESSFUL;
        }
        break;
    }
    std::lock_guard lk(mu_);
    for (WmiRegistration& r : registrations_) {
        if (r.serial == serial) {
            r.reginfo_status = status;
            if (Answered(status)) {
                r.registry_path = std::move(info.registry_path);
                r.mof_resource = std::move(info.mof_resource);
                r.guids = std::move(info.guids);
            }
        }
    }
}

bool WmiService::ParseRegInfo(const std::vector<uint8_t>& buffer, ULONG_PTR information, WmiRegistration* out)
{
    constexpr uint32_t kGuids = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid);
    if (information < kGuids || information > buffer.size()) {
        return false;
    }
    WMIREGINFOW info;
    std::memcpy(&info, buffer.data(), kGuids);
    uint32_t size = std::min<uint32_t>(info.BufferSize, static_cast<uint32_t>(information));
    if (info.GuidCount > (size - kGuids) / sizeof(WMIREGGUIDW)) {
        return false;
    }
    if (!ReadCounted(buffer, size, info.RegistryPath, &out->registry_path) ||
        !ReadCounted(buffer, size, info.MofResourceName, &out->mof_resource)) {
        return false;
    }
    for (uint32_t i = 0; i < info.GuidCount; i++) {
        WMIREGGUIDW g;
        std::memcpy(&g, buffer.data() + kGuids + i * sizeof(WMIREGGUIDW), sizeof(g));
        WmiGuidInfo guid;
        guid.guid = g.Guid;
        guid.flags = g.Flags;
        guid.instance_count = g.InstanceCount;
        if (g.Flags & WMIREG_FLAG_INSTANCE_PDO) {
            guid.pdo = reinterpret_cast<PDEVICE_OBJECT>(g.Pdo);
        } else if ((g.Flags & WMIREG_FLAG_INSTANCE_BASENAME) &&
                   !ReadCounted(buffer, size, g.BaseNameOffset, &guid.base_name)) {
            return false;
        }
        out->guids.push_back(std::move(guid));
    }
    return true;
}

NTSTATUS WmiService::QueryAllData(const GUID& guid, std::vector<uint8_t>* data, uint32_t buffer_size,
                                  uint32_t* size_needed)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    constexpr uint32_t kFixed = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    if (buffer_size < kFixed) {
        if (size_needed != nullptr) {
            *size_needed = kFixed;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::vector<uint8_t> buffer(buffer_size);
    InitHeader(buffer, guid, WNODE_FLAG_ALL_DATA);
    ULONG_PTR information = 0;
    NTSTATUS status = Send(device, IRP_MN_QUERY_ALL_DATA, &guid, buffer, &information);
    if (!Answered(status)) {
        return status;
    }
    if (TooSmall(buffer, information, size_needed)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* wnode = At<WNODE_ALL_DATA>(buffer);
    uint32_t end = wnode->WnodeHeader.BufferSize;
    if (end < wnode->DataBlockOffset ||
        !CopyOut(buffer, wnode->DataBlockOffset, end - wnode->DataBlockOffset, data)) {
        verifier_.Report("wmi", "a query-all-data answer with its data outside the buffer");
        return STATUS_UNSUCCESSFUL;
    }
    // Consumers get each instance by the lengths the provider gave: data they do not cover is lost.
    uint64_t covered = wnode->DataBlockOffset;
    for (uint32_t i = 0; i < wnode->InstanceCount; i++) {
        if (wnode->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) {
            covered = wnode->DataBlockOffset + uint64_t(Align8(wnode->FixedInstanceSize)) * i +
                      wnode->FixedInstanceSize;
        } else if (std::vector<uint8_t> bytes;
                   CopyOut(buffer, FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + 8 * i, 8,
                           &bytes)) {
            OFFSETINSTANCEDATAANDLENGTH pair;
            std::memcpy(&pair, bytes.data(), sizeof pair);
            covered = std::max(covered, uint64_t(pair.OffsetInstanceData) + pair.LengthInstanceData);
        }
    }
    if (covered != end) {
        verifier_.Report("wmi", "a query-all-data answer whose instance lengths end at byte " +
                                    std::to_string(covered) + ", its data at " + std::to_string(end));
    }
    return status;
}

NTSTATUS WmiService::QuerySingleInstance(const GUID& guid, uint32_t instance, std::vector<uint8_t>* data,
                                         uint32_t buffer_size, uint32_t* size_needed)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    const uint32_t offset = Align8(FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData));
    if (buffer_size < offset) {
        if (size_needed != nullptr) {
            *size_needed = offset;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::vector<uint8_t> buffer(buffer_size);
    InitHeader(buffer, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* wnode = At<WNODE_SINGLE_INSTANCE>(buffer);
    wnode->InstanceIndex = instance;
    wnode->DataBlockOffset = offset;
    ULONG_PTR information = 0;
    NTSTATUS status = Send(device, IRP_MN_QUERY_SINGLE_INSTANCE, &guid, buffer, &information);
    if (!Answered(status)) {
        return status;
    }
    if (TooSmall(buffer, information, size_needed)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!CopyOut(buffer, wnode->DataBlockOffset, wnode->SizeDataBlock, data)) {
        verifier_.Report("wmi", "a single-instance answer with its data outside the buffer");
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS WmiService::SetSingleInstance(const GUID& guid, uint32_t instance, std::span<const uint8_t> data)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    const uint32_t offset = Align8(FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData));
    std::vector<uint8_t> buffer(offset + data.size());
    InitHeader(buffer, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* wnode = At<WNODE_SINGLE_INSTANCE>(buffer);
    wnode->InstanceIndex = instance;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataBlock = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + offset);
    ULONG_PTR information = 0;
    return Send(device, IRP_MN_CHANGE_SINGLE_INSTANCE, &guid, buffer, &information);
}

NTSTATUS WmiService::SetSingleItem(const GUID& guid, uint32_t instance, uint32_t item_id,
                                   std::span<const uint8_t> data)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    const uint32_t offset = Align8(FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData));
    std::vector<uint8_t> buffer(offset + data.size());
    InitHeader(buffer, guid, WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* wnode = At<WNODE_SINGLE_ITEM>(buffer);
    wnode->InstanceIndex = instance;
    wnode->ItemId = item_id;
    wnode->DataItemOffset = offset;
    wnode->SizeDataItem = static_cast<ULONG>(data.size());
    std::copy(data.begin(), data.end(), buffer.begin() + offset);
    ULONG_PTR information = 0;
    return Send(device, IRP_MN_CHANGE_SINGLE_ITEM, &guid, buffer, &information);
}

NTSTATUS WmiService::ExecuteMethod(const GUID& guid, uint32_t instance, uint32_t method_id,
                                   std::span<const uint8_t> in, uint32_t out_size, std::vector<uint8_t>* out,
                                   uint32_t* size_needed)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    const uint32_t offset = Align8(FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData));
    std::vector<uint8_t> buffer(offset + std::max<size_t>(in.size(), out_size));
    InitHeader(buffer, guid, WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto* wnode = At<WNODE_METHOD_ITEM>(buffer);
    wnode->InstanceIndex = instance;
    wnode->MethodId = method_id;
    wnode->DataBlockOffset = offset;
    wnode->SizeDataBlock = static_cast<ULONG>(in.size());
    std::copy(in.begin(), in.end(), buffer.begin() + offset);
    ULONG_PTR information = 0;
    NTSTATUS status = Send(device, IRP_MN_EXECUTE_METHOD, &guid, buffer, &information);
    if (!Answered(status)) {
        return status;
    }
    uint32_t needed = 0;
    if (TooSmall(buffer, information, &needed)) {
        if (size_needed != nullptr) {
            *size_needed = needed > offset ? needed - offset : 0;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!CopyOut(buffer, wnode->DataBlockOffset, wnode->SizeDataBlock, out)) {
        verifier_.Report("wmi", "a method's output outside the buffer");
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS WmiService::Control(const GUID& guid, UCHAR minor)
{
    PDEVICE_OBJECT device = ProviderOf(guid);
    if (device == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    std::vector<uint8_t> buffer(sizeof(WNODE_HEADER));
    InitHeader(buffer, guid, 0);
    ULONG_PTR information = 0;
    return Send(device, minor, &guid, buffer, &information);
}

} // namespace sim

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    const sim::OperationEntry entry(sim::Op::IoWMIRegistrationControl);
    return sim::Machine::Current().wmi().RegistrationControl(DeviceObject, Action);
}
