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
    quavsim::SimulationOptions options = DefaultMachine();
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

using Readings = std::array<std::optional<int32_t>, 4>; // Rear Upper, Rear Bottom, CPU, System
using Events = std::vector<uint32_t>;                   // after the driver's initialization

struct PowerOnCase {
    const char* what;
    Arrange set;
    NTSTATUS start;
    Readings readings; // after the second poll
    Events events;
};

constexpr Readings kShipped = {2402, 2250, 45, 36};

// A start that fails: nothing published, only the stop logged.
PowerOnCase Fails(NTSTATUS start, const char* what, Arrange set)
{
    return {what, std::move(set), start, {}, {kStopped}};
}

PowerOnCase Starts(const char* what, Arrange set, Readings readings = kShipped,
                   Events events = {kStarted, kStopped})
{
    return {what, std::move(set), STATUS_SUCCESS, readings, std::move(events)};
}

// The Super I/O's environment-controller registers, or the SMBus sensor's, as the firmware left them.
Arrange SuperIo(std::vector<board::RegisterValue> r)
{
    return [r](auto&, auto& p) { p.superio.registers = r; };
}

Arrange Sensor(std::vector<board::RegisterValue> r)
{
    return [r](auto&, auto& p) { p.southbridge.sensor_registers = r; };
}

// Each power-on state, the start it gets and what the first two polls publish (fans, CPU, System).
// These are what the driver does today: any start failure ends with the device not started, nothing
// published and nothing for the verifier.
TEST(PowerOn, EachStateMeetsTheDriversStartAndFirstPolls)
{
    const Events kTempAlarm = {kStarted, kTempWarning, kTempError, kStopped};
    const PowerOnCase cases[] = {
        Starts("the board as shipped", [](auto&, auto&) {}),
        Fails(STATUS_NO_SUCH_DEVICE, "no Super I/O", [](auto& b, auto&) { b.superio.reset(); }),
        Starts("the Super I/O strapped at 0x4E only", [](auto& b, auto&) { b.superio->config_port = 0x4E; }),
        Fails(STATUS_NO_SUCH_DEVICE, "a chip of another identity",
              [](auto&, auto& p) {
                  p.superio.identity = std::array<uint8_t, 2>{0x90, 0x13};
              }),
        Fails(STATUS_DEVICE_BUSY, "the controller busy for ever",
              [](auto&, auto& p) { p.superio.busy_reads = -1; }),
        // The driver waits a bounded number of reads for the busy bit: fifty is past it.
        Fails(STATUS_DEVICE_BUSY, "the controller busy for 50 reads",
              [](auto&, auto& p) { p.superio.busy_reads = 50; }),
        // The start-up turns the 16-bit counters on, and the driver reads them as the chip now counts.
        Starts("the 16-bit fan counters off", SuperIo({{0x0C, 0}})),
        // The same board with Rear Upper seized (its 16-bit count at 0xFFFF): the failure is reported.
        Starts("the 16-bit fan counters off and a seized fan",
               SuperIo({{0x0C, 0}, {0x0D, 0xFF}, {0x18, 0xFF}}), {0, 2250, 45, 36},
               {kStarted, kFanWarning, kFanError, kStopped}),
        Starts("fan divisors of 1", SuperIo({{0x0B, 0}})),
        Starts("the fan outputs off and at PWM 0", SuperIo({{0x15, 0}, {0x13, 0}})),
        Starts("the System input at 128 degrees", SuperIo({{0x29, 0x80}}), {2402, 2250, 45, 128}, kTempAlarm),
        Fails(STATUS_NO_SUCH_DEVICE, "another SiS chipset",
              [](auto& b, auto&) { b.southbridge->device = 0x0962; }),
        Fails(STATUS_NO_SUCH_DEVICE, "another vendor's bridge",
              [](auto& b, auto&) { b.southbridge->vendor = 0x8086; }),
        Fails(STATUS_NO_SUCH_DEVICE, "no south bridge", [](auto& b, auto&) { b.southbridge.reset(); }),
        Fails(STATUS_UNSUCCESSFUL, "no SMBus sensor",
              [](auto&, auto& p) { p.southbridge.sensor_present = false; }),
        Fails(STATUS_NO_SUCH_DEVICE, "a sensor of another identity", Sensor({{0xFE, 0x41}})),
        Starts("the CPU at -5 degrees", Sensor({{0x01, 0x85}}), {2402, 2250, -5, 36}, kTempAlarm),
        Fails(STATUS_UNSUCCESSFUL, "the SMBus hung", [](auto&, auto& p) { p.southbridge.hung = -1; }),
        // One transaction that never finishes is enough: the start does not try again.
        Fails(STATUS_UNSUCCESSFUL, "one hung SMBus transaction",
              [](auto&, auto& p) { p.southbridge.hung = 1; }),
        Fails(STATUS_UNSUCCESSFUL, "the SMBus colliding for ever",
              [](auto&, auto& p) { p.southbridge.colliding = -1; }),
        Starts("three collisions", [](auto&, auto& p) { p.southbridge.colliding = 3; }),
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
