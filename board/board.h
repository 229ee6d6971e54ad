// The emulated board: its chips on the port I/O bus, and its sensors by the names the driver reports them
// under, with the board's wiring (which chip, which input, which voltage divider).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/southbridge.h"
#include "board/superio.h"

namespace board {

enum class SensorKind { Fan, Temperature, Voltage };

struct SensorInfo {
    std::string name; // "Rear Upper", "System", "5V", ...
    SensorKind kind;
    const char* unit; // "RPM", "degrees C", "mV"
    int64_t initial;  // the value the board starts with
};

// A raw register and the value it holds.
struct RegisterValue {
    uint8_t reg = 0;
    uint8_t value = 0;
};

// How the firmware left the Super I/O before the operating system runs.
struct SuperIoPowerOn {
    // What the environment controller's identity registers 0x58 and 0x5B answer; nullopt: this chip's.
    std::optional<std::array<uint8_t, 2>> identity;
    // Environment-controller registers, after the sensors' resting values: a raw sensor register
    // replaces its engineering value (0x0B fan divisors, 0x0C fan counter width, PWM 0x15-0x17, ...).
    std::vector<RegisterValue> registers;
    int busy_reads = 0; // address-port reads that show busy from power-on; < 0: for ever
};

// How the south bridge's SMBus and its sensor are at power-on.
struct SouthBridgePowerOn {
    bool sensor_present = true;                  // the sensor acknowledges its address
    std::vector<RegisterValue> sensor_registers; // after the resting CPU temperature
    int hung = 0;                                // transactions that never finish from power-on; < 0: all
    int colliding = 0;                           // transactions that start into a collision; < 0: all
};

struct BoardOptions {
    // The Super I/O's strapping; nullopt: no Super I/O answers at all.
    std::optional<SuperIoOptions> superio = SuperIoOptions{};
    // The south bridge (PCI bridge, SMBus host with the CPU sensor, GPIO); nullopt: not on the board.
    std::optional<SouthBridgeOptions> southbridge = SouthBridgeOptions{};
};

// The chips' state at power-on (ignored for a chip not on the board); the defaults are a board the
// firmware set up normally.
struct BoardPowerOn {
    SuperIoPowerOn superio;
    SouthBridgePowerOn southbridge;
};

class Board {
public:
    explicit Board(sim::PortBus& bus, BoardOptions options = {}, const BoardPowerOn& power_on = {});

    SuperIo* superio() { return superio_.get(); }
    SouthBridge* southbridge() { return southbridge_.get(); }

    // Sets a sensor by engineering value (RPM, degrees C, mV); false for a name the board does not have.
    bool SetSensor(std::string_view name, int64_t value);

    static const std::vector<SensorInfo>& Sensors();
    static const SensorInfo* FindSensor(std::string_view name); // nullptr for a name the board lacks

private:
    void PowerOn(const BoardPowerOn& power_on);

    std::unique_ptr<SuperIo> superio_;
    std::unique_ptr<SouthBridge> southbridge_;
};

} // namespace board
