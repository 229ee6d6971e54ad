// The WMI library a driver links with: it parses the system-control requests WMI sends, calls the
// driver's callbacks with the pieces of the WNODE they work on, and fills in the WNODE when a callback
// completes the request through WmiCompleteRequest.
//
// The library completes a request only through WmiCompleteRequest. What it answers itself (the
// registration information, a GUID that is not the driver's, a malformed WNODE, an instance out of
// range, a callback the driver lacks) it leaves in IoStatus with IrpNotCompleted: the driver completes
// it. Requests for another provider (IrpForward) and minor codes it does not know (IrpNotWmi) it leaves
// untouched for the driver to pass down.
//
// Nothing is kept between the two halves: a callback may complete the request later, on another thread,
// so everything WmiCompleteRequest needs (which minor, where the data starts, the instance lengths) is
// left in the request's stack location and in the WNODE itself.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entry.h"
#include "machine.h"

namespace {

ULONG Align8(ULONG n)
{
    return (n + 7) & ~7u;
}

PUCHAR Bytes(PVOID p)
{
    return static_cast<PUCHAR>(p);
}

// The instance lengths a query-all-data callback fills in live where the offset/length pairs will go,
// right after the fixed part of WNODE_ALL_DATA: room for InstanceCount pairs is kept before the data.
constexpr ULONG kAllDataArray = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);

// Computed wide: a GUID's instance count is the driver's, and a huge one must not wrap to a small offset.
unsigned long long AllDataOffset(ULONG instance_count)
{
    unsigned long long end = kAllDataArray + 8ull * instance_count;
    return (end + 7) & ~7ull;
}

PULONG AllDataLengths(PWNODE_ALL_DATA wnode)
{
    return reinterpret_cast<PULONG>(Bytes(wnode) + kAllDataArray);
}

// The library's own answer, left for the driver to complete (IrpNotCompleted).
NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    return status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost = IO_NO_INCREMENT)
{
    Answer(irp, status, information);
    IofCompleteRequest(irp, boost);
    return status;
}

// The request succeeds with a WNODE_TOO_SMALL in place of the answer: WMI reads SizeNeeded and asks
// again with a buffer that big.
NTSTATUS AnswerTooSmall(PIRP irp, PWNODE_HEADER header, ULONG size_needed)
{
    auto* too_small = reinterpret_cast<PWNODE_TOO_SMALL>(header);
    too_small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    too_small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
    too_small->SizeNeeded = size_needed;
    return Answer(irp, STATUS_SUCCESS, sizeof(WNODE_TOO_SMALL));
}

void Report(const std::string& text)
{
    sim::Machine::Current().verifier().Report("wmi", text);
}

std::string MinorName(UCHAR minor)
{
    static const char* const kNames[] = {"IRP_MN_QUERY_ALL_DATA",
                                         "IRP_MN_QUERY_SINGLE_INSTANCE",
                                         "IRP_MN_CHANGE_SINGLE_INSTANCE",
                                         "IRP_MN_CHANGE_SINGLE_ITEM",
                                         "IRP_MN_ENABLE_EVENTS",
                                         "IRP_MN_DISABLE_EVENTS",
                                         "IRP_MN_ENABLE_COLLECTION",
                                         "IRP_MN_DISABLE_COLLECTION",
                                         "IRP_MN_REGINFO",
                                         "IRP_MN_EXECUTE_METHOD",
                                         nullptr,
                                         "IRP_MN_REGINFO_EX"};
    if (minor < sizeof kNames / sizeof kNames[0] && kNames[minor] != nullptr) {
        return kNames[minor];
    }
    char text[32];
    std::snprintf(text, sizeof text, "IRP_MJ_SYSTEM_CONTROL/0x%02X", minor);
    return text;
}

bool KnownMinor(UCHAR minor)
{
    return minor <= IRP_MN_EXECUTE_METHOD || minor == IRP_MN_REGINFO_EX;
}

// A callback that claims more bytes than it was offered has written past the buffer, or lies.
bool UsedFits(ULONG used, ULONG available, const char* minor)
{
    if (used <= available) {
        return true;
    }
    Report(std::string(minor) + " completed with " + std::to_string(used) + " bytes used of " +
           std::to_string(available) + " available");
    return false;
}

