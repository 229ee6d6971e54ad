// The Plug and Play manager and the bus driver under a root-enumerated device. The machine owns one
// (Machine::pnp()). AddDevice makes a physical device object (PDO) of the stand-in bus driver
// "\Driver\Root", named "\Device\NNNNNNNN" with the device node "ROOT\<SERVICE>\NNNN", and calls the
// function driver's AddDevice for it; the requests below go to the top of the PDO's stack, preset to
// STATUS_NOT_SUPPORTED as the system presets them, and return the final status. Once the driver's
// AddDevice has built the stack, AddDevice applies the security quav.inf installs (device_security.h) to
// every device object of it, as Windows applies the device's registry properties: SYSTEM and
// Administrators only, also for names below the device.
//
// As on Windows, the requests for one device node reach its stack one at a time, in the order they were
// asked for, whichever threads ask: a caller waits its turn on a dispatcher object. And each device node
// goes through the states Windows gives it; a request its state does not allow is not sent at all (the
// caller gets STATUS_INVALID_DEVICE_STATE, and nothing is reported: the order was the caller's mistake):
//
//   request          sent to a node that is                               and leaves it
//   start            added (never started), stopped                       started, or start-failed
//   query-stop       started                                              stop-pending (vetoed: the
//                                                                         PnP manager sends cancel-stop)
//   stop             stop-pending                                         stopped
//   cancel-stop      stop-pending                                         as before the query-stop
//   query-remove     started                                              remove-pending (vetoed: the
//                                                                         PnP manager sends cancel-remove)
//   cancel-remove    remove-pending                                       as before the query-remove
//   surprise-removal started, stop-pending, stopped, remove-pending       surprise-removed
//   remove           added, start-failed, stopped, remove-pending, and    removed, which takes nothing
//                    surprise-removed once the last handle on the         more
//                    stack has closed (the remove waits for it)
//   any other minor  any state but removed                                as it was
//
// A stop is followed on Windows by a start (a rebalance), or by a removal when the device cannot start.
// Remove() and Stop() are what the PnP manager does when asked to remove or stop a device: each sends
// the query first where the state calls for one, and the cancel after a veto. Tests that need an order
// Windows never sends ask for it with SendOutOfOrder.
//
// The bus driver completes start, stop, removal and their queries and cancels with STATUS_SUCCESS and
// leaves any other minor function's status as it finds it; its power dispatch starts the next power
// request and succeeds a set- or query-power request (others keep their status). The PDO stays after a
// removal, as a root-enumerated one does. Power requests go to the top of the stack with PoCallDriver
// (the I/O manager's checks on them are in iomanager_power.cpp).
//
// With CompleteAtDispatch the bus driver completes at DISPATCH_LEVEL (entry.h checks what the completion
// routines call there).
//
// Reports: a removal, surprise removal, stop or cancel completed with a failure (the system never lets a
// driver fail them), a function driver's device object left after removal or still attached to the PDO,
// and AddDevice returning with DO_DEVICE_INITIALIZING still set.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "iomanager.h"
#include "time.h"

namespace sim {

class Scheduler;
class Verifier;

enum class PnpState {
    Added,
    Started,
    StartFailed,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed
};

// "never started", "started", "start-failed", "stop-pending", "stopped", "remove-pending",
// "surprise-removed", "removed".
const char* PnpStateName(PnpState state);
// "start", "query-remove", ... as a scenario names them; "IRP_MJ_PNP/0x09" for the others.
std::string PnpRequestName(UCHAR minor);

class PnpManager {
public:
    PnpManager(IoManager& io, Scheduler& scheduler, Verifier& verifier);
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    PDRIVER_OBJECT BusDriver() const { return bus_; }

    // Null when the driver's AddDevice fails (its status in `status`); the PDO is deleted then.
    PDEVICE_OBJECT AddDevice(PDRIVER_OBJECT function_driver, NTSTATUS* status = nullptr);
    std::string InstancePath(PDEVICE_OBJECT pdo) const;
    // Whether AddDevice applies the package's security (the default), or leaves the stack with what its
    // drivers gave it (a named device then opens to everyone): a device installed without quav.inf.
    void SetPackageSecurity(bool apply);
    PnpState State(PDEVICE_OBJECT pdo) const;

