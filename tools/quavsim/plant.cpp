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

double Plant::SteadyState(int node, sim::Ticks time) const
{
    const double airflow = (rpm_[0] + rpm_[1]) / (2 * options_.max_rpm);
    const double conductance = options_.natural + options_.forced * std::clamp(airflow, 0.0, 1.0);
    return options_.ambient.At(time) + kNodeTable[node].share * options_.heat.At(time) / conductance;
}

void Plant::Advance(sim::Ticks now, std::array<unsigned, 2> pwm)
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
                rpm_[f] += (TargetRpm(pwm[f]) - rpm_[f]) * spin;
            }
        }
        for (int n = 0; n < kNodes; n++) {
            temperature_[n] +=
                (SteadyState(n, now_) - temperature_[n]) * (1 - std::exp(-dt / kNodeTable[n].tau));
        }
    }
}

} // namespace quavsim
