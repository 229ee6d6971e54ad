// A whole simulated machine running the driver: the registry from a .reg file, the emulated board, and
// the driver loaded, given its device node and started by the Plug and Play manager; then virtual time.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <ostream>
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
    std::string config_reg;    // .reg text of the configuration
    std::string config_origin; // the file it came from, named in the text's errors
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

    // A run may take millions of samples: each goes to the stream set here as it is taken, and the
    // simulation keeps only what its summary needs (each sensor's extremes, the stage changes) and a
    // series for the plot, bounded: every sample up to kPlotRows, then every second one, every fourth,
    // ... evenly through the run, as many more as it takes to stay within the bound.
    static constexpr size_t kPlotRows = 20000;
    // Writes the CSV header to `csv` at once and each row as it is sampled; null: no stream.
    void StreamTrace(std::ostream* csv);
    const std::vector<TraceRow>& trace() const { return trace_; } // the kept series
    size_t Samples() const { return samples_; }                   // all of them
    // The kept series as CSV: time, every sensor's reading, each fan's stage and PWM, events so far.
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

    // The platform's reports of misuse (verifier.h) since the last call, kept for the summary.
    std::vector<sim::VerifierReport> CollectReports();

    // Simulated time, events by severity, stage changes, each sensor's minimum and maximum, port
    // accesses, the platform's reports.
    std::string Summary();

private:
    void Keep(const TraceRow& row);
    static void WriteTraceHeader(std::ostream& out);
    static void WriteTraceRow(std::ostream& out, const TraceRow& row);

    // Declared first so that it outlives the machine: the machine's objects point into its code.
    std::unique_ptr<sim::DriverImage> image_;
    std::string driver_name_ = "built-in (compiled into quavsim)";
    sim::Machine machine_;
    board::Board board_;
    std::optional<sim::AttachedThread> thread_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool running_ = false;
    std::ostream* trace_csv_ = nullptr;
    std::vector<TraceRow> trace_;
    size_t samples_ = 0;
    size_t kept_every_ = 1; // samples per kept row
    int stage_changes_ = 0;
    std::array<std::optional<int32_t>, quavtools::kSensorCount> low_{};
    std::array<std::optional<int32_t>, quavtools::kSensorCount> high_{};
    std::optional<TraceRow> last_;
    size_t reports_ = 0; // collected so far
};

} // namespace quavsim
