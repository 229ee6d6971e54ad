// The emulated board: its chips on the port I/O bus, and its sensors by the names the driver reports them
// under, with the board's wiring (which chip, which input, which voltage divider).
#pragma once

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

struct BoardOptions {
    // The Super I/O's strapping; nullopt: no Super I/O answers at all.
    std::optional<SuperIoOptions> superio = SuperIoOptions{};
    // The south bridge (PCI bridge, SMBus host with the CPU sensor, GPIO); nullopt: not on the board.
    std::optional<SouthBridgeOptions> southbridge = SouthBridgeOptions{};
};

class Board {
public:
    explicit Board(sim::PortBus& bus, BoardOptions options = {});

    SuperIo* superio() { return superio_.get(); }
    SouthBridge* southbridge() { return southbridge_.get(); }

    // Sets a sensor by engineering value (RPM, degrees C, mV); false for a name the board does not have.
    bool SetSensor(std::string_view name, int64_t value);

    static const std::vector<SensorInfo>& Sensors();
    static const SensorInfo* FindSensor(std::string_view name); // nullptr for a name the board lacks

private:
    std::unique_ptr<SuperIo> superio_;
    std::unique_ptr<SouthBridge> southbridge_;
};

} // namespace board
