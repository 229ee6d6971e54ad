// A scenario: what happens to the board and the driver over a run, read from JSON.
//
//   {
//     "description": "a hot afternoon",
//     "duration": "24h",                       seconds, or "90s", "15m", "2h", "1h30m"
//     "sample": 60,                            seconds between trace rows (default 5)
//     "seed": 7,                               scheduling seed (default 0: first in, first out)
//     "config": "../config/default.reg",       relative to the scenario file; --config overrides
//     "sensors": {                             engineering values: RPM, degrees C, mV
//       "CPU": [{"at": 0, "value": 45}, {"at": "1h", "value": 80, "ramp": true}]
//     },
//     "registers": [{"at": "2h", "chip": "superio", "register": "0x29", "value": "0x7f"}],
//     "faults": [{"at": "3h", "fault": "controller-busy", "for": 30}],
//     "actions": [{"at": "4h", "action": "set-pwm", "sensor": "Rear Upper", "value": 200}],
//     "plant": {"ambient": [...], "heat": [...]},
//     "board": {"superio": {"port": "0x4E"}, "southbridge": {"sensor": false}},  see scenario_board.h
//     "start": "STATUS_NO_SUCH_DEVICE"         how the device's start ends (default STATUS_SUCCESS)
//   }
//
// A timeline is a list of points in time order; a value holds from its point on, and a point with
// "ramp": true is reached in a straight line from the point before it. Times are seconds from the start.
//
// Anything wrong is reported with the file, the place (a JSON pointer such as /faults/2/for) and what
// was expected, before anything runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/board.h"
#include "sim/time.h"

namespace quavsim {

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TimelinePoint {
    sim::Ticks at = 0;
    double value = 0;
    bool ramp = false; // reached linearly from the previous point
};

struct Timeline {
    std::vector<TimelinePoint> points; // in time order, at least one

    sim::Ticks start() const { return points.front().at; }
    // The value at `time` (the first point's value before it).
    double At(sim::Ticks time) const;
    // Whether the value changes continuously somewhere in (from, to].
    bool RampsWithin(sim::Ticks from, sim::Ticks to) const;
};

// A raw register of one of the board's chips: the environment controller of the Super I/O, or the CPU
// temperature sensor on the SMBus.
enum class Chip { SuperIo, SmbusSensor };

struct RegisterWrite {
    sim::Ticks at = 0;
    Chip chip = Chip::SuperIo;
    uint8_t reg = 0;
    uint8_t value = 0;
};

enum class FaultKind {
    ControllerBusy,   // the environment controller's busy bit stays set
    SmbusHang,        // SMBus transactions never finish
    SmbusCollision,   // SMBus transactions start into a collision
    SmbusArbitration, // SMBus transactions lose arbitration on the wire: the collision status bit
    SensorAbsent,     // the SMBus sensor stops acknowledging its address
};

struct Fault {
    sim::Ticks at = 0;
    FaultKind kind = FaultKind::ControllerBusy;
    std::optional<int> count;           // reads or transactions affected; none: until cleared
    std::optional<sim::Ticks> duration; // cleared after this long; none: for the rest of the run
    std::string where;                  // "/faults/2", for reports
};

struct ActionKind; // its name, fields, reading and performing: actions.h

struct Action {
    sim::Ticks at = 0;
    const ActionKind* kind = nullptr;
    std::string name; // "read-sensor", "set-pwm", ... as written
    int sensor = -1;  // place in quavtools::kSensors (read-sensor, set-pwm)
    uint32_t control_class = 0;
    uint32_t control_index = 0;
    uint32_t value = 0;             // PWM, value code, WMI method value
    uint32_t code = 0;              // device-control code; WMI method id
    uint32_t wmi_sensor = 0;        // 1-12
    std::vector<uint8_t> input;     // device-control input bytes
    uint32_t output_size = 0;       // device-control output buffer
    uint8_t pnp_minor = 0;          // Plug and Play minor function
    int repeat = 1;                 // times the action runs
    sim::Ticks every = 0;           // between repetitions
    std::optional<uint32_t> expect; // the status every repetition must end with
    std::string handle;             // the named handle it opens, closes or sends on; empty: its own
    std::u16string path;            // open: the path to open
    bool administrator = true;      // open: as an administrator, or as an ordinary user
    std::string where;
};

// A thermal model of the case: the temperatures follow a heat load and the airflow of the two fans,
// whose speed follows the PWM the driver writes, so fan control runs closed loop.
struct PlantOptions {
    Timeline ambient;      // degrees C
    Timeline heat;         // watts dissipated by the processor
    double idle_rpm = 600; // a fan at the lowest PWM above 0
    double max_rpm = 5200; // a fan at PWM 255
    double spin_time = 3;  // seconds for a fan to go most of the way to a new speed
    double natural = 1.2;  // W/K carried off with the fans stopped
    double forced = 2.8;   // W/K more with both fans at full speed
    sim::Ticks step = sim::Seconds(1);
};

struct Scenario {
    std::string origin; // the file it came from, for messages
    std::string description;
    sim::Ticks duration = sim::Seconds(3600);
    sim::Ticks sample = sim::Seconds(5);
    uint64_t seed = 0;
    std::optional<std::string> config; // resolved path of a .reg file
    std::map<int, Timeline> sensors;   // by place in quavtools::kSensors
    std::vector<RegisterWrite> registers;
    std::vector<Fault> faults;
    std::vector<Action> actions;
    std::optional<PlantOptions> plant;
    board::BoardOptions board; // the machine at power-on: "board" (scenario_board.h)
    board::BoardPowerOn power_on;
    uint32_t start = 0; // the status the device's start must end with: "start" (STATUS_SUCCESS)
};

// Reads a scenario; `origin` names it in errors and relative paths are resolved against its folder.
// Throws ScenarioError.
Scenario ParseScenario(const std::string& text, const std::string& origin);
Scenario LoadScenario(const std::string& path);

// "90s", "15m", "2h", "1h30m", or a number of seconds; nullopt if malformed.
std::optional<sim::Ticks> ParseDuration(const std::string& text);

const char* FaultName(FaultKind kind);

} // namespace quavsim
