#include "live_commands.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "status_names.h"

namespace quavctl {

namespace {

using nlohmann::json;

constexpr const char* kPublishedKey = "Current\\FAN";
constexpr const char* kConfigurationKey = "Parameters\\FanControl";

// The mode's bits: the temperatures a stage table follows, or the chip's automatic control on the
// first of System, Backplane and VRM that is set.
constexpr uint32_t kModeController = 0x8000;
struct ModeSource {
    uint32_t bit;
    const char* sensor;
};
constexpr ModeSource kTableSources[] = {{0x1, "CPU"}, {0x2, "System"}, {0x4, "Backplane"}, {0x8, "VRM"}};
constexpr ModeSource kChipSources[] = {{0x2, "System"}, {0x4, "Backplane"}, {0x8, "VRM"}};

std::string DescribeMode(std::optional<uint32_t> mode)
{
    if (!mode) {
        return "unknown";
    }
    if (*mode & kModeController) {
        for (const ModeSource& source : kChipSources) {
            if (*mode & source.bit) {
                return std::string("automatic on ") + source.sensor;
            }
        }
        return "automatic, no input";
    }
    std::string sensors;
    for (const ModeSource& source : kTableSources) {
        if (*mode & source.bit) {
            sensors += (sensors.empty() ? "" : ", ") + std::string(source.sensor);
        }
    }
    return sensors.empty() ? "table, no temperature" : "table on " + sensors;
}

std::optional<uint32_t> Published(Device& device, const char* key, const char* name)
{
    uint32_t value = 0;
    if (!quavtools::StatusSucceeded(device.ReadDword(key, name, &value))) {
        return std::nullopt;
    }
    return value;
}

json OrNull(std::optional<uint32_t> value)
{
    return value ? json(*value) : json(nullptr);
}

std::string OrDash(std::optional<uint32_t> value)
{
    return value ? std::to_string(*value) : "-";
}

} // namespace

int ShowEvents(Device& device, bool json_output, bool follow, std::ostream& out)
{
    constexpr std::chrono::seconds kPollEvery{1};
    uint32_t seen = 0;
    std::optional<uint64_t> end; // without --follow: the records the log held when first asked
    for (;;) {
        const EventBatch batch = device.Events(seen);
        if (!end && !follow) {
            end = batch.total;
        }
        for (const EventLine& event : batch.events) {
            out << (json_output ? event.json : event.text) << "\n";
        }
        out.flush();
        seen += static_cast<uint32_t>(batch.events.size());
        if (end && seen >= *end) {
            return 0;
        }
        if (seen >= batch.total) {
            std::this_thread::sleep_for(kPollEvery);
        }
    }
}

int ShowFans(Device& device, bool json_output, std::ostream& out)
{
    int exit_code = 0;
    json rows = json::array();
    constexpr const char* kRow = "%-12s %-10s %5s  %-11s %s\n";
    char line[256];
    std::snprintf(line, sizeof line, kRow, "FAN", "SPEED", "STAGE", "PWM", "MODE");
    std::string text = line;
    for (const SensorInfo& sensor : kSensors) {
        if (!sensor.IsFan()) {
            continue;
        }
        const quavtools::FanOutputInfo& keys = quavtools::kFanOutputs[sensor.fan];
        SENSOR_RECORD record{};
        const uint32_t status = device.ReadSensor(sensor.type, sensor.id, &record);
        const std::optional<uint32_t> stage = Published(device, kPublishedKey, keys.stage);
        const std::optional<uint32_t> pwm = Published(device, kPublishedKey, keys.pwm);
        const std::optional<uint32_t> mode = Published(device, kConfigurationKey, keys.mode);
        const char* status_name = quavtools::StatusName(status);
        json row{{"name", sensor.name},        {"id", sensor.id},
                 {"status", status},           {"status_name", status_name ? json(status_name) : json()},
                 {"stage", OrNull(stage)},     {"pwm", OrNull(pwm)},
                 {"mode", DescribeMode(mode)}, {"mode_value", OrNull(mode)}};
        std::string speed;
        if (quavtools::StatusSucceeded(status)) {
            row["rpm"] = record.Value;
            speed = std::to_string(record.Value) + " RPM";
        } else {
            exit_code = 1;
            row["rpm"] = nullptr;
            speed = quavtools::StatusText(status);
        }
        const std::string duty =
            pwm ? std::to_string(*pwm) + " (" + std::to_string(*pwm * 100 / 255) + "%)" : "-";
        std::snprintf(line, sizeof line, kRow, sensor.name, speed.c_str(), OrDash(stage).c_str(),
                      duty.c_str(), DescribeMode(mode).c_str());
        text += line;
        rows.push_back(std::move(row));
    }
    if (json_output) {
        json result{{"fans", std::move(rows)}};
        if (exit_code != 0) {
            result["error"] = "not every fan could be read";
        }
        out << result.dump(2) << "\n";
    } else {
        out << text;
    }
    return exit_code;
}

} // namespace quavctl
