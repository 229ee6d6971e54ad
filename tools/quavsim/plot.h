// A run of the machine drawn as a standalone SVG: stacked panels on one time axis (temperatures, fan
// speeds, fan stages, PWM) under a lane of the event log's records by severity, each with its time and
// message as a tooltip. The records are also marked across the panels in their severity's colour, as
// long as they are few enough not to hide the data.
#pragma once

#include <string>
#include <vector>

#include "sim/eventlog.h"
#include "simulation.h"

namespace quavsim {

struct PlotOptions {
    int width = 1200; // pixels; the height follows from the panels
    std::string title = "quavsim run";
    bool fan_rpm = true; // a panel of the fan speeds
};

// However long the trace, each series keeps at most a few points per pixel column (the first, lowest,
// highest and last of the column) and the events at most one marker per severity and two columns, so
// the file stays small and no extreme is lost. A missing reading breaks its series' line.
std::string PlotSvg(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
                    const PlotOptions& options = {});

} // namespace quavsim
