// IRQL at the platform's entry points: a bus driver that completes at DISPATCH_LEVEL runs the completion
// routines above it there, and each operation called above its documented maximum is reported, naming
// it, the IRQL, the maximum and the thread. And the switch points a seeded run takes at every operation
// and call into the driver, never at DISPATCH_LEVEL.
#include <ostream>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "sim/entry.h"
#include "sim/operation_list.h"
#include "small_driver.h"

namespace {

using small_driver::Lower;

constexpr ULONG kTag = 0x51717249; // "Irq"

// What the completion routine does, and what it saw.
void (*g_action)();
KIRQL g_irql_seen;

void PageableHelper()
{
    PAGED_CODE();
}

NTSTATUS NTAPI RunAction(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    g_irql_seen = KeGetCurrentIrql();
    g_action();
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

// Passes every request down, with the completion routine that runs g_action.
NTSTATUS NTAPI PassWithAction(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, RunAction, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(Lower(fdo), irp);
}

UNICODE_STRING Text(const WCHAR* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

struct IrqlCase {
    const char* name;
    void (*action)();
    bool at_dispatch; // the bus driver completes at DISPATCH_LEVEL
    bool delayed;     // and from its own thread, after a delay
    std::vector<std::string> reports;
};

// Named in test listings by its case name, not by its bytes.
void PrintTo(const IrqlCase& c, std::ostream* out)
{
    *out << c.name;
}

class IrqlTest : public SmallDriverTest, public ::testing::WithParamInterface<IrqlCase> {};

TEST_P(IrqlTest, CompletionRoutineRunsAtTheBusDriversIrqlAndIsCheckedThere)
{
    const IrqlCase& c = GetParam();
    g_action = c.action;
    g_irql_seen = 0xFF;
    driver_->MajorFunction[IRP_MJ_PNP] = PassWithAction;
    PDEVICE_OBJECT pdo = AddNode();
    pnp().CompleteAtDispatch(c.at_dispatch);
    if (c.delayed) {
        pnp().Delay(IRP_MN_START_DEVICE, sim::Ms(5));
    }
    ASSERT_EQ(pnp().Start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_irql_seen, c.at_dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); // the bus driver's raise ended with its completion
    EXPECT_TRUE(ReportedBy("irql", c.reports));
}

// The completion routines' actions: each waits, writes or allocates as a driver might.
void WaitForSignalled(PLARGE_INTEGER timeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE); // signalled: nothing blocks here
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

void WriteRegistry()
{
    ULONG one = 1;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\Machine\\x", u"v", REG_DWORD, &one,
                          sizeof one);
}

void PollAndSignal()
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{.QuadPart = 0};
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
}

void PassiveOperations()
{
    UNICODE_STRING link = Text(u"\\DosDevices\\Irq");
    IoDeleteSymbolicLink(&link);
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag));
}

void TimedWait()
{
    LARGE_INTEGER timeout{.QuadPart = -10000};
    WaitForSignalled(&timeout);
}

void AllAtOnce()
{
    WaitForSignalled(nullptr);
    WriteRegistry();
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag));
    PageableHelper();
}

IrqlCase Case(const char* name, void (*action)(), bool at_dispatch, bool delayed,
              std::vector<std::string> reports = {})
{
    return {name, action, at_dispatch, delayed, std::move(reports)};
}

const std::string kWhere = std::string(" at DISPATCH_LEVEL, above its maximum ");
const std::string kWait = "KeWaitForSingleObject (a wait that may block)" + kWhere + "APC_LEVEL, in thread ";

