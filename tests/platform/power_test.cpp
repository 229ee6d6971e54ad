// Power requests through the power manager: one set- or query-power request of a kind active at a device
// object at a time, and the reports a power dispatch routine earns at the moment it breaks the rules.
#include <string>
#include <vector>

#include "sim/format.h"
#include "small_driver.h"

namespace {

using small_driver::Complete;
using small_driver::Lower;
using small_driver::PoPassDown;
using PowerTest = SmallDriverTest;

// The verifier's count as the routine returns: a check made only once the request is back with the
// power manager would leave it at 0.
size_t g_reports_then;
int g_calls; // power requests the function driver's dispatch routine has seen

NTSTATUS Noted(NTSTATUS status)
{
    g_reports_then = small_driver::ReportsNow();
    return status;
}

NTSTATUS NTAPI CompletionRoutine(PDEVICE_OBJECT, PIRP irp, PVOID start)
{
    if (start != nullptr) {
        PoStartNextPowerIrp(irp);
    }
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

// Passes the request down with a completion routine, which calls PoStartNextPowerIrp if `start`.
NTSTATUS NTAPI PassWithCompletion(PDEVICE_OBJECT fdo, PIRP irp, bool start)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, CompletionRoutine, start ? irp : nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(Lower(fdo), irp);
}

NTSTATUS NTAPI SendsWithIoCallDriver(PDEVICE_OBJECT fdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return Noted(IoCallDriver(Lower(fdo), irp));
}

NTSTATUS NTAPI PassesWithoutStarting(PDEVICE_OBJECT fdo, PIRP irp)
{
    return Noted(PoPassDown(fdo, irp));
}

NTSTATUS NTAPI FailsWithoutStarting(PDEVICE_OBJECT, PIRP irp)
{
    return Noted(Complete(irp, STATUS_UNSUCCESSFUL));
}

NTSTATUS NTAPI CompletionForgetsToStart(PDEVICE_OBJECT fdo, PIRP irp)
{
    return Noted(PassWithCompletion(fdo, irp, false));
}

NTSTATUS NTAPI StartsAfterSkipping(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    return Noted(PoCallDriver(Lower(fdo), irp));
}

NTSTATUS NTAPI StartsTwice(PDEVICE_OBJECT fdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    PoStartNextPowerIrp(irp);
    return Noted(PoPassDown(fdo, irp));
}

NTSTATUS NTAPI StartsInCompletion(PDEVICE_OBJECT fdo, PIRP irp)
{
    g_calls++;
    return Noted(PassWithCompletion(fdo, irp, true));
}

NTSTATUS NTAPI FailsAfterStarting(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    return Noted(Complete(irp, STATUS_UNSUCCESSFUL));
}

NTSTATUS NTAPI StartsAndPasses(PDEVICE_OBJECT fdo, PIRP irp)
{
    g_calls++;
    PoStartNextPowerIrp(irp);
    return PoPassDown(fdo, irp);
}

POWER_STATE State(POWER_STATE_TYPE type)
{
    POWER_STATE state;
    if (type == SystemPowerState) {
        state.SystemState = PowerSystemWorking;
    } else {
        state.DeviceState = PowerDeviceD0;
    }
    return state;
}

TEST_F(PowerTest, PowerDispatchRoutinesBreakingTheRulesAreReportedWhenTheyDo)
{
    struct Case {
        const char* name;
        PDRIVER_DISPATCH routine;
        UCHAR minor;
        NTSTATUS status;
        std::vector<const char*> reports; // a needle each; none: what the power manager allows
    };
    constexpr NTSTATUS kOk = STATUS_SUCCESS, kFailed = STATUS_UNSUCCESSFUL,
                       kNotSupported = STATUS_NOT_SUPPORTED;
    const char* const kTooEarly = "before its driver called PoStartNextPowerIrp";
    const char* const kNotStarted = "without calling PoStartNextPowerIrp";
    const char* const kIoCall = "with IoCallDriver";
    const Case cases[] = {
        {"IoCallDriver", SendsWithIoCallDriver, IRP_MN_SET_POWER, kOk, {kIoCall}},
        {"IoCallDriver, wait-wake", SendsWithIoCallDriver, IRP_MN_WAIT_WAKE, kNotSupported, {kIoCall}},
        {"passed down", PassesWithoutStarting, IRP_MN_SET_POWER, kOk, {" down to "}},
        {"query passed down", PassesWithoutStarting, IRP_MN_QUERY_POWER, kOk, {kNotStarted}},
        {"failed", FailsWithoutStarting, IRP_MN_QUERY_POWER, kFailed, {kTooEarly}},
        {"completion routine", CompletionForgetsToStart, IRP_MN_SET_POWER, kOk, {kTooEarly}},
        {"skipped", StartsAfterSkipping, IRP_MN_SET_POWER, kOk, {"no current stack location", kNotStarted}},
        {"twice", StartsTwice, IRP_MN_SET_POWER, kOk, {"had called it already"}},
        {"wait-wake passed down", PassesWithoutStarting, IRP_MN_WAIT_WAKE, kNotSupported, {}},
        {"power sequence passed down", PassesWithoutStarting, IRP_MN_POWER_SEQUENCE, kNotSupported, {}},
        {"started in the completion routine", StartsInCompletion, IRP_MN_SET_POWER, kOk, {}},
        {"failed after starting", FailsAfterStarting, IRP_MN_SET_POWER, kFailed, {}},
    };
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_NE(pdo, nullptr);
    const std::string fdo = machine_.io().Name(Fdo(pdo));
    // Every case leaves the device free for the next: a hold left behind would stop the table in a
    // deadlock report.
    for (POWER_STATE_TYPE type : {SystemPowerState, DevicePowerState}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (type == SystemPowerState ? ", system" : ", device"));
            driver_->MajorFunction[IRP_MJ_POWER] = c.routine;
            g_reports_then = 0;
            EXPECT_EQ(pnp().Power(pdo, c.minor, type, State(type)), c.status);
            EXPECT_EQ(g_reports_then, c.reports.size()); // made by the time the routine returned
            const std::vector<sim::VerifierReport> reports = TakeReports();
            ASSERT_EQ(reports.size(), c.reports.size());
            for (size_t i = 0; i < reports.size(); i++) {
                const std::string& text = reports[i].text;
                EXPECT_NE(text.find(c.reports[i]), std::string::npos) << text;
                EXPECT_NE(text.find(fdo), std::string::npos) << text;
                EXPECT_NE(text.find(sim::Format("IRP_MJ_POWER/0x%02X", c.minor)), std::string::npos) << text;
            }
        }
    }
}

