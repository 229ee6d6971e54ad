// The I/O manager's and power manager's kernel routines, on the current machine's I/O manager.
#include <cstring>

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
    return Io().CreateDevice(DriverObject, DeviceExtensionSize, View(DeviceName), DeviceType,
                             DeviceCharacteristics, Exclusive != FALSE, DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Io().DeleteDevice(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return Io().CreateSymbolicLink(View(SymbolicLinkName), View(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return Io().DeleteSymbolicLink(View(SymbolicLinkName));
}

// The link name is the caller's to free with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
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
    return Io().SetInterfaceState(View(SymbolicLinkName), Enable != FALSE);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    return Io().Attach(SourceDevice, TargetDevice);
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Io().Detach(TargetDevice);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Io().CallDriver(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    Io().CompleteRequest(Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Io().CallDriver(DeviceObject, Irp, "PoCallDriver");
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    Io().StartNextPowerIrp(Irp);
}

LONG InterlockedIncrement(volatile LONG* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(volatile LONG* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize)
{
    (void)RemlockSize;
    Io().InitializeRemoveLock(Lock, AllocateTag, MaxLockedMinutes, HighWatermark);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize)
{
    (void)RemlockSize;
    return Io().AcquireRemoveLock(RemoveLock, Tag, File, Line);
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    (void)RemlockSize;
    Io().ReleaseRemoveLock(RemoveLock, Tag);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    (void)RemlockSize;
    Io().ReleaseRemoveLockAndWait(RemoveLock, Tag);
}

} // extern "C"