const IrqlCase kIrqlCases[] = {
    Case("WaitAtDispatch", [] { WaitForSignalled(nullptr); }, true, false, {kWait + "\"test\""}),
    Case("TimedWaitAtDispatchFromTheBusDriversThread", TimedWait, true, true,
         {kWait + "\"bus driver: IRP_MN_START_DEVICE\""}),
    Case("PollAndSignalAtDispatchAreAllowed", PollAndSignal, true, false),
    Case("RegistryWriteAtDispatch", WriteRegistry, true, false,
         {"RtlWriteRegistryValue" + kWhere + "PASSIVE_LEVEL"}),
    Case("PassiveOperationsAtDispatch", PassiveOperations, true, false,
         {"IoDeleteSymbolicLink" + kWhere + "PASSIVE_LEVEL",
          "ExAllocatePoolWithTag (paged pool)" + kWhere + "APC_LEVEL",
          "ExFreePool (paged pool)" + kWhere + "APC_LEVEL"}),
    Case("PageableRoutineAtDispatch", PageableHelper, true, false,
         {"PAGED_CODE() in PageableHelper" + kWhere + "APC_LEVEL"}),
    Case("TheSameAtPassiveLevel", AllAtOnce, false, true),
};

INSTANTIATE_TEST_SUITE_P(Irql, IrqlTest, ::testing::ValuesIn(kIrqlCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Switch points: none is taken at DISPATCH_LEVEL, where one processor runs what it runs to the end.
int g_bystander_turns;

void CallsSeveralOperations()
{
    const int before = g_bystander_turns;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    g_irql_seen = g_bystander_turns != before ? 1 : 0; // reused: whether another thread ran meanwhile
}

class NoSwitchAtDispatchTest : public SmallDriverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NoSwitchAtDispatchTest, AnotherThreadRunsInsideTheCompletionRoutineOnlyBelowDispatch)
{
    const bool at_dispatch = GetParam();
    driver_->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT fdo, PIRP irp) NTAPI {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
                CallsSeveralOperations();
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(Lower(fdo), irp);
    };
    PDEVICE_OBJECT pdo = AddNode();
    pnp().CompleteAtDispatch(at_dispatch);
    g_bystander_turns = 0;
    bool done = false;
    PKTHREAD bystander = sim::StartThread("bystander", [&done] {
        for (int i = 0; i < 10000 && !done; i++) {
            g_bystander_turns++;
            sim::Yield();
        }
    });
    machine_.scheduler().Reseed(1, 100); // every switch point switches
    ASSERT_EQ(pnp().Start(pdo), STATUS_SUCCESS);
    done = true;
    sim::JoinThread(bystander);
    EXPECT_GT(g_bystander_turns, 0);
    EXPECT_EQ(g_irql_seen, at_dispatch ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Irql, NoSwitchAtDispatchTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AtDispatch" : "AtPassive"; });

// Every operation the driver may call has its rule, under its own name: an operation added to the list
// without one would go unchecked and be no switch point. The C runtime routines are instructions of the
// image's own and have none.
TEST(OperationRules, EveryListedOperationHasOne)
{
    std::set<std::string> ruled;
    for (size_t i = 0; i < static_cast<size_t>(sim::Op::Count); i++) {
        const std::string name = sim::RuleOf(static_cast<sim::Op>(i)).name;
        ruled.insert(name.substr(0, name.find(' ')));
    }
    std::ifstream in(QUAV_OPERATIONS);
    ASSERT_TRUE(in.is_open());
    const sim::OperationList list = sim::ParseOperationList(in);
    for (const std::string& name : list.operations) {
        EXPECT_EQ(ruled.count(name), 1u) << name;
    }
    for (const std::string& name : list.runtime) {
        EXPECT_EQ(ruled.count(name), 0u) << name;
    }
    EXPECT_GT(list.operations.size(), 40u);
    EXPECT_EQ(list.runtime, (std::set<std::string>{"memcmp", "memcpy", "memmove", "memset"}));
    // The list compiled into the simulation is the file's.
    EXPECT_EQ(sim::PlatformOperationList().operations, list.operations);
    EXPECT_EQ(sim::PlatformOperationList().runtime, list.runtime);
}

} // namespace
