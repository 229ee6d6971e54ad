#include "small_driver.h"

namespace small_driver {
namespace {

Flaw g_flaw;
int g_unloads;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, 0x22, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (g_flaw != Flaw::KeepsInitializing) {
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return STATUS_SUCCESS;
}

// Passes every request down; removal also detaches and deletes the device, unless told otherwise.
NTSTATUS NTAPI Pnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    const PDEVICE_OBJECT lower = Lower(fdo);
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        return PassDown(fdo, irp);
    }
    if (g_flaw == Flaw::FailsRemove) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(fdo, irp);
    if (g_flaw != Flaw::KeepsDevice) {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return status;
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT fdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    return PoPassDown(fdo, irp);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { g_unloads++; };
    return STATUS_SUCCESS;
}

} // namespace

PDEVICE_OBJECT Lower(PDEVICE_OBJECT fdo)
{
    return *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Lower(fdo), irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PoPassDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Lower(fdo), irp);
}

std::string ThreadName()
{
    sim::Scheduler& scheduler = sim::Machine::Current().scheduler();
    return scheduler.ThreadName(scheduler.CurrentId());
}

size_t ReportsNow()
{
    return sim::Machine::Current().verifier().Count();
}

} // namespace small_driver

void SmallDriverTest::SetUp()
{
    SimTest::SetUp();
    small_driver::g_flaw = small_driver::Flaw::None;
    small_driver::g_unloads = 0;
    NTSTATUS status;
    driver_ = machine_.io().LoadDriver("Quav", small_driver::Entry, u"\\REGISTRY\\Machine\\x", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
}

PDEVICE_OBJECT SmallDriverTest::AddNode()
{
    return pnp().AddDevice(driver_);
}

void SmallDriverTest::SetFlaw(small_driver::Flaw flaw)
{
    small_driver::g_flaw = flaw;
}

int SmallDriverTest::Unloads() const
{
    return small_driver::g_unloads;
}
