// The board as the firmware leaves it at power-on, and what the driver makes of it: whether the device
// starts, what it logs, and what its first polls publish.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <functional>
#include <sstream>

#include "default_config.h"
#include "quavmsg.h"
#include "simulation.h"

namespace {

// What a power-on state led to: the start's status, the events after it, the readings the second poll
// published (by place in the trace; absent: nothing published), and the verifier's reports.
struct Outcome {
    NTSTATUS start = STATUS_SUCCESS;
    uint64_t polls = 0;
    std::vector<uint32_t> events; // after the driver's own initialization events
    quavsim::TraceRow row;
    std::vector<std::string> reports;
};

Outcome PowerOn(const board::BoardOptions& board, const board::BoardPowerOn& power_on)
{
    quavsim::SimulationOptions options;
    options.config_reg = DefaultConfig();
    options.board = board;
    options.power_on = power_on;
    quavsim::Simulation simulation(options);
    Outcome o;
    o.start = simulation.Boot();
    simulation.RunFor(sim::Seconds(12)); // polls at 5 and 10 s
    simulation.Sample();
    o.polls = simulation.Polls();
    o.row = simulation.trace().back();
    simulation.Shutdown();
    for (const sim::EventRecord& e : simulation.machine().eventlog().Records()) {
        o.events.push_back(e.id);
    }
    for (const sim::VerifierReport& r : simulation.machine().verifier().Take()) {
        o.reports.push_back(r.source + ": " + r.text);
    }
    return o;
}

using Arrange = std::function<void(board::BoardOptions&, board::BoardPowerOn&)>;

constexpr uint32_t kStarted = QUAV_MSG_DEVICE_STARTED;
constexpr uint32_t kStopped = QUAV_MSG_DEVICE_STOPPED;
constexpr uint32_t kFanWarning = QUAV_MSG_FAN_WARNING;
constexpr uint32_t kFanError = QUAV_MSG_FAN_ERROR;
constexpr uint32_t kTempWarning = QUAV_MSG_TEMPERATURE_WARNING;
constexpr uint32_t kTempError = QUAV_MSG_TEMPERATURE_ERROR;

// Each power-on state, the start it gets and what the first two polls publish (fans, CPU, System).
// These are what the driver does today: any start failure ends with the device not started, nothing
// published and nothing for the verifier.
TEST(PowerOn, EachStateMeetsTheDriversStartAndFirstPolls)
{
    using R = std::optional<int32_t>;
    const struct {
        const char* what;
        Arrange set;
        NTSTATUS start;
        std::array<R, 4> readings;    // Rear Upper, Rear Bottom, CPU, System after the second poll
        std::vector<uint32_t> events; // after the driver's initialization
    } cases[] = {
        {"the board as shipped",
         [](auto&, auto&) {},
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
        {"no Super I/O", [](auto& b, auto&) { b.superio.reset(); }, STATUS_NO_SUCH_DEVICE, {}, {kStopped}},
        {"the Super I/O strapped at 0x4E only",
         [](auto& b, auto&) { b.superio->config_port = 0x4E; },
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
        {"a chip of another identity",
         [](auto&, auto& p) {
             p.superio.identity = {{0x90, 0x13}};
         },
         STATUS_NO_SUCH_DEVICE,
         {},
         {kStopped}},
        {"the controller busy for ever",
         [](auto&, auto& p) { p.superio.busy_reads = -1; },
         STATUS_DEVICE_BUSY,
         {},
         {kStopped}},
        // The driver waits a bounded number of reads for the busy bit: fifty is past it.
        {"the controller busy for 50 reads",
         [](auto&, auto& p) { p.superio.busy_reads = 50; },
         STATUS_DEVICE_BUSY,
         {},
         {kStopped}},
        // The start-up turns the 16-bit counters on, and the driver reads them as the chip now counts.
        {"the 16-bit fan counters off",
         [](auto&, auto& p) {
             p.superio.registers = {{0x0C, 0}};
         },
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
        // The same board with Rear Upper seized (its 16-bit count at 0xFFFF): the failure is reported.
        {"the 16-bit fan counters off and a seized fan",
         [](auto&, auto& p) {
             p.superio.registers = {{0x0C, 0}, {0x0D, 0xFF}, {0x18, 0xFF}};
         },
         STATUS_SUCCESS,
         {0, 2250, 45, 36},
         {kStarted, kFanWarning, kFanError, kStopped}},
        {"fan divisors of 1",
         [](auto&, auto& p) {
             p.superio.registers = {{0x0B, 0}};
         },
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
        {"the fan outputs off and at PWM 0",
         [](auto&, auto& p) {
             p.superio.registers = {{0x15, 0}, {0x13, 0}};
         },
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
        {"the System input at 128 degrees",
         [](auto&, auto& p) {
             p.superio.registers = {{0x29, 0x80}};
         },
         STATUS_SUCCESS,
         {2402, 2250, 45, 128},
         {kStarted, kTempWarning, kTempError, kStopped}},
        {"another SiS chipset",
         [](auto& b, auto&) { b.southbridge->device = 0x0962; },
         STATUS_NO_SUCH_DEVICE,
         {},
         {kStopped}},
        {"another vendor's bridge",
         [](auto& b, auto&) { b.southbridge->vendor = 0x8086; },
         STATUS_NO_SUCH_DEVICE,
         {},
         {kStopped}},
        {"no south bridge",
         [](auto& b, auto&) { b.southbridge.reset(); },
         STATUS_NO_SUCH_DEVICE,
         {},
         {kStopped}},
        {"no SMBus sensor",
         [](auto&, auto& p) { p.southbridge.sensor_present = false; },
         STATUS_UNSUCCESSFUL,
         {},
         {kStopped}},
        {"a sensor of another identity",
         [](auto&, auto& p) {
             p.southbridge.sensor_registers = {{0xFE, 0x41}};
         },
         STATUS_NO_SUCH_DEVICE,
         {},
         {kStopped}},
        {"the CPU at -5 degrees",
         [](auto&, auto& p) {
             p.southbridge.sensor_registers = {{0x01, 0x85}};
         },
         STATUS_SUCCESS,
         {2402, 2250, -5, 36},
         {kStarted, kTempWarning, kTempError, kStopped}},
        {"the SMBus hung",
         [](auto&, auto& p) { p.southbridge.hung = -1; },
         STATUS_UNSUCCESSFUL,
         {},
         {kStopped}},
        // One transaction that never finishes is enough: the start does not try again.
        {"one hung SMBus transaction",
         [](auto&, auto& p) { p.southbridge.hung = 1; },
         STATUS_UNSUCCESSFUL,
         {},
         {kStopped}},
        {"the SMBus colliding for ever",
         [](auto&, auto& p) { p.southbridge.colliding = -1; },
         STATUS_UNSUCCESSFUL,
         {},
         {kStopped}},
        {"three collisions",
         [](auto&, auto& p) { p.southbridge.colliding = 3; },
         STATUS_SUCCESS,
         {2402, 2250, 45, 36},
         {kStarted, kStopped}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        board::BoardOptions b;
        board::BoardPowerOn p;
        c.set(b, p);
        const Outcome o = PowerOn(b, p);
        EXPECT_EQ(o.start, c.start);
        EXPECT_EQ(o.polls, NT_SUCCESS(c.start) ? 2u : 0u);
        for (size_t i = 0; i < c.readings.size(); i++) {
            EXPECT_EQ(o.row.readings[i], c.readings[i]) << "sensor " << i;
        }
        ASSERT_GE(o.events.size(), 2u);
        EXPECT_EQ(o.events[1], static_cast<uint32_t>(QUAV_MSG_DRIVER_INITIALIZED));
        EXPECT_EQ(std::vector<uint32_t>(o.events.begin() + 2, o.events.end()), c.events);
        EXPECT_EQ(o.reports, std::vector<std::string>{});
    }
}

} // namespace
