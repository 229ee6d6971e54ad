// The Plug and Play manager and the root bus driver, with the small function driver: the bus driver's
// knobs, device interfaces, removal and unload, the reports a driver that breaks the rules of removal
// or AddDevice earns; and the order Windows keeps: one request at a time per device node, first
// come first served, only the requests the node's state allows, the cancel after a veto, and a removal
// after a surprise removal only once the last handle has closed.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sim/text.h"
#include "sim/user.h"
#include "small_driver.h"

namespace {

using small_driver::Complete;
using small_driver::Flaw;
using small_driver::Lower;
using PnpTest = SmallDriverTest;

TEST_F(PnpTest, RequestsReachTheBusDriverThroughTheStackAndRemovalUnloads)
{
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pnp().InstancePath(pdo), "ROOT\\QUAV\\0000");

    pnp().Delay(IRP_MN_START_DEVICE, sim::Ms(10));
    EXPECT_EQ(pnp().Start(pdo), STATUS_SUCCESS); // pending in the bus driver: the sender waited
    EXPECT_EQ(sim::Now(), sim::Ms(10));
    pnp().FailNext(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp().QueryRemove(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp().QueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp().Request(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED); // nobody handled it
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(pnp().Power(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);

    pnp().UnloadWhenUnused(driver_);
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Unloads(), 1);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

// As the INF's .HW AddReg on Windows: once AddDevice has built the stack, every device object of it
// opens to SYSTEM and Administrators only, also for names below it; the driver's own create is reached
// otherwise (the small driver has none: STATUS_INVALID_DEVICE_REQUEST).
TEST_F(PnpTest, AddDeviceAppliesThePackageSecurityUnlessToldNot)
{
    const struct {
        bool package;
        bool administrator;
        NTSTATUS expected;
    } cases[] = {
        {true, false, STATUS_ACCESS_DENIED},
        {true, true, STATUS_INVALID_DEVICE_REQUEST},
        {false, false, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.package ? "package" : "no package") +
                     (c.administrator ? ", admin" : ", user"));
        pnp().SetPackageSecurity(c.package);
        PDEVICE_OBJECT pdo = AddNode();
        ASSERT_NE(pdo, nullptr);
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
            EXPECT_EQ((d->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0, c.package)
                << machine_.io().Name(d);
        }
        sim::UserClient client(c.administrator);
        HANDLE handle;
        EXPECT_EQ(client.Open(sim::Utf16FromUtf8(machine_.io().Name(pdo)), &handle), c.expected);
        EXPECT_EQ(client.Open(sim::Utf16FromUtf8(machine_.io().Name(pdo)) + u"\\x", &handle), c.expected);
        EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
    }
}

TEST_F(PnpTest, EnabledInterfaceOpensTheDeviceStack)
{
    PDEVICE_OBJECT pdo = AddNode();
    const GUID guid = {0x60E33CC3, 0xC636, 0x43BE, {0xAC, 0x88, 0x13, 0x29, 0x9D, 0x2F, 0x0C, 0x21}};
    UNICODE_STRING link, again;
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &link), STATUS_SUCCESS);
    const std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
    EXPECT_EQ(name, u"\\??\\ROOT#QUAV#0000#{60e33cc3-c636-43be-ac88-13299d2f0c21}");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(again.Buffer, again.Length / sizeof(WCHAR)), name);
    RtlFreeUnicodeString(&again);

    sim::UserClient user(true); // the package lets administrators only open the device
    HANDLE handle;
    const std::u16string path = u"\\\\?\\" + name.substr(4);
    EXPECT_EQ(user.Open(path, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(machine_.io().Interfaces().size(), 1u);
    EXPECT_TRUE(machine_.io().Interfaces()[0].enabled);
    EXPECT_EQ(user.Open(path, &handle), STATUS_INVALID_DEVICE_REQUEST); // the driver's default create
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(machine_.io().Interfaces()[0].enabled);

    UNICODE_STRING unknown = {0, 0, nullptr};
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlInitUnicodeString(&unknown, u"\\??\\ROOT#OTHER#0000#{60e33cc3-c636-43be-ac88-13299d2f0c21}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(PnpTest, DriversBreakingTheRulesAreReported)
{
    const std::pair<Flaw, std::vector<std::string>> cases[] = {
        {Flaw::KeepsInitializing, {"DO_DEVICE_INITIALIZING still set"}},
        {Flaw::FailsRemove, {"does not let a driver fail a removal", "still exists", "still attached"}},
        {Flaw::KeepsDevice, {"still exists", "still attached"}},
    };
    for (const auto& [flaw, expected] : cases) {
        SetFlaw(flaw);
        PDEVICE_OBJECT pdo = AddNode();
        ASSERT_NE(pdo, nullptr);
        pnp().Remove(pdo);
        EXPECT_TRUE(ReportedBy("pnp", expected));
        for (PDEVICE_OBJECT left : machine_.io().Devices(driver_)) { // what a broken removal left behind
            IoDetachDevice(Lower(left));
            IoDeleteDevice(left);
        }
    }
}

// A Plug and Play request as it reached the small driver: by whom and when.
struct Arrival {
    UCHAR minor;
    std::string thread;
    sim::Ticks time;
};

std::vector<Arrival> g_arrivals;
PDRIVER_DISPATCH g_pnp;   // the small driver's own routine, or a broken one a test puts in its place
PDRIVER_DISPATCH g_small; // the small driver's own

NTSTATUS NTAPI Recording(PDEVICE_OBJECT fdo, PIRP irp)
{
    g_arrivals.push_back(
        {IoGetCurrentIrpStackLocation(irp)->MinorFunction, small_driver::ThreadName(), sim::Now()});
    return g_pnp(fdo, irp);
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS);
}

// The small driver with every Plug and Play request it gets written down, and files it can open.
class PnpOrderTest : public SmallDriverTest {
protected:
    void SetUp() override
    {
        SmallDriverTest::SetUp();
        g_arrivals.clear();
        g_small = g_pnp = driver_->MajorFunction[IRP_MJ_PNP];
        driver_->MajorFunction[IRP_MJ_PNP] = Recording;
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
            driver_->MajorFunction[major] = Succeed;
        }
    }

    static std::vector<UCHAR> Minors()
    {
        std::vector<UCHAR> minors;
        for (const Arrival& a : g_arrivals) {
            minors.push_back(a.minor);
        }
        return minors;
    }

    // The threads the requests came from, in order, separated by spaces.
    static std::string Callers()
    {
        std::string callers;
        for (const Arrival& a : g_arrivals) {
            callers += (callers.empty() ? "" : " ") + a.thread;
        }
        return callers;
    }

    // Ends a case: the node removed unless it already is, and the record cleared for the next.
    void RemoveIfPresent(PDEVICE_OBJECT pdo)
    {
        if (pnp().State(pdo) != sim::PnpState::Removed) {
            EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
        }
        g_arrivals.clear();
    }

    // A node of the small driver, started.
    PDEVICE_OBJECT Started()
    {
        PDEVICE_OBJECT pdo = AddNode();
        EXPECT_EQ(pnp().Start(pdo), STATUS_SUCCESS);
        g_arrivals.clear();
        return pdo;
    }

    // The object-namespace path of the node's physical device object, which opens its stack.
    std::u16string PathOf(PDEVICE_OBJECT pdo) { return sim::Utf16FromUtf8(machine_.io().Name(pdo)); }
};

using Operation = std::function<NTSTATUS(sim::PnpManager&, PDEVICE_OBJECT)>;

using Minors = std::vector<UCHAR>;
const Minors kQueries{IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_CAPABILITIES};
const Minors kRemoval{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE};
const Minors kStopThenRemoval{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_REMOVE_DEVICE};
const Minors kSurpriseThenRemoval{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE};
const Minors kRemovalVetoed{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE};
const Minors kStopVetoed{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE};
const Minors kStopped{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE};

struct SameInstant {
    const char* what;
    UCHAR delayed; // the bus driver holds this request 10 ms, so that the first caller is still inside
    Operation first;
    Operation second;
    NTSTATUS first_status;
    NTSTATUS second_status;
    Minors minors;       // as they reached the driver
    const char* callers; // whose each was
};

const Operation kRemove = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.Remove(pdo); };
const Operation kStop = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.Stop(pdo); };
const Operation kSurprise = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.SurpriseRemoval(pdo); };
const Operation kCapabilities = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) {
    return p.Request(pdo, IRP_MN_QUERY_CAPABILITIES);
};

