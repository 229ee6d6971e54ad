#include "board/board.h"

#include <algorithm>

namespace board {
namespace {

// Where each sensor is wired, in the order the driver lists its sensors. On the Super I/O: fan
// tachometer n, temperature input n, or voltage input n behind a divider of `numerator / denominator` mV
// per count. On the south bridge: the CPU temperature sensor on its SMBus (no input number).
enum class Chip { SuperIo, SouthBridge };

struct Wiring {
    SensorInfo info;
    Chip chip;
    int input;
    uint32_t numerator;
    uint32_t denominator;
};

const std::vector<Wiring>& Wirings()
{
    static const std::vector<Wiring> wirings = {
        {{"Rear Upper", SensorKind::Fan, "RPM", 2400}, Chip::SuperIo, 1, 0, 0},
        {{"Rear Bottom", SensorKind::Fan, "RPM", 2250}, Chip::SuperIo, 2, 0, 0},
        {{"CPU", SensorKind::Temperature, "degrees C", 45}, Chip::SouthBridge, 0, 0, 0},
        {{"System", SensorKind::Temperature, "degrees C", 36}, Chip::SuperIo, 1, 0, 0},
        {{"Backplane", SensorKind::Temperature, "degrees C", 31}, Chip::SuperIo, 3, 0, 0},
        {{"VRM", SensorKind::Temperature, "degrees C", 44}, Chip::SuperIo, 2, 0, 0},
        {{"VCCP", SensorKind::Voltage, "mV", 1200}, Chip::SuperIo, 0, 16, 1},
        {{"1.8V", SensorKind::Voltage, "mV", 1808}, Chip::SuperIo, 1, 16, 1},
        {{"3.3V", SensorKind::Voltage, "mV", 3296}, Chip::SuperIo, 2, 16, 1},
        {{"5V", SensorKind::Voltage, "mV", 5000}, Chip::SuperIo, 3, 2688, 100},
        {{"12V", SensorKind::Voltage, "mV", 12032}, Chip::SuperIo, 4, 64, 1},
        {{"AUX", SensorKind::Voltage, "mV", 5000}, Chip::SuperIo, 7, 2688, 100},
    };
    return wirings;
}

void SetSuperIoSensor(SuperIo& chip, const Wiring& w, int64_t value)
{
    const auto clamp = [](int64_t v, int64_t hi) {
        return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, hi));
    };
    switch (w.info.kind) {
        case SensorKind::Fan:
            chip.SetFanRpm(w.input, clamp(value, 1'000'000));
            break;
        case SensorKind::Temperature:
            chip.SetTemperature(w.input, static_cast<int>(std::clamp<int64_t>(value, -1000, 1000)));
            break;
        case SensorKind::Voltage:
            chip.SetVoltage(w.input, clamp(value, 1'000'000), w.numerator, w.denominator);
            break;
    }
}

} // namespace

Board::Board(sim::PortBus& bus, BoardOptions options, const BoardPowerOn& power_on)
{
    if (options.superio) {
        superio_ = std::make_unique<SuperIo>(bus, *options.superio);
    }
    if (options.southbridge) {
        southbridge_ = std::make_unique<SouthBridge>(bus, *options.southbridge);
    }
    for (const Wiring& w : Wirings()) {
        SetSensor(w.info.name, w.info.initial);
    }
    PowerOn(power_on);
}

// Applied over the resting values, before any driver runs: what the firmware left behind.
void Board::PowerOn(const BoardPowerOn& power_on)
{
    if (superio_ != nullptr) {
        const SuperIoPowerOn& sio = power_on.superio;
        if (sio.identity) {
            superio_->SetIdentity((*sio.identity)[0], (*sio.identity)[1]);
        }
        for (const RegisterValue& r : sio.registers) {
            superio_->SetRegister(r.reg, r.value);
        }
        if (sio.busy_reads != 0) {
            superio_->HoldBusy(sio.busy_reads);
        }
    }
    if (southbridge_ != nullptr) {
        const SouthBridgePowerOn& sb = power_on.southbridge;
        southbridge_->SetSensorPresent(sb.sensor_present);
        for (const RegisterValue& r : sb.sensor_registers) {
            southbridge_->SetSensorRegister(r.reg, r.value);
        }
        if (sb.hung != 0) {
            southbridge_->HangTransactions(sb.hung);
        }
        if (sb.colliding != 0) {
            southbridge_->CollideOnStart(sb.colliding);
        }
    }
}

// A sensor whose chip is not on the board is still known by name; setting it changes nothing.
bool Board::SetSensor(std::string_view name, int64_t value)
{
    const auto& wirings = Wirings();
    auto it =
        std::find_if(wirings.begin(), wirings.end(), [&](const Wiring& w) { return w.info.name == name; });
    if (it == wirings.end()) {
        return false;
    }
    switch (it->chip) {
        case Chip::SuperIo:
            if (superio_ != nullptr) {
                SetSuperIoSensor(*superio_, *it, value);
            }
            break;
        case Chip::SouthBridge:
            if (southbridge_ != nullptr) {
                southbridge_->SetCpuTemperature(static_cast<int>(std::clamp<int64_t>(value, -1000, 1000)));
            }
            break;
    }
    return true;
}

const SensorInfo* Board::FindSensor(std::string_view name)
{
    for (const SensorInfo& sensor : Sensors()) {
        if (sensor.name == name) {
            return &sensor;
        }
    }
    return nullptr;
}

const std::vector<SensorInfo>& Board::Sensors()
{
    static const std::vector<SensorInfo> sensors = [] {
        std::vector<SensorInfo> v;
        for (const Wiring& w : Wirings()) {
            v.push_back(w.info);
        }
        return v;
    }();
    return sensors;
}

} // namespace board
