// A whole simulated machine running the driver: the registry from a .reg file, the emulated board, and
// the driver loaded, given its device node and started by the Plug and Play manager; then virtual time.
#pragma once

#include <optional>
#include <string>

#include "board/board.h"
#include "sim/sim.h"

namespace quavsim {

struct SimulationOptions {
    std::string config_reg; // .reg text of the configuration
    sim::MachineOptions machine;
};

class Simulation {
public:
    explicit Simulation(const SimulationOptions& options);
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    NTSTATUS Boot();              // load, add, start
    void RunFor(sim::Ticks time); // let virtual time pass
    NTSTATUS Shutdown();          // removal and unload

    sim::Machine& machine() { return machine_; }
    board::Board& board() { return board_; }

    // Simulated time, events by severity, port accesses.
    std::string Summary() const;

private:
    sim::Machine machine_;
    board::Board board_;
    std::optional<sim::AttachedThread> thread_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool running_ = false;
};

} // namespace quavsim
