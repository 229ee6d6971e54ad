#include "plot_series.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quavsim::plot {

double Scaled(const Series& s, double raw)
{
    return s.quantity == Quantity::Deviation ? (raw - s.nominal) * 100 / s.nominal : raw;
}

namespace {

template <typename T>
std::optional<double> Of(const std::optional<T>& v)
{
    return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt;
}

} // namespace

std::optional<double> Value(const TraceRow& row, const Series& s)
{
    switch (s.quantity) {
        case Quantity::Reading:
            return Of(row.readings[s.index]);
        case Quantity::Deviation:
            return row.readings[s.index] ? std::optional<double>(Scaled(s, *row.readings[s.index]))
                                         : std::nullopt;
        case Quantity::Stage:
            return Of(row.stage[s.index]);
        case Quantity::Pwm:
            return Of(row.pwm[s.index]);
        case Quantity::ChipPwm:
            return Of(row.chip_pwm[s.index]);
        case Quantity::PwmApart:
            return row.pwm[s.index] != row.chip_pwm[s.index] ? Of(row.pwm[s.index]) : std::nullopt;
        case Quantity::Ambient:
            return row.ambient;
        case Quantity::Heat:
            return row.heat;
    }
    return std::nullopt;
}

namespace {

using svg::Tenths;

struct Point {
    Tenths x, y;
    bool operator==(const Point&) const = default;
};

} // namespace

svg::PathData LinePath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y)
{
    svg::PathData d;
    std::vector<Point> run;
    auto add = [&run](Point p) {
        if (!run.empty() && run.back() == p) {
            return;
        }
        if (run.size() >= 2 && run[run.size() - 2].y == p.y && run.back().y == p.y) {
            run.back() = p;
        } else {
            run.push_back(p);
        }
    };
    struct Kept {
        size_t row;
        Point p;
    };
    std::optional<long> column;
    std::array<Kept, 4> kept{}; // first, lowest, highest, last
    auto flush_column = [&] {
        if (!column) {
            return;
        }
        std::array<Kept, 4> in_order = kept;
        std::sort(in_order.begin(), in_order.end(),
                  [](const Kept& a, const Kept& b) { return a.row < b.row; });
        for (const Kept& k : in_order) {
            add(k.p);
        }
        column.reset();
    };
    auto end_run = [&] {
        flush_column();
        if (run.empty()) {
            return;
        }
        d.MoveTo(run[0].x, run[0].y);
        if (run.size() == 1) {
            d.HorizontalBy(0); // a lone reading: a dot by the round cap
        }
        for (size_t i = 1; i < run.size(); i++) {
            d.LineTo(run[i].x, run[i].y);
        }
        run.clear();
    };
    for (size_t i = 0; i < trace.size(); i++) {
        const std::optional<double> v = Value(trace[i], s);
        if (!v) {
            end_run();
            continue;
        }
        const double px = x(static_cast<double>(trace[i].time));
        const Kept k{i, {Tenths::Of(px), Tenths::Of(y(*v))}};
        const long c = std::lround(std::floor(px));
        if (column && *column != c) {
            flush_column();
        }
        if (!column) {
            column = c;
            kept = {k, k, k, k};
            continue;
        }
        // Screen y grows downwards: the lowest value has the largest y.
        if (k.p.y > kept[1].p.y) {
            kept[1] = k;
        }
        if (k.p.y < kept[2].p.y) {
            kept[2] = k;
        }
        kept[3] = k;
    }
    end_run();
    return d;
}

svg::PathData StepPath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y)
{
    svg::PathData d;
    const Tenths offset = Tenths::Of(s.offset);
    auto ty = [&](double v) { return Tenths::Of(y(v)) + offset; };
    bool open = false;
    double value = 0;
    Tenths level;  // y drawn so far
    Tenths last_x; // the run's latest row
    struct Changes {
        long column;
        Tenths x;
        double low, high, last;
    };
    std::optional<Changes> pending;
    auto flush = [&] {
        if (!pending) {
            return;
        }
        d.HorizontalTo(pending->x);
        for (double v : {pending->low, pending->high, pending->last}) {
            if (ty(v) != level) {
                level = ty(v);
                d.VerticalTo(level);
            }
        }
        pending.reset();
    };
    auto close = [&] {
        if (open) {
            flush();
            d.HorizontalTo(last_x);
            open = false;
        }
    };
    for (const TraceRow& row : trace) {
        const std::optional<double> v = Value(row, s);
        if (!v) {
            close();
            continue;
        }
        const double px = x(static_cast<double>(row.time));
        last_x = Tenths::Of(px);
        if (!open) {
            open = true;
            value = *v;
            level = ty(*v);
            d.MoveTo(last_x, level);
            continue;
        }
        if (*v == value) {
            continue;
        }
        const long column = std::lround(std::floor(px));
        if (pending && pending->column == column) {
            pending->low = std::min(pending->low, *v);
            pending->high = std::max(pending->high, *v);
            pending->last = *v;
        } else {
            flush();
            pending = Changes{column, last_x, std::min(value, *v), std::max(value, *v), *v};
        }
        value = *v;
    }
    close();
    return d;
}

} // namespace quavsim::plot