// Two threads ask for requests to one started device node at the same instant: the second reaches the
// driver only once the first is back, and is sent only if the state the first left allows it.
TEST_F(PnpOrderTest, RequestsAskedAtOneInstantAreDeliveredOneAfterAnother)
{
    const SameInstant cases[] = {
        {"two queries", IRP_MN_QUERY_CAPABILITIES, kCapabilities, kCapabilities, STATUS_NOT_SUPPORTED,
         STATUS_NOT_SUPPORTED, kQueries, "first second"},
        {"two removals: the second finds the device removed", IRP_MN_QUERY_REMOVE_DEVICE, kRemove, kRemove,
         STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE, kRemoval, "first first"},
        {"a removal and a stop", IRP_MN_QUERY_REMOVE_DEVICE, kRemove, kStop, STATUS_SUCCESS,
         STATUS_INVALID_DEVICE_STATE, kRemoval, "first first"},
        {"a stop and a removal: a stopped device is removed without a query", IRP_MN_QUERY_STOP_DEVICE, kStop,
         kRemove, STATUS_SUCCESS, STATUS_SUCCESS, kStopThenRemoval, "first first second"},
        {"a surprise removal and a removal", IRP_MN_SURPRISE_REMOVAL, kSurprise, kRemove, STATUS_SUCCESS,
         STATUS_SUCCESS, kSurpriseThenRemoval, "first second"},
    };
    for (const SameInstant& c : cases) {
        SCOPED_TRACE(c.what);
        PDEVICE_OBJECT pdo = Started();
        pnp().Delay(c.delayed, sim::Ms(10));
        const sim::Ticks asked = sim::Now();
        NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
        PKTHREAD a = sim::StartThread("first", [&] { first = c.first(pnp(), pdo); });
        PKTHREAD b = sim::StartThread("second", [&] { second = c.second(pnp(), pdo); });
        sim::JoinThread(a);
        sim::JoinThread(b);
        pnp().Delay(c.delayed, 0);
        EXPECT_EQ(first, c.first_status);
        EXPECT_EQ(second, c.second_status);
        EXPECT_EQ(Minors(), c.minors);
        EXPECT_EQ(Callers(), c.callers);
        // Both asked at once; what the second sent waited for the first's delayed request.
        if (!g_arrivals.empty() && g_arrivals.back().thread == "second") {
            EXPECT_EQ(g_arrivals.back().time, asked + sim::Ms(10));
        }
        RemoveIfPresent(pdo);
    }
}

