// The Plug and Play manager and the bus driver under a root-enumerated device. The machine owns one
// (Machine::pnp()). AddDevice makes a physical device object (PDO) of the stand-in bus driver
// "\Driver\Root", named "\Device\NNNNNNNN" with the device node "ROOT\<SERVICE>\NNNN", and calls the
// function driver's AddDevice for it; the requests below go to the top of the PDO's stack, preset to
// STATUS_NOT_SUPPORTED as the system presets them, and return the final status.
//
// The bus driver completes start, stop, removal and their queries and cancels with STATUS_SUCCESS and
// leaves any other minor function's status as it finds it; its power dispatch starts the next power
// request and succeeds a set- or query-power request (others keep their status). The PDO stays after a
// removal, as a root-enumerated one does. Power requests go to the top of the stack with PoCallDriver
// (the I/O manager's checks on them are in iomanager_power.cpp).
//
// Reports: a removal or surprise removal completed with a failure (the system never lets a driver fail
// them), a function driver's device object left after removal or still attached to the PDO, and
// AddDevice returning with DO_DEVICE_INITIALIZING still set.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "iomanager.h"
#include "time.h"

namespace sim {

class Verifier;

class PnpManager {
public:
    PnpManager(IoManager& io, Verifier& verifier);
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    PDRIVER_OBJECT BusDriver() const { return bus_; }

    // Null when the driver's AddDevice fails (its status in `status`); the PDO is deleted then.
    PDEVICE_OBJECT AddDevice(PDRIVER_OBJECT function_driver, NTSTATUS* status = nullptr);
    std::string InstancePath(PDEVICE_OBJECT pdo) const;

    NTSTATUS Start(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_START_DEVICE); }
    NTSTATUS QueryStop(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_QUERY_STOP_DEVICE); }
    NTSTATUS Stop(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_STOP_DEVICE); }
    NTSTATUS CancelStop(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_CANCEL_STOP_DEVICE); }
    NTSTATUS QueryRemove(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_QUERY_REMOVE_DEVICE); }
    NTSTATUS Remove(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_REMOVE_DEVICE); }
    NTSTATUS CancelRemove(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_CANCEL_REMOVE_DEVICE); }
    NTSTATUS SurpriseRemoval(PDEVICE_OBJECT pdo) { return Request(pdo, IRP_MN_SURPRISE_REMOVAL); }
    NTSTATUS Request(PDEVICE_OBJECT pdo, UCHAR minor); // any IRP_MJ_PNP minor function
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
    // Once a removal leaves the driver without device objects, it is unloaded (IoManager::UnloadDriver).
    void UnloadWhenUnused(PDRIVER_OBJECT driver);

private:
    struct Node {
        PDRIVER_OBJECT driver;
        std::string instance;
        bool removed = false;
    };

    static NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS BusPassThrough(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS CompletePnp(PIRP irp);
    NTSTATUS CompletePower(PIRP irp);
    void CheckRemoval(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& stack);
    void Report(std::string text);

    IoManager& io_;
    Verifier& verifier_;
    PDRIVER_OBJECT bus_;
    mutable std::mutex mu_;
    std::map<PDEVICE_OBJECT, Node> nodes_;
    std::map<std::string, int> instances_; // next instance number by service
    unsigned next_name_ = 1;
    std::map<UCHAR, NTSTATUS> fail_next_;
    std::map<UCHAR, Ticks> delay_;
    std::map<POWER_STATE_TYPE, Ticks> power_delay_;
    std::set<PDRIVER_OBJECT> unload_when_unused_;
};

} // namespace sim