    // One request, if the node's state allows it (see above); the final status of the request, the
    // veto's status for a vetoed query (whose cancel was sent), or STATUS_INVALID_DEVICE_STATE when
    // nothing was sent. `account`, when given, gets a sentence of what was sent and what came back, or
    // why nothing was: "sent query-remove: vetoed with 0xC0000001, then cancel-remove (0x00000000)".
    NTSTATUS Request(PDEVICE_OBJECT pdo, UCHAR minor, std::string* account = nullptr);
    NTSTATUS Start(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_START_DEVICE); }
    NTSTATUS QueryStop(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_QUERY_STOP_DEVICE); }
    NTSTATUS CancelStop(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_CANCEL_STOP_DEVICE); }
    NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_QUERY_REMOVE_DEVICE); }
    NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_CANCEL_REMOVE_DEVICE); }
    NTSTATUS SurpriseRemoval(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_SURPRISE_REMOVAL); }

    // The removal of the device as the PnP manager carries it out, in one turn: a started device is
    // asked first (query-remove; a veto ends it with cancel-remove and returns the veto's status); a
    // stop left pending by an explicit query-stop is cancelled first; a surprise-removed device is
    // removed once the last handle on its stack has closed; a never-started, start-failed or stopped
    // device gets the remove directly.
    NTSTATUS Remove(PDEVICE_OBJECT pdo, std::string* account = nullptr);
    // The stop as the PnP manager carries it out: query-stop, then stop, or cancel-stop after a veto;
    // a stop-pending device gets the stop directly.
    NTSTATUS Stop(PDEVICE_OBJECT pdo, std::string* account = nullptr);

    // Sends the request whatever the node's state, still in its turn, and moves the state as the request
    // would; no cancel follows a veto and a remove does not wait for handles. For tests of a driver's
    // handling of orders Windows does not send: each says why.
    NTSTATUS SendOutOfOrder(PDEVICE_OBJECT pdo, UCHAR minor);

    NTSTATUS Power(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

    // The bus driver completes the next request of this minor function with `status`.
    void FailNext(UCHAR minor, NTSTATUS status);
    // From now on the bus driver marks requests of this minor function pending, returns STATUS_PENDING
    // and completes them from another thread after `ticks` of virtual time; 0 ends the delay.
    void Delay(UCHAR minor, Ticks ticks);
    // From now on the bus driver marks set- and query-power requests of this type pending, returns
    // STATUS_PENDING, and after `ticks` of virtual time, on another thread, calls PoStartNextPowerIrp and
    // completes them; 0 ends the delay.
    void DelayPower(POWER_STATE_TYPE type, Ticks ticks);
    // From now on the bus driver completes every request (Plug and Play, power, WMI) at DISPATCH_LEVEL, as
    // a lower driver completing from its DPC does: the completion routines above it run at DISPATCH_LEVEL.
    // Off (the default) it completes at the IRQL it was called at.
    void CompleteAtDispatch(bool at_dispatch);
    // Once a removal leaves the driver without device objects, it is unloaded (IoManager::UnloadDriver).
    void UnloadWhenUnused(PDRIVER_OBJECT driver);

private:
    struct Node {
        PDRIVER_OBJECT driver;
        std::string instance;
        PnpState state = PnpState::Added;
        std::vector<PnpState> before_query; // what a cancel restores (nested only when out of order)
        bool busy = false;                  // a caller has the node's turn
        std::vector<KEVENT*> waiting;       // callers waiting for their turn, first come first
        std::unique_ptr<KEVENT> closed;     // set when the last handle on the stack has closed
    };
    class Turn;
    class Account;

    static NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI BusPassThrough(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS CompletePnp(PIRP irp);
    NTSTATUS CompletePower(PIRP irp);
    void BusComplete(PIRP irp);

    // The node's turn and state (pnp_states.cpp).
    void TakeTurn(PDEVICE_OBJECT pdo);
    void EndTurn(PDEVICE_OBJECT pdo);
    Node& NodeOf(PDEVICE_OBJECT pdo); // under mu_; stops the simulation for an unknown PDO
    // Under the node's turn: the request, if the state allows it, and the PnP manager's cancel after a
    // vetoed query.
    NTSTATUS Deliver(PDEVICE_OBJECT pdo, UCHAR minor, Account& account);
    void WaitForLastHandle(PDEVICE_OBJECT pdo, Account& account);
    void Move(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status);

    // One request down the stack with the checks on its outcome (pnp.cpp).
    NTSTATUS SendChecked(PDEVICE_OBJECT pdo, UCHAR minor);
    NTSTATUS Send(PDEVICE_OBJECT top, UCHAR minor);
    void CheckRemoval(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& stack);
    void Report(std::string text);

    IoManager& io_;
    Scheduler& scheduler_;
    Verifier& verifier_;
    PDRIVER_OBJECT bus_;
    mutable std::mutex mu_;
    std::map<PDEVICE_OBJECT, Node> nodes_;
    std::map<std::string, int> instances_; // next instance number by service
    unsigned next_name_ = 1;
    bool package_security_ = true;
    std::map<UCHAR, NTSTATUS> fail_next_;
    std::map<UCHAR, Ticks> delay_;
    std::map<POWER_STATE_TYPE, Ticks> power_delay_;
    std::set<PDRIVER_OBJECT> unload_when_unused_;
    bool complete_at_dispatch_ = false;
    // The events callers wait on for their turn, kept for reuse so that their names stay true.
    std::vector<std::unique_ptr<KEVENT>> turn_events_;
    std::vector<KEVENT*> free_turn_events_;
};

} // namespace sim
