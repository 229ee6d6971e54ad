#include "config_check.h"

#include <array>

#include "sensors.h"

namespace quavsim {

namespace {

constexpr char kParameters[] = "\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters";

constexpr int kStages = 10;
constexpr int kCheckPoints = 9;
constexpr uint32_t kModeSources = 0x000F;    // CPU, System, Backplane, VRM
constexpr uint32_t kModeController = 0x8000; // the chip drives the fan itself

class Reader {
public:
    explicit Reader(const sim::Registry& registry) : registry_(registry) {}

    // As the driver reads it: a REG_DWORD, anything else (or nothing) 0.
    uint32_t Dword(const std::string& key, const std::string& name) const
    {
        const std::string path = key.empty() ? kParameters : std::string(kParameters) + "\\" + key;
        return registry_.GetDword(path, name).value_or(0);
    }
    int32_t Signed(const std::string& key, const std::string& name) const
    {
        return static_cast<int32_t>(Dword(key, name));
    }

private:
    const sim::Registry& registry_;
};

void CheckPolling(const Reader& r, std::optional<sim::Ticks> duration, std::vector<std::string>& out)
{
    const uint32_t seconds = r.Dword("", "POLLING_INTERVAL");
    if (seconds == 0) {
        out.push_back("POLLING_INTERVAL is 0 or missing: the driver polls back to back, with no wait, and "
                      "the run crawls (give the interval in seconds, e.g. 5)");
    } else if (duration && sim::Seconds(seconds) > *duration) {
        out.push_back("POLLING_INTERVAL is " + std::to_string(seconds) + " s, longer than the run (" +
                      sim::FormatTicks(*duration) + "): the driver reads its sensors only when it starts");
    }
    if (r.Dword("", "CURRENT_STAGE") == 0) {
        out.push_back("CURRENT_STAGE is 0: the driver publishes no readings, so the trace and the plot stay "
                      "empty");
    }
}

void CheckLimits(const Reader& r, std::vector<std::string>& out)
{
    for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
        for (const char* band : {"CRIT", "WARN"}) {
            const std::string prefix = std::string(sensor.limit_stem) + "_" + band + "_THD_";
            const int32_t upper = r.Signed(sensor.LimitKey(), prefix + "UPPER");
            const int32_t lower = r.Signed(sensor.LimitKey(), prefix + "LOWER");
            if (upper <= lower) {
                out.push_back(prefix + "UPPER (" + std::to_string(upper) + ") is not above " + prefix +
                              "LOWER (" + std::to_string(lower) + "): every " + sensor.name + " reading is " +
                              (band[0] == 'C' ? "critical" : "a warning") +
                              (upper == 0 && lower == 0 ? " (are the limits missing?)" : ""));
            }
        }
    }
}

void CheckFans(const Reader& r, std::vector<std::string>& out)
{
    for (const char* fan : {"RU", "RB"}) {
        const std::string prefix = std::string("FANCNTL_") + fan + "_";
        const uint32_t mode = r.Dword("FanControl", prefix + "MODE");
        if ((mode & kModeController) != 0) {
            continue; // no table: the chip runs the fan
        }
        if ((mode & kModeSources) == 0) {
            out.push_back(prefix + "MODE (" + std::to_string(mode) +
                          ") follows no temperature: the fan stays at its first stage");
        }
        bool any_pwm = false;
        for (int i = 0; i < kStages; i++) {
            any_pwm = any_pwm || r.Dword("FanControl", prefix + "PWM_" + std::to_string(i)) != 0;
        }
        if (!any_pwm) {
            out.push_back(prefix + "PWM_0 to _9 are all 0 or missing: the fan stands still at every stage");
        }
        for (int i = 1; i < kCheckPoints; i++) {
            const std::string name = prefix + "TEMP_CHECK_POINT_" + std::to_string(i);
            if (r.Signed("FanControl", name) <=
                r.Signed("FanControl", prefix + "TEMP_CHECK_POINT_" + std::to_string(i - 1))) {
                out.push_back(name + " is not above the check point before it: the stages above it are "
                                     "climbed past at the next poll");
                break;
            }
        }
    }
}

} // namespace

std::vector<std::string> ConfigWarnings(const sim::Registry& registry, std::optional<sim::Ticks> duration)
{
    const Reader r(registry);
    std::vector<std::string> out;
    CheckPolling(r, duration, out);
    CheckLimits(r, out);
    CheckFans(r, out);
    return out;
}

} // namespace quavsim
