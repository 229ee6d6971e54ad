// A request's life: once its final completion hands an IRP back to its sender, Windows may free it, so
// any later use through the kernel's routines is reported at the call; and a dispatch routine must
// complete, pend or pass down every request it gets, including those the WMI library leaves to it. Each
// broken routine here, in one slot of the small driver, breaks one rule.
#include <cstring>
#include <string>
#include <vector>

#include "small_driver.h"

namespace {

using small_driver::Complete;
using small_driver::Lower;
using small_driver::PassDown;
using D = PDEVICE_OBJECT;

const GUID kGuid = {0x5A1E0101, 0x0E6B, 0x4C1D, {0x9A, 0x11, 0x20, 0x31, 0x42, 0x53, 0x64, 0x75}};
constexpr int kHonoursAll = -1; // no disposition is ignored

struct State {
    int ignored = kHonoursAll;                  // the disposition the system-control routine fails to act on
    SYSCTL_IRP_DISPOSITION last = IrpProcessed; // what WmiSystemControl answered last
    size_t reports_at_misuse = 0;               // the verifier's count right after the misuse
    PIRP held = nullptr;                        // a request the routine kept
    IO_REMOVE_LOCK lock{};
} g;

WMIGUIDREGINFO g_guids[] = {{&kGuid, 1, 0}};

// Instances named after the physical device object: no pool for the library to free.
NTSTATUS NTAPI QueryRegInfo(D fdo, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* registry_path,
                            PUNICODE_STRING, PDEVICE_OBJECT* pdo)
{
    *flags = WMIREG_FLAG_INSTANCE_PDO;
    *registry_path = nullptr;
    *pdo = Lower(fdo);
    return STATUS_SUCCESS;
}

// No data callbacks: the library answers data requests for the GUID itself.
WMILIB_CONTEXT g_wmi = {1, g_guids, QueryRegInfo, nullptr, nullptr, nullptr, nullptr, nullptr};

// Does what WmiSystemControl says, except for one disposition, after which it just returns.
NTSTATUS NTAPI SystemControl(D fdo, PIRP irp)
{
    const NTSTATUS status = WmiSystemControl(&g_wmi, fdo, irp, &g.last);
    if (static_cast<int>(g.last) == g.ignored || g.last == IrpProcessed) {
        return status;
    }
    if (g.last == IrpNotCompleted) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    return PassDown(fdo, irp);
}

void Misused()
{
    g.reports_at_misuse = small_driver::ReportsNow();
}

class StrictRequestsTest : public SmallDriverTest {
protected:
    void SetUp() override
    {
        SmallDriverTest::SetUp();
        g = {};
        IoInitializeRemoveLock(&g.lock, 0x74736554, 0, 0);
        driver_->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
        pdo_ = AddNode();
        fdo_ = Fdo(pdo_);
    }

