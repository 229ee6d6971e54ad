#include "board/board.h"

#include <algorithm>

namespace board {
namespace {

// Where each sensor is wired on the Super I/O: fan tachometer n, temperature input n, or voltage input n
// behind a divider of `numerator / denominator` mV per count.
struct Wiring {
    SensorInfo info;
    int input;
    uint32_t numerator;
    uint32_t denominator;
};

const std::vector<Wiring>& Wirings()
{
    static const std::vector<Wiring> wirings = {
        {{"Rear Upper", SensorKind::Fan, "RPM", 2400}, 1, 0, 0},
        {{"Rear Bottom", SensorKind::Fan, "RPM", 2250}, 2, 0, 0},
        {{"System", SensorKind::Temperature, "degrees C", 36}, 1, 0, 0},
        {{"VRM", SensorKind::Temperature, "degrees C", 44}, 2, 0, 0},
        {{"Backplane", SensorKind::Temperature, "degrees C", 31}, 3, 0, 0},
        {{"VCCP", SensorKind::Voltage, "mV", 1200}, 0, 16, 1},
        {{"1.8V", SensorKind::Voltage, "mV", 1808}, 1, 16, 1},
        {{"3.3V", SensorKind::Voltage, "mV", 3296}, 2, 16, 1},
        {{"5V", SensorKind::Voltage, "mV", 5000}, 3, 2688, 100},
        {{"12V", SensorKind::Voltage, "mV", 12032}, 4, 64, 1},
        {{"AUX", SensorKind::Voltage, "mV", 5000}, 7, 2688, 100},
    };
    return wirings;
}

} // namespace

Board::Board(sim::PortBus& bus, BoardOptions options)
{
    if (options.superio) {
        superio_ = std::make_unique<SuperIo>(bus, *options.superio);
    }
    for (const Wiring& w : Wirings()) {
        SetSensor(w.info.name, w.info.initial);
    }
}

bool Board::SetSensor(std::string_view name, int64_t value)
{
    const auto& wirings = Wirings();
    auto it =
        std::find_if(wirings.begin(), wirings.end(), [&](const Wiring& w) { return w.info.name == name; });
    if (it == wirings.end()) {
        return false;
    }
    if (superio_ == nullptr) {
        return true;
    }
    const auto clamp = [](int64_t v, int64_t hi) {
        return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, hi));
    };
    switch (it->info.kind) {
        case SensorKind::Fan:
            superio_->SetFanRpm(it->input, clamp(value, 1'000'000));
            break;
        case SensorKind::Temperature:
            superio_->SetTemperature(it->input, static_cast<int>(std::clamp<int64_t>(value, -1000, 1000)));
            break;
        case SensorKind::Voltage:
            superio_->SetVoltage(it->input, clamp(value, 1'000'000), it->numerator, it->denominator);
            break;
    }
    return true;
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
