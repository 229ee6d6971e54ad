#include "sensors.h"

#include "usermode.h"

namespace quavtools {

static_assert(SENSOR_COUNT == 12);

const std::array<SensorInfo, 12> kSensors = {{
    {"Rear Upper", SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER, 1},
    {"Rear Bottom", SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM, 2},
    {"CPU", SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, 3},
    {"System", SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM, 4},
    {"Backplane", SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE, 5},
    {"VRM", SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM, 12},
    {"VCCP", SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP, 6},
    {"1.8V", SENSOR_TYPE_VOLTAGE, SENSOR_ID_V18, 7},
    {"3.3V", SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33, 8},
    {"5V", SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5, 9},
    {"12V", SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12, 10},
    {"AUX", SENSOR_TYPE_VOLTAGE, SENSOR_ID_AUX, 11},
}};

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

} // namespace quavtools
