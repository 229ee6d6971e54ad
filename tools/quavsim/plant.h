// The case as a thermal system, for closed-loop runs: a heat load in the processor, the room's air,
// and two fans driven by the environment controller's outputs. Each temperature sensor sits on a node
// that approaches its steady state (ambient + its share of the heat over the case's conductance) with
// its own time constant; the conductance grows with the fans' airflow.
//
// A fan follows its output as the controller's registers set it:
// - An output not given to the controller (fan 1: bits 0 and 4 of register 0x13, fan 2: bits 1 and 5,
//   and bits 4-7 of register 0x14 for either) drives nothing: a PWM fan with no signal on its control
//   wire runs at full speed.
// - Automatic operation: when bit 7 of the fan's last parameter register (0x64, 0x6C) arms it, codes
//   0x80-0x83 in the PWM register (0x15, 0x16) run the fan on temperature input (bits 0-1) + 1 (System,
//   VRM, Backplane) instead of a duty: idle up to the start temperature (0x61, 0x69), full speed from the
//   full-speed temperature (0x62, 0x6A), linearly in between. Unarmed, those codes are duties like any.
// - Any other value is a duty out of 255: 0 stops the fan, 1..255 run it from idle to full speed.
#pragma once

#include <array>
#include <cstdint>

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

    // What the environment controller holds for the fans.
    struct Controller {
        uint8_t main = 0;             // register 0x13
        uint8_t control = 0;          // register 0x14
        std::array<uint8_t, 2> pwm{}; // registers 0x15, 0x16
        // The five automatic-control parameters of each fan: 0x60-0x64, 0x68-0x6C.
        std::array<std::array<uint8_t, 5>, 2> parameters{};
        std::array<double, 3> temperature{}; // temperature inputs 1-3 as the chip reads them
    };
    // A controller with both outputs given to it, running the fans on these duties.
    static Controller Duties(std::array<uint8_t, 2> pwm);

    // Starts in equilibrium with both fans at `rpm` at time `start`.
    Plant(const PlantOptions& options, sim::Ticks start, std::array<double, 2> rpm);

    // Moves the model on to `now`, the fans having been driven by `controller` since the last step.
    void Advance(sim::Ticks now, const Controller& controller);

    // What a fan would turn at, steadily, on this duty out of 255.
    double TargetRpm(unsigned pwm) const;
    // What fan 0 or 1 would turn at, steadily, driven by `controller`.
    double TargetRpm(int fan, const Controller& controller) const;

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