// Three callers queue behind a slow request in the order they arrive, not the order their threads began.
TEST_F(PnpOrderTest, CallersAreServedFirstComeFirstServed)
{
    PDEVICE_OBJECT pdo = Started();
    pnp().Delay(IRP_MN_QUERY_CAPABILITIES, sim::Ms(10));
    std::vector<PKTHREAD> threads;
    for (int i = 0; i < 3; i++) {
        threads.push_back(sim::StartThread("caller " + std::to_string(i), [this, pdo, i] {
            sim::Sleep(sim::Ms(3 - i)); // caller 2 arrives first, caller 0 last
            pnp().Request(pdo, IRP_MN_QUERY_CAPABILITIES);
        }));
    }
    for (PKTHREAD t : threads) {
        sim::JoinThread(t);
    }
    EXPECT_EQ(Callers(), "caller 2 caller 1 caller 0");
    ASSERT_EQ(g_arrivals.size(), 3u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(g_arrivals[i].time, sim::Ms(1 + 10 * i)) << i; // each after the one before it is done
    }
    pnp().Delay(IRP_MN_QUERY_CAPABILITIES, 0);
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
}

struct StateCase {
    const char* state;
    std::vector<Operation> path; // from a fresh node
    std::vector<UCHAR> sent;     // the state-changing requests Windows sends a node in that state
};

const Operation kStart = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.Start(pdo); };
const Operation kFailedStart = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) {
    p.FailNext(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
    return p.Start(pdo);
};
const Operation kQueryStop = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.QueryStop(pdo); };
const Operation kQueryRemove = [](sim::PnpManager& p, PDEVICE_OBJECT pdo) { return p.QueryRemove(pdo); };

