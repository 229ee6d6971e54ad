// The driver's twelve sensors as its clients name and address them.
#pragma once

#include <array>
#include <cstdint>

namespace quavtools {

struct SensorInfo {
    const char* name;    // as the board labels it: "Rear Upper", "1.8V"
    uint32_t type;       // SENSOR_TYPE_*
    uint32_t id;         // SENSOR_ID_*
    uint32_t wmi_number; // 1-12: its place in the WMI data block, and the number the block's methods take
};

// Fans, temperatures, voltages: Rear Upper, Rear Bottom, CPU, System, Backplane, VRM, VCCP, 1.8V, 3.3V,
// 5V, 12V, AUX.
extern const std::array<SensorInfo, 12> kSensors;
const SensorInfo* FindSensor(uint32_t type, uint32_t id);
const SensorInfo* SensorByWmiNumber(uint32_t number);

} // namespace quavtools
