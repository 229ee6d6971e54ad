// A run of the machine drawn as a standalone SVG: stacked panels on one time axis (temperatures with the
// plant's ambient, the plant's heat load, fan speeds, the rails as a deviation from nominal, fan stages,
// PWM as the chip holds it and as published where the two differ), each sensor's limits as lines, the
// spans the device was not running shaded, under a lane of the event log's records by severity, the
// faults and the actions, each with its time and text as a tooltip. The marks are also drawn across the
// panels in their row's colour, as long as they are few enough not to hide the data.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "sim/eventlog.h"
#include "sim/registry.h"
#include "simulation.h"

namespace quavsim {

// Something that happened at a time, marked in a lane of its own with its text as a tooltip: an action
// of the scenario and what came back, a fault injected on the board.
struct PlotMark {
    sim::Ticks time = 0;
    std::string text;
};

// A sensor's limits as the driver reads them from its configuration; none when the value is missing.
struct SensorLimits {
    std::optional<int32_t> warn_upper, warn_lower, crit_upper, crit_lower;
};
using Limits = std::array<SensorLimits, quavtools::kSensorCount>;

// The limits in the configuration the driver reads, by sensor in quavtools::kSensors' order.
Limits ReadLimits(const sim::Registry& registry);

struct PlotOptions {
    int width = 1200; // pixels; the height follows from the panels
    std::string title = "quavsim run";
    bool fan_rpm = true; // a panel of the fan speeds
    Limits limits{};     // drawn as lines in each sensor's panel
    std::vector<PlotMark> actions = {};
    std::vector<PlotMark> faults = {};
};

// However long the trace, each series keeps at most a few points per pixel column (the first, lowest,
// highest and last of the column) and the events at most one marker per severity and two columns, so
// the file stays small and no extreme is lost. A missing reading breaks its series' line.
std::string PlotSvg(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
                    const PlotOptions& options = {});

} // namespace quavsim
