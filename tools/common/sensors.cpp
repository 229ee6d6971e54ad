#include "sensors.h"

#include <stdexcept>
#include <string>

#include "usermode.h"

namespace quavtools {

static_assert(SENSOR_COUNT == kSensorCount);

namespace {

constexpr uint32_t kFan = SENSOR_TYPE_FAN;
constexpr uint32_t kTemp = SENSOR_TYPE_TEMPERATURE;
constexpr uint32_t kVoltage = SENSOR_TYPE_VOLTAGE;
constexpr PlotPanel kFanPanel = PlotPanel::FanSpeed;
constexpr PlotPanel kTempPanel = PlotPanel::Temperature;
constexpr PlotPanel kRailPanel = PlotPanel::Voltage;

} // namespace

// clang-format off
// name, type, id, WMI number, fan output, published value, plot panel and colour, limits' name stem
const std::array<SensorInfo, kSensorCount> kSensors = {{
    {"Rear Upper",  kFan,     SENSOR_ID_REAR_UPPER,   1,  0, "FAN_REAR_UPPER",  kFanPanel,  "#1f77b4", "FANSPEED_RU"},
    {"Rear Bottom", kFan,     SENSOR_ID_REAR_BOTTOM,  2,  1, "FAN_REAR_BOTTOM", kFanPanel,  "#ff7f0e", "FANSPEED_RB"},
    {"CPU",         kTemp,    SENSOR_ID_CPU,          3, -1, "CPU",             kTempPanel, "#d62728", "THERMAL_CPU"},
    {"System",      kTemp,    SENSOR_ID_SYSTEM,       4, -1, "SYSTEM",          kTempPanel, "#1f77b4", "THERMAL_SYSTEM"},
    {"Backplane",   kTemp,    SENSOR_ID_BACKPLANE,    5, -1, "BackPlane",       kTempPanel, "#2ca02c", "THERMAL_BACKPLANE"},
    {"VRM",         kTemp,    SENSOR_ID_VRM,         12, -1, "VRM",             kTempPanel, "#9467bd", "THERMAL_VRM"},
    {"VCCP",        kVoltage, SENSOR_ID_VCCP,         6, -1, "VCCP",            kRailPanel, "#8c564b", "VOLTAGE_VCCP"},
    {"1.8V",        kVoltage, SENSOR_ID_V18,          7, -1, "18V",             kRailPanel, "#e377c2", "VOLTAGE_18V"},
    {"3.3V",        kVoltage, SENSOR_ID_V33,          8, -1, "33V",             kRailPanel, "#7f7f7f", "VOLTAGE_33V"},
    {"5V",          kVoltage, SENSOR_ID_V5,           9, -1, "5V",              kRailPanel, "#bcbd22", "VOLTAGE_5V"},
    {"12V",         kVoltage, SENSOR_ID_V12,         10, -1, "12V",             kRailPanel, "#17becf", "VOLTAGE_12V"},
    {"AUX",         kVoltage, SENSOR_ID_AUX,         11, -1, "AUX",             kRailPanel, "#2ca02c", "VOLTAGE_AUX"},
}};

// stage, PWM and temperature published, mode, PWM register
const std::array<FanOutputInfo, kFanCount> kFanOutputs = {{
    {"FANCNTL_RU_CURRENT_STAGE", "FANCNTL_RU_CURRENT_PWM", "FANCNTL_RU_CURRENT_TEMP", "FANCNTL_RU_MODE", 0x15},
    {"FANCNTL_RB_CURRENT_STAGE", "FANCNTL_RB_CURRENT_PWM", "FANCNTL_RB_CURRENT_TEMP", "FANCNTL_RB_MODE", 0x16},
}};
// clang-format on

SensorKind SensorInfo::Kind() const
{
    return type == kFan ? SensorKind::Fan : type == kTemp ? SensorKind::Temperature : SensorKind::Voltage;
}

const char* SensorInfo::LimitKey() const
{
    switch (Kind()) {
        case SensorKind::Fan:
            return "FanControl";
        case SensorKind::Temperature:
            return "THERMAL";
        case SensorKind::Voltage:
            return "VOLTAGE";
    }
    return "";
}

const char* SensorInfo::CurrentKey() const
{
    switch (Kind()) {
        case SensorKind::Fan:
            return "FAN";
        case SensorKind::Temperature:
            return "THERMAL";
        case SensorKind::Voltage:
            return "VOLTAGE";
    }
    return "";
}

const char* SensorInfo::Unit() const
{
    switch (Kind()) {
        case SensorKind::Fan:
            return "RPM";
        case SensorKind::Temperature:
            return "degrees C";
        case SensorKind::Voltage:
            return "mV";
    }
    return "";
}

const SensorInfo* FindSensor(uint32_t type, uint32_t id)
{
    for (const SensorInfo& sensor : kSensors) {
        if (sensor.type == type && sensor.id == id) {
            return &sensor;
        }
    }
    return nullptr;
}

const SensorInfo* SensorByWmiNumber(uint32_t number)
{
    for (const SensorInfo& sensor : kSensors) {
        if (sensor.wmi_number == number) {
            return &sensor;
        }
    }
    return nullptr;
}

std::optional<size_t> SensorIndex(std::string_view name)
{
    for (size_t i = 0; i < kSensors.size(); i++) {
        if (name == kSensors[i].name) {
            return i;
        }
    }
    return std::nullopt;
}

size_t FanSensor(int fan)
{
    for (size_t i = 0; i < kSensors.size(); i++) {
        if (kSensors[i].fan == fan) {
            return i;
        }
    }
    throw std::out_of_range("no fan output " + std::to_string(fan));
}

} // namespace quavtools