// Every state-changing request in every state: those Windows does not send in it are not delivered, and
// the caller hears STATUS_INVALID_DEVICE_STATE without a report.
TEST_F(PnpOrderTest, RequestsTheStateDoesNotAllowAreNotSent)
{
    const UCHAR kRequests[] = {
        IRP_MN_START_DEVICE,         IRP_MN_QUERY_STOP_DEVICE,   IRP_MN_STOP_DEVICE,
        IRP_MN_CANCEL_STOP_DEVICE,   IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE,
        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,    IRP_MN_QUERY_CAPABILITIES};
    const StateCase cases[] = {
        {"never started", {}, {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES}},
        {"started",
         {kStart},
         {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
          IRP_MN_QUERY_CAPABILITIES}},
        {"start-failed", {kFailedStart}, {IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES}},
        {"stop-pending",
         {kStart, kQueryStop},
         {IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_QUERY_CAPABILITIES}},
        {"stopped",
         {kStart, kStop},
         {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_QUERY_CAPABILITIES}},
        {"remove-pending",
         {kStart, kQueryRemove},
         {IRP_MN_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
          IRP_MN_QUERY_CAPABILITIES}},
        {"surprise-removed", {kStart, kSurprise}, {IRP_MN_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES}},
        {"removed", {kRemove}, {}},
    };
    for (const StateCase& c : cases) {
        for (UCHAR minor : kRequests) {
            SCOPED_TRACE(std::string(c.state) + ", " + sim::PnpRequestName(minor));
            PDEVICE_OBJECT pdo = AddNode();
            for (const Operation& step : c.path) {
                step(pnp(), pdo);
            }
            ASSERT_EQ(sim::PnpStateName(pnp().State(pdo)), std::string(c.state));
            g_arrivals.clear();
            std::string account;
            const NTSTATUS status = pnp().Request(pdo, minor, &account);
            const bool sent = std::find(c.sent.begin(), c.sent.end(), minor) != c.sent.end();
            EXPECT_EQ(Minors(), sent ? std::vector<UCHAR>{minor} : std::vector<UCHAR>{});
            if (!sent) {
                EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
                EXPECT_EQ(account, sim::PnpRequestName(minor) + " not sent: the device is " + c.state);
                EXPECT_EQ(sim::PnpStateName(pnp().State(pdo)), std::string(c.state));
            }
            RemoveIfPresent(pdo);
        }
    }
}

struct LastHandle {
    const char* what;
    std::vector<sim::Ticks> closes; // when each handle open at the surprise removal is closed
    sim::Ticks removed;             // when the removal reaches the driver
    const char* account;
};

// After a surprise removal the remove waits until no handle is open on the stack, and then goes at once.
TEST_F(PnpOrderTest, RemovalAfterSurpriseRemovalWaitsForTheLastHandle)
{
    const LastHandle cases[] = {
        {"no handle open", {}, 0, "sent remove"},
        {"one handle, closed after 5 s",
         {sim::Seconds(5)},
         sim::Seconds(5),
         "waited 5.0000000 s for 1 open handle to close; sent remove"},
        {"two handles, closed after 7 s and 2 s",
         {sim::Seconds(7), sim::Seconds(2)},
         sim::Seconds(7),
         "waited 7.0000000 s for 2 open handles to close; sent remove"},
    };
    for (const LastHandle& c : cases) {
        SCOPED_TRACE(c.what);
        PDEVICE_OBJECT pdo = Started();
        sim::UserClient user(true);
        std::vector<PKTHREAD> closers;
        for (sim::Ticks after : c.closes) {
            HANDLE handle = nullptr;
            ASSERT_EQ(user.Open(PathOf(pdo), &handle), STATUS_SUCCESS);
            closers.push_back(sim::StartThread("closer", [&user, handle, after] {
                sim::Sleep(after);
                user.Close(handle);
            }));
        }
        EXPECT_EQ(machine_.io().OpenFilesOnStack(pdo), c.closes.size());
        ASSERT_EQ(pnp().SurpriseRemoval(pdo), STATUS_SUCCESS);
        const sim::Ticks start = sim::Now();
        std::string account;
        EXPECT_EQ(pnp().Remove(pdo, &account), STATUS_SUCCESS);
        EXPECT_EQ(account, c.account);
        EXPECT_EQ(Minors(), kSurpriseThenRemoval);
        EXPECT_EQ(g_arrivals.back().time - start, c.removed);
        EXPECT_EQ(machine_.io().OpenFilesOnStack(pdo), 0u);
        for (PKTHREAD t : closers) {
            sim::JoinThread(t);
        }
        RemoveIfPresent(pdo);
    }
}

