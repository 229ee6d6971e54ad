#include "plant.h"

#include <algorithm>
#include <cmath>

namespace quavsim {

// The processor takes all of the load; the VRM feeds it and runs warm; the system and backplane sensors
// see the air the processor has heated, more slowly.
const std::array<Plant::Node, Plant::kNodes> Plant::kNodeTable = {{
    {"CPU", 1.00, 60},
    {"System", 0.35, 300},
    {"Backplane", 0.15, 600},
    {"VRM", 0.45, 120},
}};

Plant::Plant(const PlantOptions& options, sim::Ticks start, std::array<double, 2> rpm)
    : options_(options), now_(start), rpm_(rpm)
{
    for (int n = 0; n < kNodes; n++) {
        temperature_[n] = SteadyState(n, start);
    }
}

double Plant::TargetRpm(unsigned pwm) const
{
    if (pwm == 0) {
        return 0; // a fan driven at 0 % stops
    }
    return options_.idle_rpm + (options_.max_rpm - options_.idle_rpm) * std::min(pwm, 255u) / 255.0;
}

Plant::Controller Plant::Duties(std::array<uint8_t, 2> pwm)
{
    return Controller{.main = 0x33, .control = 0xF0, .pwm = pwm};
}

double Plant::TargetRpm(int fan, const Controller& c) const
{
    constexpr std::array<uint8_t, 2> kMainBits = {0x11, 0x22};
    constexpr uint8_t kControlBits = 0xF0;
    constexpr uint8_t kAutomatic = 0x80;
    constexpr uint8_t kInputSelect = 0x03;
    constexpr size_t kStartTemperature = 1, kFullTemperature = 2, kArm = 4;
    if ((c.main & kMainBits[fan]) != kMainBits[fan] || (c.control & kControlBits) != kControlBits) {
        return options_.max_rpm;
    }
    const uint8_t pwm = c.pwm[fan];
    const auto& parameters = c.parameters[fan];
    if ((pwm & ~kInputSelect) != kAutomatic || !(parameters[kArm] & kAutomatic)) {
        return TargetRpm(pwm);
    }
    const double t = c.temperature[std::min<size_t>(pwm & kInputSelect, c.temperature.size() - 1)];
    const double start = static_cast<int8_t>(parameters[kStartTemperature]);
    const double full = static_cast<int8_t>(parameters[kFullTemperature]);
    const double share = full > start ? std::clamp((t - start) / (full - start), 0.0, 1.0) : t >= start;
    return options_.idle_rpm + (options_.max_rpm - options_.idle_rpm) * share;
}

double Plant::SteadyState(int node, sim::Ticks time) const
{
    const double airflow = (rpm_[0] + rpm_[1]) / (2 * options_.max_rpm);
    const double conductance = options_.natural + options_.forced * std::clamp(airflow, 0.0, 1.0);
    return options_.ambient.At(time) + kNodeTable[node].share * options_.heat.At(time) / conductance;
}

void Plant::Advance(sim::Ticks now, const Controller& controller)
{
    // Small fixed sub-steps keep the explicit update stable whatever step the run uses.
    constexpr sim::Ticks kMaxStep = sim::Seconds(1);
    while (now_ < now) {
        const sim::Ticks dt_ticks = std::min(kMaxStep, now - now_);
        now_ += dt_ticks;
        const double dt = static_cast<double>(dt_ticks) / sim::kTicksPerSecond;
        // spin_time is the time to get 95 % of the way: three time constants.
        const double spin = 1 - std::exp(-3 * dt / options_.spin_time);
        for (int f = 0; f < 2; f++) {
            if (override_[f]) {
                rpm_[f] = *override_[f];
            } else {
                rpm_[f] += (TargetRpm(f, controller) - rpm_[f]) * spin;
            }
        }
        for (int n = 0; n < kNodes; n++) {
            temperature_[n] +=
                (SteadyState(n, now_) - temperature_[n]) * (1 - std::exp(-dt / kNodeTable[n].tau));
        }
    }
}

} // namespace quavsim
