#include "plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "sensors.h"

namespace quavsim {

namespace {

// Layout, in pixels. Panels stack below the title and the event lane; the legends sit right of them.
constexpr double kLeft = 80;
constexpr double kRight = 150;
constexpr double kLaneTop = 56;
constexpr double kLaneRow = 11;
constexpr double kPanelGap = 22;
constexpr double kBottom = 50;
constexpr int kEventBin = 2;             // pixels per event marker column
constexpr size_t kMessagesPerMarker = 3; // messages a marker's tooltip lists
constexpr size_t kMessageBytes = 160;    // each cut to this length
constexpr long kMaxMarkLines = 60;       // lines across the panels per severity class, at most

// Severity classes of the lane, top row first.
constexpr std::array<const char*, 3> kClassWord = {"error", "warning", "informational"};

int SeverityClass(sim::EventSeverity s)
{
    switch (s) {
        case sim::EventSeverity::Error:
            return 0;
        case sim::EventSeverity::Warning:
            return 1;
        default:
            return 2;
    }
}

const char* SeverityWord(sim::EventSeverity s)
{
    return s == sim::EventSeverity::Success ? "success" : kClassWord[SeverityClass(s)];
}

// Coordinates are written in tenths of a pixel, without a fraction when whole.
void Tenths(std::string& out, long tenths)
{
    if (tenths < 0) {
        out += '-';
        tenths = -tenths;
    }
    out += std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        out += '.';
        out += static_cast<char>('0' + tenths % 10);
    }
}

long ToTenths(double px)
{
    return std::lround(px * 10);
}

void Num(std::string& out, double px)
{
    Tenths(out, ToTenths(px));
}

void Escaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\r':
                break;
            default:
                // XML has no place for the other control characters.
                out += static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' ? ' ' : c;
        }
    }
}

// A message without its line end, cut at a character boundary when long.
std::string_view Shortened(std::string_view message)
{
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.remove_suffix(1);
    }
    if (message.size() <= kMessageBytes) {
        return message;
    }
    size_t cut = kMessageBytes;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) {
        cut--;
    }
    return message.substr(0, cut);
}

// Time since boot as h:mm:ss.s.
std::string Clock(sim::Ticks t)
{
    const long long tenths = t / (sim::kTicksPerSecond / 10);
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", tenths / 36000, tenths / 600 % 60,
                  tenths / 10 % 60, tenths % 10);
    return text;
}

std::string Decimal(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::abs(v) < 5e-4 ? 0.0 : v);
    std::string s = text;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') {
        s.pop_back();
    }
    return s;
}

double NiceStep(double raw)
{
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0}) {
        if (raw <= m * power * (1 + 1e-9)) {
            return m * power;
        }
    }
    return 10 * power;
}

// Maps the domain d0..d1 onto r0..r1.
struct Scale {
    double d0, d1, r0, r1;
    double operator()(double v) const { return r0 + (v - d0) * (r1 - r0) / (d1 - d0); }
};

enum class Quantity { Reading, Stage, Pwm };

struct Series {
    const char* name;
    const char* colour;
    Quantity quantity;
    size_t index;
    double offset = 0; // pixels, so that equal steps of two fans stay apart
};

std::optional<double> Value(const TraceRow& row, const Series& s)
{
    switch (s.quantity) {
        case Quantity::Reading:
            return row.readings[s.index] ? std::optional<double>(*row.readings[s.index]) : std::nullopt;
        case Quantity::Stage:
            return row.stage[s.index] ? std::optional<double>(*row.stage[s.index]) : std::nullopt;
        case Quantity::Pwm:
            return row.pwm[s.index] ? std::optional<double>(*row.pwm[s.index]) : std::nullopt;
    }
    return std::nullopt;
}

// The readings a panel draws: the catalogue's sensors of that panel, in its order and colours.
std::vector<Series> Readings(quavtools::PlotPanel panel)
{
    std::vector<Series> series;
    for (size_t i = 0; i < quavtools::kSensors.size(); i++) {
        const quavtools::SensorInfo& sensor = quavtools::kSensors[i];
        if (sensor.panel == panel) {
            series.push_back({sensor.name, sensor.colour, Quantity::Reading, i});
        }
    }
    return series;
}

// Each fan output's stage or PWM in its fan's colour, the two a pixel apart so that equal values show.
std::vector<Series> FanOutputs(Quantity quantity)
{
    std::vector<Series> series;
    for (int fan = 0; fan < static_cast<int>(quavtools::kFanCount); fan++) {
        const quavtools::SensorInfo& sensor = quavtools::kSensors[quavtools::FanSensor(fan)];
        series.push_back(
            {sensor.name, sensor.colour, quantity, static_cast<size_t>(fan), fan == 0 ? -1.0 : 1.0});
    }
    return series;
}

