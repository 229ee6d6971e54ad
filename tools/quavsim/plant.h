// The case as a thermal system, for closed-loop runs: a heat load in the processor, the room's air,
// and two fans whose speed follows the PWM the driver writes. Each temperature sensor sits on a node
// that approaches its steady state (ambient + its share of the heat over the case's conductance) with
// its own time constant; the conductance grows with the fans' airflow.
#pragma once

#include <array>

#include "scenario.h"

namespace quavsim {

class Plant {
public:
    // The temperature nodes, a temperature sensor each.
    static constexpr int kNodes = 4;
    struct Node {
        const char* sensor; // its name in quavtools::kSensors
        double share;       // of the heat load that raises this node above ambient
        double tau;         // seconds
    };
    static const std::array<Node, kNodes> kNodeTable;

    // Starts in equilibrium with both fans at `rpm` at time `start`.
    Plant(const PlantOptions& options, sim::Ticks start, std::array<double, 2> rpm);

    // Moves the model on to `now`, the fans having been driven with `pwm` since the last step.
    void Advance(sim::Ticks now, std::array<unsigned, 2> pwm);

    // What the fans would turn at, steadily, on this PWM.
    double TargetRpm(unsigned pwm) const;

    double rpm(int fan) const { return rpm_[fan]; }
    double temperature(int node) const { return temperature_[node]; }
    // A fan held at a fixed speed by the scenario (a failed fan turns at 0); nullopt: follows its PWM.
    void OverrideRpm(int fan, std::optional<double> rpm) { override_[fan] = rpm; }

private:
    double SteadyState(int node, sim::Ticks time) const;

    PlantOptions options_;
    sim::Ticks now_;
    std::array<double, 2> rpm_;
    std::array<std::optional<double>, 2> override_{};
    std::array<double, kNodes> temperature_{};
};

} // namespace quavsim