    // A WMI request for the GUID built by hand, with a WNODE_SINGLE_INSTANCE header when it fits.
    NTSTATUS SendWmi(UCHAR minor, D provider, ULONG buffer_size)
    {
        std::vector<uint8_t> buffer(buffer_size);
        constexpr ULONG kData = (FIELD_OFFSET(WNODE_SINGLE_INSTANCE, VariableData) + 7) & ~7u;
        if (buffer_size >= kData) {
            auto* wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
            wnode->WnodeHeader.BufferSize = buffer_size;
            wnode->DataBlockOffset = kData;
        }
        PIRP irp = machine_.io().AllocateIrp(fdo_->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        stack->MinorFunction = minor;
        stack->Parameters.WMI = {reinterpret_cast<ULONG_PTR>(provider), const_cast<GUID*>(&kGuid),
                                 buffer_size, buffer.data()};
        const NTSTATUS status = machine_.io().Send(fdo_, irp);
        machine_.io().FreeIrp(irp);
        return status;
    }

    // One request of the kind `major` names, from the system to the top of the node's stack.
    NTSTATUS SendOne(UCHAR major)
    {
        switch (major) {
            case IRP_MJ_PNP:
                return pnp().Request(pdo_, IRP_MN_QUERY_CAPABILITIES);
            case IRP_MJ_POWER:
                return pnp().Power(pdo_, IRP_MN_POWER_SEQUENCE, DevicePowerState, POWER_STATE{});
            default:
                return SendWmi(IRP_MN_QUERY_ALL_DATA, fdo_, 256);
        }
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

// What a routine does with the request once it has completed it; what it returns.
using Misuse = NTSTATUS (*)(D fdo, PIRP irp);
Misuse g_misuse;

// Completes the request, then does g_misuse with it.
NTSTATUS NTAPI CompletesThenMisuses(D fdo, PIRP irp)
{
    Complete(irp, STATUS_SUCCESS);
    const NTSTATUS status = g_misuse(fdo, irp);
    Misused();
    return status;
}

struct AfterCompletion {
    const char* name;
    UCHAR major;
    Misuse misuse;            // done after completing; null: `routine` does all
    PDRIVER_DISPATCH routine; // the whole routine, when it is no simple misuse
    const char* report;       // null: allowed
    size_t reported_now;      // reports made by the time the misuse returned
};

const AfterCompletion kAfterCompletion[] = {
    {"passed down", IRP_MJ_PNP, [](D fdo, PIRP irp) { return IoCallDriver(Lower(fdo), irp); }, nullptr,
     "IofCallDriver of IRP", 1},
    {"completed again", IRP_MJ_PNP,
     [](D, PIRP irp) {
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     },
     nullptr, "completed after it was freed", 1},
    {"next power request started", IRP_MJ_POWER,
     [](D, PIRP irp) {
         PoStartNextPowerIrp(irp);
         return STATUS_SUCCESS;
     },
     nullptr, "PoStartNextPowerIrp of IRP", 1},
    {"power request passed down", IRP_MJ_POWER, [](D fdo, PIRP irp) { return PoCallDriver(Lower(fdo), irp); },
     nullptr, "PoCallDriver of IRP", 1},
    {"handed to the WMI library", IRP_MJ_SYSTEM_CONTROL,
     [](D fdo, PIRP irp) {
         SYSCTL_IRP_DISPOSITION disposition;
         WmiSystemControl(&g_wmi, fdo, irp, &disposition);
         return STATUS_SUCCESS;
     },
     nullptr, "WmiSystemControl of IRP", 1},
    {"completed again through WMI", IRP_MJ_SYSTEM_CONTROL,
     [](D fdo, PIRP irp) {
         WmiCompleteRequest(fdo, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     },
     nullptr, "WmiCompleteRequest of IRP", 1},
    // The status read back is poison, not the one it completed with: caught where the routine returns.
    {"status read back", IRP_MJ_PNP, [](D, PIRP irp) { return irp->IoStatus.Status; }, nullptr,
     "returned 0xDDDDDDDD but completed the IRP with 0x00000000", 0},
    // What drivers do: the IRP's address is only the remove lock's tag.
    {"remove lock released with it as tag", IRP_MJ_PNP, nullptr,
     [](D, PIRP irp) NTAPI {
         IoAcquireRemoveLock(&g.lock, irp);
         Complete(irp, STATUS_SUCCESS);
         IoReleaseRemoveLock(&g.lock, irp);
         Misused();
         return STATUS_SUCCESS;
     },
     nullptr, 0},
    // Pending, then completed elsewhere: its one final completion.
    {"pended and completed by another thread", IRP_MJ_PNP, nullptr,
     [](D, PIRP irp) NTAPI {
         IoMarkIrpPending(irp);
         IoAcquireRemoveLock(&g.lock, irp);
         sim::StartThread("interrupt", [irp] {
             sim::Sleep(sim::Ms(1));
             Complete(irp, STATUS_SUCCESS);
             IoReleaseRemoveLock(&g.lock, irp);
         });
         Misused();
         return STATUS_PENDING;
     },
     nullptr, 0},
};

TEST_F(StrictRequestsTest, UseOfACompletedIrpIsReportedAtTheCall)
{
    for (const AfterCompletion& c : kAfterCompletion) {
        g_misuse = c.misuse;
        driver_->MajorFunction[c.major] = c.misuse != nullptr ? CompletesThenMisuses : c.routine;
        g.reports_at_misuse = ~size_t{0};
        EXPECT_EQ(SendOne(c.major), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(g.reports_at_misuse, c.reported_now) << c.name;
        if (c.report != nullptr) {
            EXPECT_TRUE(ReportedBy("io", {c.report})) << c.name;
        }
        EXPECT_TRUE(machine_.io().Holders(&g.lock).empty()) << c.name;
    }
}

struct LeftInTheAir {
    const char* name;
    NTSTATUS returned;
    bool completed_later;
};

// A routine that neither completes nor pends the request: reported when it returns, the sender goes on
// with what it returned, and the IRP lives until it is completed (or the I/O manager goes).
TEST_F(StrictRequestsTest, RequestLeftInTheAirIsReportedAndAbandoned)
{
    const LeftInTheAir cases[] = {
        {"never completed", STATUS_UNSUCCESSFUL, false},
        {"completed after the routine returned", STATUS_SUCCESS, true},
    };
    static NTSTATUS returned;
    returned = STATUS_SUCCESS;
    driver_->MajorFunction[IRP_MJ_PNP] = [](D, PIRP irp) NTAPI {
        g.held = irp;
        return returned;
    };
    for (const LeftInTheAir& c : cases) {
        returned = c.returned;
        EXPECT_EQ(SendOne(IRP_MJ_PNP), c.returned) << c.name;
        EXPECT_TRUE(ReportedBy("io", {"without completing the IRP or returning STATUS_PENDING"})) << c.name;
        if (c.completed_later) {
            Complete(g.held, STATUS_SUCCESS);
            EXPECT_TRUE(TakeReports().empty()) << c.name;
            IoCompleteRequest(g.held, IO_NO_INCREMENT); // freed at that completion
            EXPECT_TRUE(OneReportContaining("not an allocated IRP")) << c.name;
        }
    }
}

struct Disposition {
    const char* name;
    UCHAR minor;
    bool other_provider;
    ULONG buffer_size;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status; // the final status when the driver does what the library says
    const char* duty;
};

const Disposition kDispositions[] = {
    {"WNODE too small", IRP_MN_CHANGE_SINGLE_INSTANCE, false, 8, IrpNotCompleted, STATUS_INVALID_PARAMETER,
     "IRP_MN_CHANGE_SINGLE_INSTANCE with IrpNotCompleted"},
    {"no callback for it", IRP_MN_CHANGE_SINGLE_INSTANCE, false, 256, IrpNotCompleted,
     STATUS_INVALID_DEVICE_REQUEST, "IRP_MN_CHANGE_SINGLE_INSTANCE with IrpNotCompleted"},
    {"another provider's", IRP_MN_QUERY_ALL_DATA, true, 256, IrpForward, STATUS_NOT_SUPPORTED,
     "IRP_MN_QUERY_ALL_DATA with IrpForward"},
    {"unknown minor code", 0x0A, false, 256, IrpNotWmi, STATUS_NOT_SUPPORTED,
     "IRP_MJ_SYSTEM_CONTROL/0x0A with IrpNotWmi"},
};

// Each request the library leaves to the driver: answered when the driver acts on the disposition,
// reported by name when it does not.
TEST_F(StrictRequestsTest, DispositionTheDriverIgnoresIsNamed)
{
    for (const Disposition& c : kDispositions) {
        const D provider = c.other_provider ? pdo_ : fdo_;
        g.ignored = kHonoursAll;
        EXPECT_EQ(SendWmi(c.minor, provider, c.buffer_size), c.status) << c.name;
        EXPECT_EQ(g.last, c.disposition) << c.name;
        EXPECT_TRUE(TakeReports().empty()) << c.name;

        g.ignored = c.disposition;
        EXPECT_EQ(SendWmi(c.minor, provider, c.buffer_size), c.status) << c.name;
        EXPECT_TRUE(ReportedBy("io", {c.duty})) << c.name;
    }

    // Passed down as told, then left in the air below: the lower driver's fault, not a disposition's.
    g.ignored = kHonoursAll;
    pdo_->DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = [](D, PIRP) NTAPI { return STATUS_SUCCESS; };
    EXPECT_EQ(SendWmi(IRP_MN_QUERY_ALL_DATA, pdo_, 256), STATUS_SUCCESS);
    const auto reports = TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].text.find("without completing"), std::string::npos) << reports[0].text;
    EXPECT_EQ(reports[0].text.find("WmiSystemControl"), std::string::npos) << reports[0].text;
}

// The registration information is the library's own answer: a driver that does not complete it leaves
// the system waiting, and the device without its GUIDs.
TEST_F(StrictRequestsTest, RegistrationInformationIsTheDriversToComplete)
{
    for (const bool ignored : {true, false}) {
        g.ignored = ignored ? static_cast<int>(IrpNotCompleted) : kHonoursAll;
        ASSERT_EQ(IoWMIRegistrationControl(fdo_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
        sim::Yield(); // WMI's thread asks for the registration information
        const auto registration = machine_.wmi().Registration(fdo_);
        ASSERT_TRUE(registration.has_value());
        EXPECT_EQ(registration->reginfo_status, ignored ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(registration->guids.size(), ignored ? 0u : 1u);
        if (ignored) {
            EXPECT_TRUE(ReportedBy("io", {"IRP_MN_REGINFO_EX with IrpNotCompleted"}));
        }
        ASSERT_EQ(IoWMIRegistrationControl(fdo_, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    }
}

} // namespace
