// The panels of a run's plot: what each draws, its limit lines, and the y scale that fits them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "plot.h"
#include "plot_series.h"

namespace quavsim::plot {

// A sensor's limit across its panel, in the panel's scale.
struct LimitLine {
    double value;
    const char* colour;
    std::string title; // "CPU critical upper 85 degC"
    bool critical;
};

struct Panel {
    // What the panel shows.
    std::string label; // the y axis, as XML
    double height;
    bool steps = false; // a value holds until the next (a setting); else a line through readings
    std::vector<Series> series = {};
    // A fixed y range and its ticks; from the data when absent.
    struct Fixed {
        double lo, hi, tick_lo, tick_hi, tick_step;
    };
    std::optional<Fixed> fixed = std::nullopt;
    // The limits of its sensors. The range takes in the warning limits, so that the headroom shows; a
    // critical limit outside it is not drawn until a reading comes near.
    std::vector<LimitLine> limits = {};

    // Where, from the layout.
    double top = 0;
    Scale y{0, 1, 0, 1};
    double tick_lo = 0, tick_hi = 0, tick_step = 1;
};

// The panels for the trace: temperatures (with the plant's ambient), the plant's heat load (when a plant
// ran), fan speeds (unless left out), the rails' deviation from nominal, fan stages and PWM.
std::vector<Panel> PanelSettings(const std::vector<TraceRow>& trace, const PlotOptions& options);

// The y scale and ticks of a panel placed at its top: its fixed range, or one that holds every value it
// shows and its warning limits; the limit lines outside it are dropped.
void FitY(Panel& panel, const std::vector<TraceRow>& trace);

} // namespace quavsim::plot