// Appends a counted string (USHORT byte length, then the UTF-16 text) at `at`; returns its offset, or 0
// for an empty string, which the registration information spells as no string.
ULONG PutCounted(PUCHAR base, ULONG* at, const UNICODE_STRING* s)
{
    if (s == nullptr || s->Length == 0 || s->Buffer == nullptr) {
        return 0;
    }
    ULONG offset = *at;
    USHORT length = s->Length;
    std::memcpy(base + offset, &length, sizeof(length));
    std::memcpy(base + offset + sizeof(USHORT), s->Buffer, length);
    *at += sizeof(USHORT) + length;
    return offset;
}

ULONG CountedSize(const UNICODE_STRING* s)
{
    return s == nullptr || s->Length == 0 || s->Buffer == nullptr ? 0 : sizeof(USHORT) + s->Length;
}

NTSTATUS RegInfo(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack)
{
    if (context->QueryWmiRegInfo == nullptr) {
        return Answer(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    ULONG reg_flags = 0;
    UNICODE_STRING instance_name{};
    PUNICODE_STRING registry_path = nullptr;
    UNICODE_STRING mof_name{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status;
    {
        const sim::DriverCall call;
        status =
            context->QueryWmiRegInfo(device, &reg_flags, &instance_name, &registry_path, &mof_name, &pdo);
    }
    // The instance name is the driver's pool allocation, handed over to the library.
    struct FreeName {
        UNICODE_STRING& name;
        ~FreeName()
        {
            if (name.Buffer != nullptr) {
                ExFreePool(name.Buffer);
            }
        }
    } free_name{instance_name};
    if (!NT_SUCCESS(status)) {
        return Answer(irp, status, 0);
    }
    bool by_pdo = (reg_flags & WMIREG_FLAG_INSTANCE_PDO) != 0;
    if (by_pdo && pdo == nullptr) {
        Report("QueryWmiRegInfo asked for PDO instance names without a PDO");
        return Answer(irp, STATUS_INVALID_PARAMETER, 0);
    }
    const UNICODE_STRING* base_name = by_pdo ? nullptr : &instance_name;

    ULONG needed = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + context->GuidCount * ULONG(sizeof(WMIREGGUIDW)) +
                   CountedSize(registry_path) + CountedSize(&mof_name) + CountedSize(base_name);
    ULONG size = stack->Parameters.WMI.BufferSize;
    PUCHAR base = Bytes(stack->Parameters.WMI.Buffer);
    if (size < needed) {
        if (size < sizeof(ULONG)) {
            return Answer(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        std::memcpy(base, &needed, sizeof(needed));
        return Answer(irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG));
    }

    std::memset(base, 0, needed);
    auto* info = reinterpret_cast<PWMIREGINFOW>(base);
    info->BufferSize = needed;
    info->NextWmiRegInfo = 0;
    info->GuidCount = context->GuidCount;
    ULONG at = FIELD_OFFSET(WMIREGINFOW, WmiRegGuid) + context->GuidCount * ULONG(sizeof(WMIREGGUIDW));
    info->RegistryPath = PutCounted(base, &at, registry_path);
    info->MofResourceName = PutCounted(base, &at, &mof_name);
    ULONG base_name_offset = PutCounted(base, &at, base_name);

    auto* guids = reinterpret_cast<PWMIREGGUIDW>(base + FIELD_OFFSET(WMIREGINFOW, WmiRegGuid));
    for (ULONG i = 0; i < context->GuidCount; i++) {
        const WMIGUIDREGINFO& entry = context->GuidList[i];
        guids[i].Guid = *entry.Guid;
        guids[i].InstanceCount = entry.InstanceCount;
        guids[i].Flags = entry.Flags | reg_flags;
        if (by_pdo) {
            guids[i].Pdo = reinterpret_cast<ULONG_PTR>(pdo);
        } else if (base_name_offset != 0) {
            guids[i].Flags |= WMIREG_FLAG_INSTANCE_BASENAME;
            guids[i].BaseNameOffset = base_name_offset;
        }
    }
    return Answer(irp, STATUS_SUCCESS, needed);
}

bool FindGuid(PWMILIB_CONTEXT context, PVOID data_path, ULONG* index)
{
    if (data_path == nullptr) {
        return false;
    }
    for (ULONG i = 0; i < context->GuidCount; i++) {
        if (std::memcmp(context->GuidList[i].Guid, data_path, sizeof(GUID)) == 0) {
            *index = i;
            return true;
        }
    }
    return false;
}

// The fixed part of the WNODE each minor carries: a smaller buffer is malformed.
ULONG MinimumWnode(UCHAR minor)
{
    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA:
            return kAllDataArray;
        case IRP_MN_QUERY_SINGLE_INSTANCE:
        case IRP_MN_CHANGE_SINGLE_INSTANCE:
            return FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData);
        case IRP_MN_CHANGE_SINGLE_ITEM:
            return FIELD_OFFSET(WNODE_SINGLE_ITEM, VariableData);
        case IRP_MN_EXECUTE_METHOD:
            return FIELD_OFFSET(WNODE_METHOD_ITEM, VariableData);
        default:
            return sizeof(WNODE_HEADER);
    }
}

// A data area [offset, offset + length) must lie inside the buffer.
bool Inside(ULONG offset, ULONG length, ULONG size)
{
    return offset <= size && length <= size - offset;
}

// A data request for one of the driver's GUIDs, whose WNODE holds at least the fixed part its minor
// carries.
struct DataBlockRequest {
    PWMILIB_CONTEXT context;
    PDEVICE_OBJECT device;
    PIRP irp;
    ULONG guid;      // its index in the driver's GUID list
    ULONG instances; // the GUID's instance count
    PUCHAR base;     // the WNODE
    ULONG size;      // the buffer's size
    // Set to IrpProcessed as the request is handed to a callback, which completes it.
    PSYSCTL_IRP_DISPOSITION disposition;

    PWMILIB_CONTEXT Handed() const
    {
        *disposition = IrpProcessed;
        return context;
    }
};

// What a request on one instance checks first, in this order: its data lies inside the buffer, and the
// instance is one of the GUID's.
NTSTATUS CheckInstance(const DataBlockRequest& r, ULONG offset, ULONG length, ULONG instance)
{
    if (!Inside(offset, length, r.size)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (instance >= r.instances) {
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryAllData(const DataBlockRequest& r)
{
    if (r.context->QueryWmiDataBlock == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(r.base);
    unsigned long long wide = AllDataOffset(r.instances);
    if (r.size < wide) {
        // Not even the instance lengths fit: the data's size is unknown, so ask for the least.
        return AnswerTooSmall(r.irp, &wnode->WnodeHeader, wide > ~0u ? ~0u : ULONG(wide));
    }
    ULONG offset = ULONG(wide);
    wnode->DataBlockOffset = offset;
    wnode->InstanceCount = r.instances;
    wnode->OffsetInstanceNameOffsets = 0;
    std::memset(r.base + kAllDataArray, 0, offset - kAllDataArray);
    const sim::DriverCall call;
    return r.Handed()->QueryWmiDataBlock(r.device, r.irp, r.guid, 0, r.instances, AllDataLengths(wnode),
                                         r.size - offset, r.base + offset);
}

NTSTATUS QuerySingleInstance(const DataBlockRequest& r)
{
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(r.base);
    if (NTSTATUS s = CheckInstance(r, wnode->DataBlockOffset, 0, wnode->InstanceIndex); !NT_SUCCESS(s)) {
        return Answer(r.irp, s, 0);
    }
    if (r.context->QueryWmiDataBlock == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    // The one instance length goes straight into SizeDataBlock.
    wnode->SizeDataBlock = 0;
    const sim::DriverCall call;
    return r.Handed()->QueryWmiDataBlock(r.device, r.irp, r.guid, wnode->InstanceIndex, 1,
                                         &wnode->SizeDataBlock, r.size - wnode->DataBlockOffset,
                                         r.base + wnode->DataBlockOffset);
}

NTSTATUS ChangeSingleInstance(const DataBlockRequest& r)
{
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(r.base);
    if (NTSTATUS s = CheckInstance(r, wnode->DataBlockOffset, wnode->SizeDataBlock, wnode->InstanceIndex);
        !NT_SUCCESS(s)) {
        return Answer(r.irp, s, 0);
    }
    if (r.context->SetWmiDataBlock == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    const sim::DriverCall call;
    return r.Handed()->SetWmiDataBlock(r.device, r.irp, r.guid, wnode->InstanceIndex, wnode->SizeDataBlock,
                                       r.base + wnode->DataBlockOffset);
}

NTSTATUS ChangeSingleItem(const DataBlockRequest& r)
{
    auto* wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(r.base);
    if (NTSTATUS s = CheckInstance(r, wnode->DataItemOffset, wnode->SizeDataItem, wnode->InstanceIndex);
        !NT_SUCCESS(s)) {
        return Answer(r.irp, s, 0);
    }
    if (r.context->SetWmiDataItem == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    const sim::DriverCall call;
    return r.Handed()->SetWmiDataItem(r.device, r.irp, r.guid, wnode->InstanceIndex, wnode->ItemId,
                                      wnode->SizeDataItem, r.base + wnode->DataItemOffset);
}

NTSTATUS ExecuteMethod(const DataBlockRequest& r)
{
    auto* wnode = reinterpret_cast<PWNODE_METHOD_ITEM>(r.base);
    if (NTSTATUS s = CheckInstance(r, wnode->DataBlockOffset, wnode->SizeDataBlock, wnode->InstanceIndex);
        !NT_SUCCESS(s)) {
        return Answer(r.irp, s, 0);
    }
    if (r.context->ExecuteWmiMethod == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    // The output goes where the input was: the whole rest of the buffer is the output's room.
    const sim::DriverCall call;
    return r.Handed()->ExecuteWmiMethod(r.device, r.irp, r.guid, wnode->InstanceIndex, wnode->MethodId,
                                        wnode->SizeDataBlock, r.size - wnode->DataBlockOffset,
                                        r.base + wnode->DataBlockOffset);
}

// Enabling or disabling the GUID's events or its data collection.
NTSTATUS FunctionControl(const DataBlockRequest& r, UCHAR minor)
{
    if (r.context->WmiFunctionControl == nullptr) {
        return Answer(r.irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
    bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
    const sim::DriverCall call;
    return r.Handed()->WmiFunctionControl(
        r.device, r.irp, r.guid, events ? WmiEventControl : WmiDataBlockControl, enable ? TRUE : FALSE);
}

NTSTATUS DataRequest(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack,
                     PSYSCTL_IRP_DISPOSITION disposition)
{
    UCHAR minor = stack->MinorFunction;
    ULONG index = 0;
    if (!FindGuid(context, stack->Parameters.WMI.DataPath, &index)) {
        return Answer(irp, STATUS_WMI_GUID_NOT_FOUND, 0);
    }
    ULONG size = stack->Parameters.WMI.BufferSize;
    PUCHAR base = Bytes(stack->Parameters.WMI.Buffer);
    if (base == nullptr || size < MinimumWnode(minor)) {
        return Answer(irp, STATUS_INVALID_PARAMETER, 0);
    }
    const ULONG instances = context->GuidList[index].InstanceCount;
    const DataBlockRequest r{context, device, irp, index, instances, base, size, disposition};
    switch (minor) {
        case IRP_MN_QUERY_ALL_DATA:
            return QueryAllData(r);
        case IRP_MN_QUERY_SINGLE_INSTANCE:
            return QuerySingleInstance(r);
        case IRP_MN_CHANGE_SINGLE_INSTANCE:
            return ChangeSingleInstance(r);
        case IRP_MN_CHANGE_SINGLE_ITEM:
            return ChangeSingleItem(r);
        case IRP_MN_EXECUTE_METHOD:
            return ExecuteMethod(r);
        default:
            return FunctionControl(r, minor);
    }
}

// Turns the instance lengths a query-all-data callback left in the WNODE into the form WMI reads: one
// size for all when they are equal, otherwise an offset and a length for each (each instance starting on
// an 8-byte boundary, as the callback lays them out).
ULONG_PTR FinishAllData(PWNODE_ALL_DATA wnode, ULONG used)
{
    ULONG count = wnode->InstanceCount;
    PULONG lengths = AllDataLengths(wnode);
    std::vector<ULONG> length(lengths, lengths + count);
    bool same = count > 0;
    for (ULONG i = 1; i < count && same; i++) {
        same = length[i] == length[0];
    }
    if (same) {
        wnode->WnodeHeader.Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
        wnode->FixedInstanceSize = length[0];
    } else {
        wnode->WnodeHeader.Flags &= ~ULONG(WNODE_FLAG_FIXED_INSTANCE_SIZE);
        auto* pairs = reinterpret_cast<POFFSETINSTANCEDATAANDLENGTH>(lengths);
        ULONG offset = wnode->DataBlockOffset;
        for (ULONG i = 0; i < count; i++) {
            pairs[i].OffsetInstanceData = offset;
            pairs[i].LengthInstanceData = length[i];
            offset += Align8(length[i]);
        }
    }
    wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + used;
    return wnode->WnodeHeader.BufferSize;
}

// A single instance's data, or a method's output: one data block, whose size is the callback's.
template <typename Wnode>
ULONG_PTR FinishDataBlock(Wnode* wnode, ULONG used)
{
    wnode->SizeDataBlock = used;
    wnode->WnodeHeader.BufferSize = wnode->DataBlockOffset + used;
    return wnode->WnodeHeader.BufferSize;
}

// A request whose callback returned data at the WNODE's DataBlockOffset: a WNODE_TOO_SMALL when it
// wanted more room, the data (clamped to the room it had) laid out by `finish` when it succeeded.
template <typename Wnode, typename Finish>
NTSTATUS CompleteData(PIRP irp, Wnode* wnode, ULONG size, NTSTATUS status, ULONG used, CCHAR boost,
                      const char* minor, Finish finish)
{
    if (status == STATUS_BUFFER_TOO_SMALL) {
        AnswerTooSmall(irp, &wnode->WnodeHeader, wnode->DataBlockOffset + used);
        IofCompleteRequest(irp, boost);
        return STATUS_SUCCESS;
    }
    ULONG_PTR information = 0;
    if (NT_SUCCESS(status)) {
        const ULONG room = size - wnode->DataBlockOffset;
        information = finish(wnode, UsedFits(used, room, minor) ? used : room);
    }
    return Complete(irp, status, information, boost);
}

} // namespace

extern "C" {

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    const sim::OperationEntry entry(sim::Op::WmiSystemControl);
    sim::IoManager& io = sim::Machine::Current().io();
    NTSTATUS status;
    if (io.ReportIfDead(Irp, "WmiSystemControl", &status)) {
        *IrpDisposition = IrpProcessed; // nothing is left to do with it
        return status;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR minor = stack->MinorFunction;
    SYSCTL_IRP_DISPOSITION disposition = IrpNotCompleted;
    status = Irp->IoStatus.Status;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || stack->Parameters.WMI.ProviderId == 0) {
        disposition = IrpNotWmi;
    } else if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        disposition = IrpForward;
    } else if (!KnownMinor(minor)) {
        disposition = IrpNotWmi;
    } else if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
        status = RegInfo(WmiLibInfo, DeviceObject, Irp, stack);
    } else {
        status = DataRequest(WmiLibInfo, DeviceObject, Irp, stack, &disposition);
    }
    *IrpDisposition = disposition;
    // A callback may have completed the request already: only the others are looked at again.
    if (disposition == IrpNotCompleted) {
        io.NoteDuty(Irp, "WmiSystemControl answered " + MinorName(minor) +
                             " with IrpNotCompleted, which leaves completing it to the driver");
    } else if (disposition != IrpProcessed) {
        io.NoteDuty(Irp, "WmiSystemControl answered " + MinorName(minor) + " with " +
                             (disposition == IrpForward ? "IrpForward" : "IrpNotWmi") +
                             ", which leaves passing it down to the driver");
    }
    return status;
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost)
{
    const sim::OperationEntry entry(sim::Op::WmiCompleteRequest);
    UNREFERENCED_PARAMETER(DeviceObject);
    if (NTSTATUS final = 0; sim::Machine::Current().io().ReportIfDead(Irp, "WmiCompleteRequest", &final)) {
        return final;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR base = Bytes(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ALL_DATA:
            return CompleteData(Irp, reinterpret_cast<PWNODE_ALL_DATA>(base), size, Status, BufferUsed,
                                PriorityBoost, "IRP_MN_QUERY_ALL_DATA", FinishAllData);
        case IRP_MN_QUERY_SINGLE_INSTANCE:
            return CompleteData(Irp, reinterpret_cast<PWNODE_SINGLE_INSTANCE>(base), size, Status, BufferUsed,
                                PriorityBoost, "IRP_MN_QUERY_SINGLE_INSTANCE",
                                FinishDataBlock<WNODE_SINGLE_INSTANCE>);
        case IRP_MN_EXECUTE_METHOD:
            return CompleteData(Irp, reinterpret_cast<PWNODE_METHOD_ITEM>(base), size, Status, BufferUsed,
                                PriorityBoost, "IRP_MN_EXECUTE_METHOD", FinishDataBlock<WNODE_METHOD_ITEM>);
        default:
            // Changes and enable/disable return no data.
            return Complete(Irp, Status, 0, PriorityBoost);
    }
}

} // extern "C"
