// The series of the plot's panels as path data, however long the trace: each keeps at most a few points
// per pixel column, so that the file stays small and no extreme is lost. A missing reading breaks its
// series' line.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "simulation.h"
#include "svg.h"

namespace quavsim::plot {

// Maps the domain d0..d1 onto r0..r1.
struct Scale {
    double d0, d1, r0, r1;
    double operator()(double v) const { return r0 + (v - d0) * (r1 - r0) / (d1 - d0); }
};

// Reading: as published; Deviation: a reading's percent off its nominal; Stage, Pwm: a fan output's, as
// published; ChipPwm: the duty the chip holds; PwmApart: the published PWM where it is not the chip's;
// Ambient, Heat: the plant's.
enum class Quantity { Reading, Deviation, Stage, Pwm, ChipPwm, PwmApart, Ambient, Heat };

// A line of a panel: one column of the trace.
struct Series {
    const char* name;
    const char* colour;
    Quantity quantity;
    size_t index = 0;
    double offset = 0;          // pixels, so that equal steps of two fans stay apart
    double nominal = 0;         // Deviation: the reading that is 0 %
    const char* dash = nullptr; // a stroke-dasharray; null: solid
};

// A raw value of the series' sensor (a reading, a limit) in the series' scale.
double Scaled(const Series& s, double raw);

// The series' value in `row`; none when the row has no reading of it.
std::optional<double> Value(const TraceRow& row, const Series& s);

// A line through the present readings, a subpath per run of them. Of each pixel column only the first,
// lowest, highest and last points are kept, in time order, and the inner points of level runs dropped.
svg::PathData LinePath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y);

// A step line: each value holds until the next one, a subpath per run of present values. Changes within
// one pixel column become a single vertical over their range.
svg::PathData StepPath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y);

} // namespace quavsim::plot
