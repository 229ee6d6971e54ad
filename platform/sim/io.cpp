// The I/O manager's and power manager's kernel routines, on the current machine's I/O manager.
#include <cstring>

#include "entry.h"
#include "machine.h"

namespace {

constexpr ULONG kStringTag = 0x72747355; // "Ustr", the kernel's tag for strings it allocates

sim::IoManager& Io()
{
    return sim::Machine::Current().io();
}

std::u16string_view View(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return {s->Buffer, s->Length / sizeof(WCHAR)};
}

} // namespace

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    const sim::OperationEntry entry(sim::Op::IoCreateDevice);
    return Io().CreateDevice(DriverObject, DeviceExtensionSize, View(DeviceName), DeviceType,
                             DeviceCharacteristics, Exclusive != FALSE, DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    const sim::OperationEntry entry(sim::Op::IoDeleteDevice);
    Io().DeleteDevice(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    const sim::OperationEntry entry(sim::Op::IoCreateSymbolicLink);
    return Io().CreateSymbolicLink(View(SymbolicLinkName), View(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    const sim::OperationEntry entry(sim::Op::IoDeleteSymbolicLink);
    return Io().DeleteSymbolicLink(View(SymbolicLinkName));
}

// The link name is the caller's to free with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    const sim::OperationEntry entry(sim::Op::IoRegisterDeviceInterface);
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string link;
    const NTSTATUS status =
        Io().RegisterInterface(PhysicalDeviceObject, *InterfaceClassGuid, View(ReferenceString), &link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes - sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    const sim::OperationEntry entry(sim::Op::IoSetDeviceInterfaceState);
    return Io().SetInterfaceState(View(SymbolicLinkName), Enable != FALSE);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    const sim::OperationEntry entry(sim::Op::IoAttachDeviceToDeviceStack);
    return Io().Attach(SourceDevice, TargetDevice);
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    const sim::OperationEntry entry(sim::Op::IoDetachDevice);
    Io().Detach(TargetDevice);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const sim::OperationEntry entry(sim::Op::IofCallDriver);
    return Io().CallDriver(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    const sim::OperationEntry entry(sim::Op::IofCompleteRequest);
    (void)PriorityBoost;
    Io().CompleteRequest(Irp);
}

// The same call as IoCallDriver, except that the power manager sees the power requests it passes.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const sim::OperationEntry entry(sim::Op::PoCallDriver);
    return Io().CallDriver(DeviceObject, Irp, true);
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    const sim::OperationEntry entry(sim::Op::PoStartNextPowerIrp);
    Io().StartNextPowerIrp(Irp);
}

LONG InterlockedIncrement(volatile LONG* Addend)
{
    const sim::OperationEntry entry(sim::Op::InterlockedIncrement);
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(volatile LONG* Addend)
{
    const sim::OperationEntry entry(sim::Op::InterlockedDecrement);
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize)
{
    const sim::OperationEntry entry(sim::Op::IoInitializeRemoveLockEx);
    (void)RemlockSize;
    Io().InitializeRemoveLock(Lock, AllocateTag, MaxLockedMinutes, HighWatermark);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize)
{
    const sim::OperationEntry entry(sim::Op::IoAcquireRemoveLockEx);
    (void)RemlockSize;
    return Io().AcquireRemoveLock(RemoveLock, Tag, File, Line);
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    const sim::OperationEntry entry(sim::Op::IoReleaseRemoveLockEx);
    (void)RemlockSize;
    Io().ReleaseRemoveLock(RemoveLock, Tag);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    const sim::OperationEntry entry(sim::Op::IoReleaseRemoveLockAndWaitEx);
    (void)RemlockSize;
    Io().ReleaseRemoveLockAndWait(RemoveLock, Tag);
}

} // extern "C"
