// A whole simulated machine running the driver: the registry from a .reg file, the emulated board, and
// the driver loaded, given its device node and started by the Plug and Play manager; then virtual time.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "sensors.h"
#include "sim/pe_loader.h"
#include "sim/sim.h"

namespace quavsim {

// One sample of what the driver published under its Current keys.
struct TraceRow {
    sim::Ticks time = 0;
    std::array<std::optional<int32_t>, quavtools::kSensorCount> readings{}; // in quavtools::kSensors' order
    std::array<std::optional<uint32_t>, quavtools::kFanCount> stage{};      // by fan output
    std::array<std::optional<uint32_t>, quavtools::kFanCount> pwm{};
    size_t events = 0; // event log records so far
};

struct SimulationOptions {
    std::string config_reg; // .reg text of the configuration
    sim::MachineOptions machine;
    board::BoardOptions board;    // the chips on the board and their strapping
    board::BoardPowerOn power_on; // how the firmware left them, before the driver loads
    std::string image;            // a built quav.sys to run instead of the built-in driver (32-bit build)
};

// A whole file's bytes; throws std::runtime_error naming the file when it cannot be read.
std::string ReadTextFile(const std::string& path);

class Simulation {
public:
    explicit Simulation(const SimulationOptions& options);
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    NTSTATUS Boot(); // load, add, start
    // Lets virtual time pass, sampling the published values every `sample_every` (0: never), half an
    // interval out of step with whole seconds so that a sample never races a poll.
    void RunFor(sim::Ticks time, sim::Ticks sample_every = 0);
    NTSTATUS Shutdown(); // removal and unload

    const std::vector<TraceRow>& trace() const { return trace_; }
    // The trace as CSV: time, every sensor's reading, each fan's stage and PWM, events so far.
    std::string TraceCsv() const;

    sim::Machine& machine() { return machine_; }
    board::Board& board() { return board_; }
    PDEVICE_OBJECT pdo() const { return pdo_; }

    // Appends a row of what the driver has published now.
    void Sample();
    // Polls the monitor thread has made so far: its timed waits on a semaphore that ran out.
    uint64_t Polls();

    // Which driver runs: the one compiled into this program, or the image's path.
    const std::string& driver_name() const { return driver_name_; }

    // Simulated time, events by severity, stage changes, each sensor's minimum and maximum, port accesses.
    std::string Summary();

private:
    // Declared first so that it outlives the machine: the machine's objects point into its code.
    std::unique_ptr<sim::DriverImage> image_;
    std::string driver_name_ = "built-in (compiled into quavsim)";
    sim::Machine machine_;
    board::Board board_;
    std::optional<sim::AttachedThread> thread_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool running_ = false;
    std::vector<TraceRow> trace_;
};

} // namespace quavsim
