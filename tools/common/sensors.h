// The driver's twelve sensors, once for every tool: how clients name and address them, where the driver
// publishes their readings, which fan output a fan is, and how the bench draws them. Everything else on
// the tool side derives from this table. The board keeps its own wiring table and the driver its own
// names (neither may know the tools); tests/tools/sensors_test.cpp checks that the three agree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quavtools {

enum class SensorKind { Fan, Temperature, Voltage };

// The panel of a run's plot a sensor's reading is drawn in.
enum class PlotPanel { None, Temperature, FanSpeed, Voltage };

struct SensorInfo {
    const char* name;          // as the board labels it and the driver's events name it: "Rear Upper"
    uint32_t type;             // SENSOR_TYPE_*
    uint32_t id;               // SENSOR_ID_*
    uint32_t wmi_number;       // 1-12: its place in the WMI data block, the number the block's methods take
    int fan;                   // a fan's output (0, 1: its stage, PWM and PWM register); -1: not a fan
    const char* current_value; // the value the driver publishes the reading in, under CurrentKey()
    PlotPanel panel;
    const char* colour;     // its line in the plot
    const char* limit_stem; // its limits' names under LimitKey(): "<stem>_CRIT_THD_UPPER", "..._WARN_..."

    bool IsFan() const { return fan >= 0; }
    SensorKind Kind() const;
    // The key under ...\Services\QUAV\Current the driver publishes the reading in: "FAN", "THERMAL", ...
    const char* CurrentKey() const;
    // The key under ...\Services\QUAV\Parameters the driver reads its limits from: "FanControl", ...
    const char* LimitKey() const;
    // The unit of the engineering value the driver reports: "RPM", "degrees C", "mV".
    const char* Unit() const;
};

constexpr size_t kSensorCount = 12;
constexpr size_t kFanCount = 2;

// In the driver's logical order (its thresholds' order): fans, temperatures, voltages: Rear Upper, Rear
// Bottom, CPU, System, Backplane, VRM, VCCP, 1.8V, 3.3V, 5V, 12V, AUX. A sensor's place here is its index
// everywhere in the tools (trace columns, scenario timelines).
extern const std::array<SensorInfo, kSensorCount> kSensors;

const SensorInfo* FindSensor(uint32_t type, uint32_t id);
const SensorInfo* SensorByWmiNumber(uint32_t number);
// The place in kSensors of the sensor so named (exactly, as the board labels it).
std::optional<size_t> SensorIndex(std::string_view name);
// The place in kSensors of fan output `fan` (0 or 1).
size_t FanSensor(int fan);

// A fan output as the driver's fan control publishes and configures it, and the chip's register that
// holds its duty.
struct FanOutputInfo {
    const char* stage;       // under Current\FAN: the stage it runs at
    const char* pwm;         // under Current\FAN: that stage's table value
    const char* temperature; // under Current\FAN: the temperature the stage follows
    const char* mode;        // under Parameters\FanControl: what it follows
    uint8_t pwm_register;    // the environment controller's PWM output
};
extern const std::array<FanOutputInfo, kFanCount> kFanOutputs;

} // namespace quavtools