// Marks the device removing (or stopping) at the query, and from then on refuses every request but the
// removal, its cancel too: after a veto further down, the device stays refusing and the PnP manager's
// cancel fails.
bool g_leaving;

NTSTATUS NTAPI RefusesTheCancel(PDEVICE_OBJECT fdo, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (g_leaving && minor != IRP_MN_REMOVE_DEVICE) {
        return Complete(irp, STATUS_DELETE_PENDING);
    }
    g_leaving = g_leaving || minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE;
    return g_small(fdo, irp);
}

// Vetoes the removal itself, as a driver with a handle open does.
NTSTATUS NTAPI VetoesTheRemoval(PDEVICE_OBJECT fdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    return g_small(fdo, irp);
}

// Believes it can always stop, and finds at the stop that it cannot.
NTSTATUS NTAPI FailsTheStop(PDEVICE_OBJECT fdo, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_STOP_DEVICE) {
        return Complete(irp, STATUS_UNSUCCESSFUL);
    }
    return g_small(fdo, irp);
}

struct Veto {
    const char* what;
    PDRIVER_DISPATCH routine;
    UCHAR bus_vetoes; // 0: the bus driver lets it through
    Operation operation;
    NTSTATUS status;
    Minors minors;
    sim::PnpState state;
    const char* request; // the request the one report names; null: no report
    const char* rule;    // the rule it names
};

// A vetoed query is followed by its cancel, to the whole stack and so to the driver that vetoed too; a
// driver that fails the cancel, or the stop it agreed to, is named.
TEST_F(PnpOrderTest, AVetoIsFollowedByItsCancelAndAFailedCancelIsReported)
{
    constexpr sim::PnpState kStarted = sim::PnpState::Started;
    const Veto cases[] = {
        {"the bus driver vetoes the removal", g_small, IRP_MN_QUERY_REMOVE_DEVICE, kRemove,
         STATUS_DEVICE_BUSY, kRemovalVetoed, kStarted, nullptr, nullptr},
        {"the driver vetoes the removal", VetoesTheRemoval, 0, kRemove, STATUS_UNSUCCESSFUL, kRemovalVetoed,
         kStarted, nullptr, nullptr},
        {"the bus driver vetoes the stop", g_small, IRP_MN_QUERY_STOP_DEVICE, kStop, STATUS_DEVICE_BUSY,
         kStopVetoed, kStarted, nullptr, nullptr},
        {"a driver still removing fails the cancel-remove", RefusesTheCancel, IRP_MN_QUERY_REMOVE_DEVICE,
         kRemove, STATUS_DEVICE_BUSY, kRemovalVetoed, kStarted,
         "IRP_MN_CANCEL_REMOVE_DEVICE to device object", "does not let a driver fail a cancel"},
        {"a driver still stopping fails the cancel-stop", RefusesTheCancel, IRP_MN_QUERY_STOP_DEVICE, kStop,
         STATUS_DEVICE_BUSY, kStopVetoed, kStarted, "IRP_MN_CANCEL_STOP_DEVICE to device object",
         "does not let a driver fail a cancel"},
        {"a driver fails the stop it agreed to", FailsTheStop, 0, kStop, STATUS_UNSUCCESSFUL, kStopped,
         sim::PnpState::Stopped, "IRP_MN_STOP_DEVICE to device object", "does not let a driver fail a stop"},
    };
    for (const Veto& c : cases) {
        SCOPED_TRACE(c.what);
        PDEVICE_OBJECT pdo = Started();
        g_pnp = c.routine;
        g_leaving = false;
        if (c.bus_vetoes != 0) {
            pnp().FailNext(c.bus_vetoes, STATUS_DEVICE_BUSY);
        }
        EXPECT_EQ(c.operation(pnp(), pdo), c.status);
        EXPECT_EQ(Minors(), c.minors);
        EXPECT_EQ(pnp().State(pdo), c.state);
        const std::vector<sim::VerifierReport> reports = TakeReports();
        ASSERT_EQ(reports.size(), c.request != nullptr ? 1u : 0u);
        for (const sim::VerifierReport& r : reports) {
            EXPECT_EQ(r.source, "pnp");
            for (const char* needle : {c.request, "(\\Driver\\Quav) completed with 0x", c.rule}) {
                EXPECT_NE(r.text.find(needle), std::string::npos) << r.text;
            }
        }
        g_pnp = g_small;
        RemoveIfPresent(pdo);
    }
}

} // namespace
