// Tests of the monitoring code against the emulated board: the driver's event writer registered with the
// machine's event log, a device extension as AddDevice leaves it, and helpers to configure the registry,
// stop the monitor thread as removal does, and read the events written.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "control/records.h"
#include "driver_test.h"
#include "eventlog/eventlog.h"
#include "monitor/monitor.h"
#include "quavmsg_table.h"

class MonitorTest : public DriverTest {
protected:
    // The registry a configured board starts with: the service's keys, including those the current
    // values are published under.
    static constexpr const char* kServiceKeys = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\FAN]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\THERMAL]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\VOLTAGE]
)";
    static constexpr const char* kService = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";

    void SetUp() override
    {
        DriverTest::SetUp();
        machine_.eventlog().RegisterSource(&driver_object_, "QUAV", "QUAV", kQuavMessages);
        InitEventLog(&driver_object_);
        machine_.eventlog().Clear();
        machine_.registry().ImportReg(kServiceKeys);
        ext_ = {};
        ext_.RejectRequests = 1;
        KeInitializeSemaphore(&ext_.MonitorSemaphore, 0, 0x7FFFFFFF);
    }

    void TearDown() override
    {
        StopMonitorThread();
        InitEventLog(nullptr);
        g_DeviceExtension = nullptr;
        DriverTest::TearDown();
    }

    // A configuration value under Parameters: Param("", "POLLING_INTERVAL", 1),
    // Param("FanControl", "FANCNTL_INIT", 1).
    void Param(const std::string& subkey, const std::string& name, uint32_t value)
    {
        std::string key = std::string(kService) + "\\Parameters";
        if (!subkey.empty()) {
            key += "\\" + subkey;
        }
        machine_.registry().SetDword(key, name, value);
    }

    // Every sensor's four limits far out of reach, so that only the limits a test sets can be crossed.
    void WideLimits()
    {
        const char* sensors[][2] = {
            {"FanControl", "FANSPEED_RU"}, {"FanControl", "FANSPEED_RB"},    {"THERMAL", "THERMAL_CPU"},
            {"THERMAL", "THERMAL_SYSTEM"}, {"THERMAL", "THERMAL_BACKPLANE"}, {"THERMAL", "THERMAL_VRM"},
            {"VOLTAGE", "VOLTAGE_VCCP"},   {"VOLTAGE", "VOLTAGE_18V"},       {"VOLTAGE", "VOLTAGE_33V"},
            {"VOLTAGE", "VOLTAGE_5V"},     {"VOLTAGE", "VOLTAGE_12V"},       {"VOLTAGE", "VOLTAGE_AUX"}};
        for (const auto& [key, prefix] : sensors) {
            Param(key, std::string(prefix) + "_WARN_THD_UPPER", 0x7FFFFFFF);
            Param(key, std::string(prefix) + "_WARN_THD_LOWER", 0x80000000);
            Param(key, std::string(prefix) + "_CRIT_THD_UPPER", 0x7FFFFFFF);
            Param(key, std::string(prefix) + "_CRIT_THD_LOWER", 0x80000000);
        }
    }

    // What removal does: ask the thread to stop, wake it, wait for it and drop the reference.
    void StopMonitorThread()
    {
        if (ext_.MonitorThreadObject == nullptr) {
            return;
        }
        if (!ext_.StopMonitor) {
            ext_.StopMonitor = 1;
            KeReleaseSemaphore(&ext_.MonitorSemaphore, 0, 1, FALSE);
        }
        KeWaitForSingleObject(ext_.MonitorThreadObject, UserRequest, KernelMode, FALSE, nullptr);
        ObfDereferenceObject(ext_.MonitorThreadObject);
        ext_.MonitorThreadObject = nullptr;
    }

    std::vector<sim::EventRecord> Events() { return machine_.eventlog().Records(); }

    // "0x802A0016 CPU 61" for each event, to compare sequences at a glance.
    std::vector<std::string> EventSummaries()
    {
        std::vector<std::string> out;
        for (const sim::EventRecord& e : Events()) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X", e.id);
            std::string line = id;
            for (const std::string& s : e.strings) {
                line += " " + s;
            }
            out.push_back(line);
        }
        return out;
    }

    std::optional<uint32_t> Current(const std::string& subkey, const std::string& name)
    {
        return machine_.registry().GetDword(std::string(kService) + "\\Current\\" + subkey, name);
    }

    char driver_object_ = 0; // stands in for the driver object: the event log only needs its identity
    DEVICE_EXTENSION ext_{};
};