struct Panel {
    std::string label; // the y axis, as XML
    double height;
    bool steps;
    std::vector<Series> series;
    // A fixed y range and its ticks; from the data when absent.
    struct Fixed {
        double lo, hi, tick_lo, tick_hi, tick_step;
    };
    std::optional<Fixed> fixed;
    double top = 0;
    Scale y{0, 1, 0, 1};
    double tick_lo = 0, tick_hi = 0, tick_step = 1;
};

struct Point {
    long x, y; // tenths of a pixel
    bool operator==(const Point&) const = default;
};

// A line through the present readings, a subpath per run of them. Of each pixel column only the first,
// lowest, highest and last points are kept, in time order, and the inner points of level runs dropped.
std::string LinePath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y)
{
    std::string d;
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
        d += 'M';
        Tenths(d, run[0].x);
        d += ' ';
        Tenths(d, run[0].y);
        if (run.size() == 1) {
            d += "h0"; // a lone reading: a dot by the round cap
        }
        for (size_t i = 1; i < run.size(); i++) {
            d += i == 1 ? 'L' : ' ';
            Tenths(d, run[i].x);
            d += ' ';
            Tenths(d, run[i].y);
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
        const Kept k{i, {ToTenths(px), ToTenths(y(*v))}};
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

// A step line: each value holds until the next one, a subpath per run of present values. Changes within
// one pixel column become a single vertical over their range.
std::string StepPath(const std::vector<TraceRow>& trace, const Series& s, const Scale& x, const Scale& y)
{
    std::string d;
    const long offset = ToTenths(s.offset);
    auto ty = [&](double v) { return ToTenths(y(v)) + offset; };
    bool open = false;
    double value = 0;
    long level = 0;  // y drawn so far
    long last_x = 0; // the run's latest row
    struct Changes {
        long column, x;
        double low, high, last;
    };
    std::optional<Changes> pending;
    auto flush = [&] {
        if (!pending) {
            return;
        }
        d += 'H';
        Tenths(d, pending->x);
        for (double v : {pending->low, pending->high, pending->last}) {
            if (ty(v) != level) {
                level = ty(v);
                d += 'V';
                Tenths(d, level);
            }
        }
        pending.reset();
    };
    auto close = [&] {
        if (open) {
            flush();
            d += 'H';
            Tenths(d, last_x);
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
        last_x = ToTenths(px);
        if (!open) {
            open = true;
            value = *v;
            level = ty(*v);
            d += 'M';
            Tenths(d, last_x);
            d += ' ';
            Tenths(d, level);
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

class Plot {
public:
    Plot(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
         const PlotOptions& options)
        : trace_(trace), events_(events), options_(options), width_(std::max(options.width, 480))
    {
    }

    std::string Render();

private:
    void Header(double height, const std::string& subtitle);
    void Layout();
    void TimeAxis();
    void PanelBackground(const Panel& panel);
    void Events();
    void PanelSeries(const Panel& panel, size_t number);
    void PanelLegend(const Panel& panel);
    std::string Subtitle() const;

    const std::vector<TraceRow>& trace_;
    const std::vector<sim::EventRecord>& events_;
    const PlotOptions& options_;
    double width_;
    std::vector<Panel> panels_;
    Scale x_{0, 1, 0, 1};
    sim::Ticks t0_ = 0, t1_ = 0;
    std::string out_;
};

void Plot::Header(double height, const std::string& subtitle)
{
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
    Num(out_, width_);
    out_ += "\" height=\"";
    Num(out_, height);
    out_ += "\" viewBox=\"0 0 ";
    Num(out_, width_);
    out_ += ' ';
    Num(out_, height);
    out_ += "\" font-family=\"sans-serif\" font-size=\"11\">\n<title>";
    Escaped(out_, options_.title);
    out_ += "</title>\n<style>\n"
            "text{fill:#333}\n.grid{stroke:#e5e7eb;fill:none}\n.frame{stroke:#9ca3af;fill:none}\n"
            ".series{fill:none;stroke-width:1.5;stroke-linejoin:round;stroke-linecap:round}\n"
            ".ev0{stroke:#dc2626;fill:#dc2626}\n.ev1{stroke:#d97706;fill:#d97706}\n"
            ".ev2{stroke:#64748b;fill:#64748b}\n.mark{stroke-opacity:.35}\n"
            "</style>\n<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n<text x=\"";
    Num(out_, kLeft);
    out_ += "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">";
    Escaped(out_, options_.title);
    out_ += "</text>\n<text x=\"";
    Num(out_, kLeft);
    out_ += "\" y=\"42\">";
    Escaped(out_, subtitle);
    out_ += "</text>\n";
}

std::string Plot::Subtitle() const
{
    std::array<size_t, 3> counts{};
    for (const sim::EventRecord& e : events_) {
        counts[SeverityClass(e.severity)]++;
    }
    std::string s = std::to_string(trace_.size()) + " samples from " + Clock(trace_.front().time) + " to " +
                    Clock(trace_.back().time) + "; events: ";
    for (int c = 2; c >= 0; c--) {
        s += std::to_string(counts[c]) + " " + kClassWord[c] + (c > 0 ? ", " : "");
    }
    return s;
}

void Plot::Layout()
{
    t0_ = trace_.front().time;
    t1_ = trace_.back().time;
    for (const sim::EventRecord& e : events_) {
        t0_ = std::min(t0_, e.time);
        t1_ = std::max(t1_, e.time);
    }
    if (t1_ == t0_) {
        t0_ -= sim::kTicksPerSecond / 2;
        t1_ += sim::kTicksPerSecond / 2;
    }
    x_ = {static_cast<double>(t0_), static_cast<double>(t1_), kLeft, width_ - kRight};

    panels_.push_back(
        {"Temperature (&#176;C)", 210, false, Readings(quavtools::PlotPanel::Temperature), std::nullopt});
    if (options_.fan_rpm) {
        panels_.push_back(
            {"Fan speed (RPM)", 130, false, Readings(quavtools::PlotPanel::FanSpeed), std::nullopt});
    }
    panels_.push_back(
        {"Fan stage", 120, true, FanOutputs(Quantity::Stage), Panel::Fixed{-0.5, 9.5, 0, 9, 1}});
    panels_.push_back({"PWM", 120, true, FanOutputs(Quantity::Pwm), Panel::Fixed{-8, 263, 0, 250, 50}});

    double top = kLaneTop + 3 * kLaneRow + 14;
    for (Panel& panel : panels_) {
        panel.top = top;
        top += panel.height + kPanelGap;
        if (panel.fixed) {
            panel.tick_lo = panel.fixed->tick_lo;
            panel.tick_hi = panel.fixed->tick_hi;
            panel.tick_step = panel.fixed->tick_step;
            panel.y = {panel.fixed->lo, panel.fixed->hi, panel.top + panel.height, panel.top};
            continue;
        }
        std::optional<double> low;
        std::optional<double> high;
        for (const TraceRow& row : trace_) {
            for (const Series& s : panel.series) {
                if (const std::optional<double> v = Value(row, s)) {
                    low = std::min(low.value_or(*v), *v);
                    high = std::max(high.value_or(*v), *v);
                }
            }
        }
        double lo = low.value_or(0);
        double hi = high.value_or(1);
        if (hi - lo < 4) {
            const double pad = (4 - (hi - lo)) / 2;
            lo -= pad;
            hi += pad;
        }
        panel.tick_step = std::max(1.0, NiceStep((hi - lo) / 4));
        panel.tick_lo = std::floor(lo / panel.tick_step) * panel.tick_step;
        panel.tick_hi = std::ceil(hi / panel.tick_step) * panel.tick_step;
        // A margin so that no line runs along the frame.
        const double margin = (panel.tick_hi - panel.tick_lo) * 0.04;
        panel.y = {panel.tick_lo - margin, panel.tick_hi + margin, panel.top + panel.height, panel.top};
    }
}

void Plot::TimeAxis()
{
    const double span = static_cast<double>(t1_ - t0_) / sim::kTicksPerSecond;
    double unit = 1;
    const char* unit_name = "s";
    if (span >= 2 * 3600) {
        unit = 3600;
        unit_name = "h";
    } else if (span >= 120) {
        unit = 60;
        unit_name = "min";
    }
    double step = 0;
    for (double s : {0.001, 0.002, 0.005,  0.01,   0.02,   0.05,    0.1,     0.2,     0.5,
                     1.0,   2.0,   5.0,    10.0,   15.0,   30.0,    60.0,    120.0,   300.0,
                     600.0, 900.0, 1800.0, 3600.0, 7200.0, 10800.0, 21600.0, 43200.0, 86400.0}) {
        if (span / s <= 10) {
            step = s;
            break;
        }
    }
    if (step == 0) {
        step = 86400;
        while (span / step > 10) {
            step *= 2;
        }
    }
    const double first = static_cast<double>(t0_) / sim::kTicksPerSecond;
    const double last = static_cast<double>(t1_) / sim::kTicksPerSecond;
    const double top = panels_.front().top;
    const double bottom = panels_.back().top + panels_.back().height;
    std::string grid;
    for (double t = std::ceil(first / step - 1e-9) * step; t <= last + step * 1e-9; t += step) {
        const double px = x_(t * sim::kTicksPerSecond);
        grid += 'M';
        Num(grid, px);
        grid += ' ';
        Num(grid, top);
        grid += 'V';
        Num(grid, bottom);
        out_ += "<text x=\"";
        Num(out_, px);
        out_ += "\" y=\"";
        Num(out_, bottom + 16);
        out_ += "\" text-anchor=\"middle\">" + Decimal(t / unit) + "</text>\n";
    }
    out_ += "<path class=\"grid\" d=\"" + grid + "\"/>\n<text x=\"";
    Num(out_, (x_.r0 + x_.r1) / 2);
    out_ += "\" y=\"";
    Num(out_, bottom + 36);
    out_ += "\" text-anchor=\"middle\">time since boot (" + std::string(unit_name) + ")</text>\n";
}

void Plot::PanelBackground(const Panel& panel)
{
    const double bottom = panel.top + panel.height;
    std::string grid;
    for (double v = panel.tick_lo; v <= panel.tick_hi + panel.tick_step * 1e-9; v += panel.tick_step) {
        const double py = panel.y(v);
        grid += 'M';
        Num(grid, x_.r0);
        grid += ' ';
        Num(grid, py);
        grid += 'H';
        Num(grid, x_.r1);
        out_ += "<text x=\"";
        Num(out_, x_.r0 - 6);
        out_ += "\" y=\"";
        Num(out_, py + 4);
        out_ += "\" text-anchor=\"end\">" + Decimal(v) + "</text>\n";
    }
    out_ += "<path class=\"grid\" d=\"" + grid + "\"/>\n<text transform=\"translate(18 ";
    Num(out_, (panel.top + bottom) / 2);
    out_ += ") rotate(-90)\" text-anchor=\"middle\">" + panel.label + "</text>\n";
}

// The lane holds a row per severity class with a tick per two-pixel column that had events of the
// class, its tooltip listing the first few. The most severe class of a column is also marked by a faint
// line across the panels, unless the class has so many columns that its lines would hide the data.
void Plot::Events()
{
    struct Bin {
        size_t count = 0;
        std::vector<const sim::EventRecord*> shown;
        const sim::EventRecord* last = nullptr;
    };
    const size_t columns = static_cast<size_t>((x_.r1 - x_.r0) / kEventBin) + 1;
    std::array<std::vector<Bin>, 3> bins;
    for (auto& row : bins) {
        row.resize(columns);
    }
    for (const sim::EventRecord& e : events_) {
        const size_t column = std::min(
            columns - 1,
            static_cast<size_t>(std::max(0.0, (x_(static_cast<double>(e.time)) - x_.r0) / kEventBin)));
        Bin& bin = bins[SeverityClass(e.severity)][column];
        bin.count++;
        if (bin.shown.size() < kMessagesPerMarker) {
            bin.shown.push_back(&e);
        }
        bin.last = &e;
    }

    for (int c = 0; c < 3; c++) {
        out_ += "<text x=\"";
        Num(out_, x_.r0 - 6);
        out_ += "\" y=\"";
        Num(out_, kLaneTop + kLaneRow * c + 8.5);
        out_ += "\" font-size=\"9\" text-anchor=\"end\">" + std::string(kClassWord[c]) + "</text>\n";
    }
    out_ += "<rect class=\"frame\" x=\"";
    Num(out_, x_.r0);
    out_ += "\" y=\"";
    Num(out_, kLaneTop);
    out_ += "\" width=\"";
    Num(out_, x_.r1 - x_.r0);
    out_ += "\" height=\"";
    Num(out_, 3 * kLaneRow);
    out_ += "\"/>\n";

    std::array<bool, 3> lines{};
    for (int c = 0; c < 3; c++) {
        lines[c] = std::count_if(bins[c].begin(), bins[c].end(), [](const Bin& b) { return b.count > 0; }) <=
                   kMaxMarkLines;
    }
    const double top = panels_.front().top;
    const double bottom = panels_.back().top + panels_.back().height;
    std::array<std::string, 3> marks;
    for (size_t column = 0; column < columns; column++) {
        bool marked = false;
        for (int c = 0; c < 3; c++) {
            const Bin& bin = bins[c][column];
            if (bin.count == 0) {
                continue;
            }
            const double px = x_(static_cast<double>(bin.shown[0]->time));
            if (!marked && lines[c]) {
                marked = true;
                marks[c] += 'M';
                Num(marks[c], px);
                marks[c] += ' ';
                Num(marks[c], top);
                marks[c] += 'V';
                Num(marks[c], bottom);
            }
            out_ += "<rect class=\"ev" + std::to_string(c) + "\" x=\"";
            Num(out_, px - 1);
            out_ += "\" y=\"";
            Num(out_, kLaneTop + kLaneRow * c + 1);
            out_ += "\" width=\"2\" height=\"";
            Num(out_, kLaneRow - 2);
            out_ += "\"><title>";
            if (bin.count > 1) {
                Escaped(out_, std::to_string(bin.count) + " " + kClassWord[c] + " events from " +
                                  Clock(bin.shown[0]->time) + " to " + Clock(bin.last->time) + "\n");
            }
            for (const sim::EventRecord* e : bin.shown) {
                Escaped(out_, Clock(e->time) + " " + SeverityWord(e->severity) + " " +
                                  std::to_string(e->event_id) + ": ");
                Escaped(out_, Shortened(e->message));
                if (e != bin.shown.back()) {
                    out_ += '\n';
                }
            }
            if (bin.count > bin.shown.size()) {
                out_ += "\n...";
            }
            out_ += "</title></rect>\n";
        }
    }
    for (int c = 2; c >= 0; c--) {
        if (!marks[c].empty()) {
            out_ += "<path class=\"mark ev" + std::to_string(c) + "\" d=\"" + marks[c] + "\"/>\n";
        }
    }
}

void Plot::PanelSeries(const Panel& panel, size_t number)
{
    const std::string clip = "clip" + std::to_string(number);
    out_ += "<clipPath id=\"" + clip + "\"><rect x=\"";
    Num(out_, x_.r0 - 2);
    out_ += "\" y=\"";
    Num(out_, panel.top - 2);
    out_ += "\" width=\"";
    Num(out_, x_.r1 - x_.r0 + 4);
    out_ += "\" height=\"";
    Num(out_, panel.height + 4);
    out_ += "\"/></clipPath>\n<g clip-path=\"url(#" + clip + ")\">\n";
    for (const Series& s : panel.series) {
        const std::string d =
            panel.steps ? StepPath(trace_, s, x_, panel.y) : LinePath(trace_, s, x_, panel.y);
        if (d.empty()) {
            continue;
        }
        out_ += "<path class=\"series\" stroke=\"" + std::string(s.colour) + "\" d=\"" + d + "\"><title>" +
                s.name + "</title></path>\n";
    }
    out_ += "</g>\n<rect class=\"frame\" x=\"";
    Num(out_, x_.r0);
    out_ += "\" y=\"";
    Num(out_, panel.top);
    out_ += "\" width=\"";
    Num(out_, x_.r1 - x_.r0);
    out_ += "\" height=\"";
    Num(out_, panel.height);
    out_ += "\"/>\n";
}

void Plot::PanelLegend(const Panel& panel)
{
    double y = panel.top + 12;
    for (const Series& s : panel.series) {
        out_ += "<path stroke=\"" + std::string(s.colour) + "\" stroke-width=\"2\" d=\"M";
        Num(out_, x_.r1 + 12);
        out_ += ' ';
        Num(out_, y - 4);
        out_ += "h18\"/><text x=\"";
        Num(out_, x_.r1 + 36);
        out_ += "\" y=\"";
        Num(out_, y);
        out_ += "\">" + std::string(s.name) + "</text>\n";
        y += 16;
    }
}

std::string Plot::Render()
{
    if (trace_.empty()) {
        Header(200, std::to_string(events_.size()) + " events");
        out_ += "<text x=\"";
        Num(out_, width_ / 2);
        out_ +=
            "\" y=\"120\" font-size=\"14\" text-anchor=\"middle\">no data: the trace has no samples</text>\n"
            "</svg>\n";
        return std::move(out_);
    }
    Layout();
    const double height = panels_.back().top + panels_.back().height + kBottom;
    out_.reserve(64 * 1024);
    Header(height, Subtitle());
    for (const Panel& panel : panels_) {
        PanelBackground(panel);
    }
    TimeAxis();
    Events();
    for (size_t i = 0; i < panels_.size(); i++) {
        PanelSeries(panels_[i], i);
        PanelLegend(panels_[i]);
    }
    out_ += "</svg>\n";
    return std::move(out_);
}

} // namespace

std::string PlotSvg(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
                    const PlotOptions& options)
{
    return Plot(trace, events, options).Render();
}

} // namespace quavsim
