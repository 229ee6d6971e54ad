// A whole simulated machine running the driver: the registry from a .reg file, the emulated board, and
// the driver loaded, given its device node and started by the Plug and Play manager; then virtual time.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <ostream>
#include <string>
#include <vector>

#include "board/board.h"
#include "sensors.h"
#include "sim/pe_loader.h"
#include "sim/pnp.h"
#include "sim/sim.h"

namespace quavsim {

// One sample of what the driver published under its Current keys, beside what the platform sees of the
// machine at the time: the duty each PWM output of the Super I/O holds, the device's Plug and Play
// state, and the plant's ambient and heat load. Once the device is gone (removed, or never started) the
// published values are left empty: what the registry still holds is no reading.
struct TraceRow {
    sim::Ticks time = 0;
    std::array<std::optional<int32_t>, quavtools::kSensorCount> readings{}; // in quavtools::kSensors' order
    std::array<std::optional<uint32_t>, quavtools::kFanCount> stage{};      // by fan output
    std::array<std::optional<uint32_t>, quavtools::kFanCount> pwm{};        // as published
    std::array<std::optional<uint32_t>, quavtools::kFanCount> chip_pwm{};   // as the chip holds it
    sim::PnpState device = sim::PnpState::Started;
    std::optional<double> ambient; // degrees C
    std::optional<double> heat;    // watts
    size_t events = 0;             // event log records so far
};

// Whether a driver polls the device in this state (and so publishes its readings): after a stop the
// monitor keeps polling; a device never started, failed or removed has none.
bool Polled(sim::PnpState state);

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
    // Lets virtual time pass, sampling as SampleEvery(sample_every) does (0: no sampling).
    void RunFor(sim::Ticks time, sim::Ticks sample_every = 0);

    // From now on the trace takes a row at most once a `period` (0: none), right after the driver has
    // published a poll: the first publish at or after each multiple of the period. A poll drifts off
    // whole seconds once port access takes time, and a row taken at fixed times could catch it half
    // published. While no driver polls the device, SampleIdle() takes the rows.
    void SampleEvery(sim::Ticks period);
    // At a multiple of the period: a row of what is left if no driver polls the device.
    void SampleIdle();
    // Fills in each row's plant columns as it is taken.
    void AnnotateRows(std::function<void(TraceRow&)> annotate) { annotate_ = std::move(annotate); }
    // The driver's own changes of a fan's stage, from its writes of the published stage values: the same
    // whatever the sampling and whichever build of the driver runs.
    int StageChanges() const { return stage_changes_; }
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
    // What the PnP manager sees of the device; Removed once it is gone or when it was never added.
    sim::PnpState DeviceState();
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
    void Observe(std::string_view path, std::string_view name, uint32_t type, std::span<const uint8_t> data);
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
    std::mutex trace_mu_;   // rows come from the driver's publishing thread and from the run's
    sim::Ticks sample_ = 0;
    sim::Ticks next_due_ = 0;
    std::function<void(TraceRow&)> annotate_;
    std::array<std::optional<uint32_t>, quavtools::kFanCount> stage_written_{};
    // The fans' published key as the driver spells it, once seen: its later writes compare byte for byte.
    std::string fan_key_seen_;
    int stage_changes_ = 0;
    std::array<std::optional<int32_t>, quavtools::kSensorCount> low_{};
    std::array<std::optional<int32_t>, quavtools::kSensorCount> high_{};
    size_t reports_ = 0; // collected so far
};

} // namespace quavsim