// The bus driver holds set- and query-power requests for 10 ms. While it holds one, a second of the
// same kind, sent from another thread, waits for the first's PoStartNextPowerIrp (at 10 ms) and is then
// held for its own 10 ms; one of the other kind is held only for its own 10 ms, and wait-wake and
// power-sequence requests not at all. A function driver that starts the next request only in its
// completion routine keeps the second at the top of the stack, out of its dispatch routine, until the
// bus driver is done with the first.
TEST_F(PowerTest, OneSetOrQueryPowerRequestOfAKindIsActiveAtADeviceObject)
{
    struct Case {
        PDRIVER_DISPATCH routine;
        POWER_STATE_TYPE first;
        UCHAR minor;
        POWER_STATE_TYPE type;
        NTSTATUS status;
        int done_ms;
        int calls_at_once; // power requests the function driver has seen once the second is sent
    };
    constexpr POWER_STATE_TYPE kD = DevicePowerState, kS = SystemPowerState;
    constexpr NTSTATUS kOk = STATUS_SUCCESS, kNotSupported = STATUS_NOT_SUPPORTED;
    const Case cases[] = {
        {StartsAndPasses, kD, IRP_MN_SET_POWER, kD, kOk, 20, 2},
        {StartsAndPasses, kD, IRP_MN_QUERY_POWER, kD, kOk, 20, 2},
        {StartsAndPasses, kD, IRP_MN_SET_POWER, kS, kOk, 10, 2},
        {StartsAndPasses, kD, IRP_MN_QUERY_POWER, kS, kOk, 10, 2},
        {StartsAndPasses, kD, IRP_MN_WAIT_WAKE, kD, kNotSupported, 0, 2},
        {StartsAndPasses, kD, IRP_MN_POWER_SEQUENCE, kD, kNotSupported, 0, 2},
        {StartsAndPasses, kS, IRP_MN_QUERY_POWER, kS, kOk, 20, 2},
        {StartsAndPasses, kS, IRP_MN_SET_POWER, kD, kOk, 10, 2},
        {StartsInCompletion, kD, IRP_MN_SET_POWER, kD, kOk, 20, 1},
        {StartsInCompletion, kD, IRP_MN_SET_POWER, kS, kOk, 10, 2},
    };
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_NE(pdo, nullptr);
    pnp().DelayPower(SystemPowerState, sim::Ms(10));
    pnp().DelayPower(DevicePowerState, sim::Ms(10));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first " << c.first << ", minor " << int{c.minor} << ", type "
                                        << c.type << ", calls " << c.calls_at_once);
        driver_->MajorFunction[IRP_MJ_POWER] = c.routine;
        g_calls = 0;
        const sim::Ticks start = sim::Now();
        sim::Ticks first_done = 0;
        sim::Ticks second_done = 0;
        NTSTATUS second_status = STATUS_PENDING;
        PKTHREAD first = sim::StartThread("first", [&] {
            EXPECT_EQ(pnp().Power(pdo, IRP_MN_SET_POWER, c.first, State(c.first)), STATUS_SUCCESS);
            first_done = sim::Now() - start;
        });
        sim::Yield(); // the first is held in the bus driver
        PKTHREAD second = sim::StartThread("second", [&] {
            second_status = pnp().Power(pdo, c.minor, c.type, State(c.type));
            second_done = sim::Now() - start;
        });
        sim::Yield();
        EXPECT_EQ(g_calls, c.calls_at_once);
        sim::JoinThread(second);
        sim::JoinThread(first);
        EXPECT_EQ(first_done, sim::Ms(10));
        EXPECT_EQ(second_status, c.status);
        EXPECT_EQ(second_done, sim::Ms(c.done_ms));
        EXPECT_EQ(g_calls, 2);
    }
}

} // namespace
