// The driver as quavctl sees it: its sensors and signal items by name, and its requests with their record
// layouts from the driver's shared header, over any transport.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sensors.h"
#include "transport.h"
#include "usermode.h"

namespace quavctl {

using quavtools::FindSensor;
using quavtools::kSensors;
using quavtools::SensorByWmiNumber;
using quavtools::SensorInfo;

// A reading as shown: the number ("2402", "+45", "12.032": voltages come in mV) and its unit ("RPM",
// "°C", "V"); RawUnit is the unit of the value the driver reports ("RPM", "degC", "mV").
std::string FormatNumber(uint32_t type, int32_t value);
const char* DisplayUnit(uint32_t type);
const char* RawUnit(uint32_t type);
std::string FormatReading(uint32_t type, int32_t value);

struct ControlInfo {
    uint32_t control_class;
    uint32_t index;
};

// Every signal item, in (class, index) order.
extern const std::array<ControlInfo, CONTROL_COUNT> kControls;
const char* ControlClassName(uint32_t control_class); // "pin pair", "signals", ...; "class N" unknown
// What a value code of the class means: "first low, second high", "level 3"; empty for a code the class
// does not use.
std::string DescribeValueCode(uint32_t control_class, uint32_t code);

// The driver's requests. Each returns the request's status; the record is filled only on success.
class Device {
public:
    explicit Device(Transport& transport) : transport_(transport) {}

    uint32_t ReadSensor(uint32_t type, uint32_t id, SENSOR_RECORD* record);
    uint32_t SetFanPwm(uint32_t id, uint32_t pwm, SENSOR_RECORD* record);
    uint32_t ReadControl(uint32_t control_class, uint32_t index, CONTROL_RECORD* record);
    uint32_t SetControl(uint32_t control_class, uint32_t index, uint32_t code, CONTROL_RECORD* record);
    // The WMI data block: entries in the block's order (SensorInfo::wmi_number - 1).
    uint32_t QuerySensorBlock(std::vector<SENSOR_DATA_ENTRY>* entries);
    // WMI_METHOD_SET_CRITICAL_UPPER or _LOWER on sensor `number` (1-12).
    uint32_t SetReportedLimit(uint32_t method, uint32_t number, int32_t value);
    // The event log's records after the first `after`.
    EventBatch Events(uint32_t after) { return transport_.Events(after); }
    // A REG_DWORD under the driver's service key ("Current\\FAN"). A value of another type or size is
    // not one the driver writes: STATUS_OBJECT_TYPE_MISMATCH.
    uint32_t ReadDword(const std::string& key, const std::string& name, uint32_t* value);

private:
    template <typename Record>
    uint32_t Request(uint32_t code, const Record& record, const ULONG* argument, Record* out);

    Transport& transport_;
};

} // namespace quavctl
