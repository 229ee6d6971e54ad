#include "plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "plot_series.h"
#include "sensors.h"
#include "svg.h"

namespace quavsim {

namespace {

using plot::Quantity;
using plot::Scale;
using plot::Series;
using plot::Value;

// The event lane's rows, most severe first, and how each is drawn: the lane's markers and the lines
// across the panels take the colour of their row's CSS class.
struct SeverityClass {
    const char* word;      // the row's label and the tooltips' word for it
    const char* css_class; // of the lane's markers; "mark <css_class>" of the lines across the panels
    const char* colour;    // stroke and fill
};

constexpr std::array<SeverityClass, 3> kSeverityClasses = {{
    {.word = "error", .css_class = "ev0", .colour = "#dc2626"},
    {.word = "warning", .css_class = "ev1", .colour = "#d97706"},
    {.word = "informational", .css_class = "ev2", .colour = "#64748b"},
}};

// The index into kSeverityClasses of a record's row.
size_t SeverityRow(sim::EventSeverity s)
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
    return s == sim::EventSeverity::Success ? "success" : kSeverityClasses[SeverityRow(s)].word;
}

// Layout, in pixels. Panels stack below the title and the event lane; the legends sit right of them.
constexpr double kLeft = 80;
constexpr double kRight = 150;
constexpr double kLaneTop = 56;
constexpr double kLaneRow = 11;
constexpr double kLaneHeight = kLaneRow * kSeverityClasses.size();
constexpr double kPanelGap = 22;
constexpr double kBottom = 50;
constexpr int kEventBin = 2;             // pixels per event marker column
constexpr size_t kMessagesPerMarker = 3; // messages a marker's tooltip lists
constexpr size_t kMessageBytes = 160;    // each cut to this length
constexpr long kMaxMarkLines = 60;       // lines across the panels per severity class, at most

std::string StyleSheet()
{
    std::string css = "text{fill:#333}\n.grid{stroke:#e5e7eb;fill:none}\n.frame{stroke:#9ca3af;fill:none}\n"
                      ".series{fill:none;stroke-width:1.5;stroke-linejoin:round;stroke-linecap:round}\n";
    for (const SeverityClass& c : kSeverityClasses) {
        css += std::string(".") + c.css_class + "{stroke:" + c.colour + ";fill:" + c.colour + "}\n";
    }
    return css + ".mark{stroke-opacity:.35}\n";
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

struct Panel {
    // What the panel shows.
    std::string label; // the y axis, as XML
    double height;
    bool steps = false; // a value holds until the next (a setting); else a line through readings
    std::vector<Series> series;
    // A fixed y range and its ticks; from the data when absent.
    struct Fixed {
        double lo, hi, tick_lo, tick_hi, tick_step;
    };
    std::optional<Fixed> fixed = std::nullopt;

    // Where, from the layout.
    double top = 0;
    Scale y{0, 1, 0, 1};
    double tick_lo = 0, tick_hi = 0, tick_step = 1;
};

// The readings a panel draws: the catalogue's sensors of that panel, in its order and colours.
std::vector<Series> Readings(quavtools::PlotPanel panel)
{
    std::vector<Series> series;
    for (size_t i = 0; i < quavtools::kSensors.size(); i++) {
        const quavtools::SensorInfo& sensor = quavtools::kSensors[i];
        if (sensor.panel == panel) {
            series.push_back(
                {.name = sensor.name, .colour = sensor.colour, .quantity = Quantity::Reading, .index = i});
        }
    }
    return series;
}

// Each fan output's stage or PWM in its fan's colour, the two a pixel apart so that equal values show.
std::vector<Series> FanOutputs(Quantity quantity)
{
    std::vector<Series> series;
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        const quavtools::SensorInfo& sensor =
            quavtools::kSensors[quavtools::FanSensor(static_cast<int>(fan))];
        series.push_back({.name = sensor.name,
                          .colour = sensor.colour,
                          .quantity = quantity,
                          .index = fan,
                          .offset = fan == 0 ? -1.0 : 1.0});
    }
    return series;
}

std::vector<Panel> PanelSettings(bool fan_rpm)
{
    std::vector<Panel> panels;
    panels.push_back({.label = "Temperature (&#176;C)",
                      .height = 210,
                      .series = Readings(quavtools::PlotPanel::Temperature)});
    if (fan_rpm) {
        panels.push_back(
            {.label = "Fan speed (RPM)", .height = 130, .series = Readings(quavtools::PlotPanel::FanSpeed)});
    }
    panels.push_back(
        {.label = "Fan stage",
         .height = 120,
         .steps = true,
         .series = FanOutputs(Quantity::Stage),
         .fixed = Panel::Fixed{.lo = -0.5, .hi = 9.5, .tick_lo = 0, .tick_hi = 9, .tick_step = 1}});
    panels.push_back(
        {.label = "PWM",
         .height = 120,
         .steps = true,
         .series = FanOutputs(Quantity::Pwm),
         .fixed = Panel::Fixed{.lo = -8, .hi = 263, .tick_lo = 0, .tick_hi = 250, .tick_step = 50}});
    return panels;
}

// The records of one severity class in one marker column of the lane.
struct Bin {
    size_t count = 0;
    std::vector<const sim::EventRecord*> shown;
    const sim::EventRecord* last = nullptr;
};

using EventBins = std::array<std::vector<Bin>, kSeverityClasses.size()>;

// A marker's tooltip: how many records and when, then the first few of them.
std::string Tooltip(const Bin& bin, const SeverityClass& severity)
{
    std::string text;
    if (bin.count > 1) {
        text += std::to_string(bin.count) + " " + severity.word + " events from " +
                Clock(bin.shown[0]->time) + " to " + Clock(bin.last->time) + "\n";
    }
    for (const sim::EventRecord* e : bin.shown) {
        text += Clock(e->time) + " " + SeverityWord(e->severity) + " " + std::to_string(e->event_id) + ": ";
        text += Shortened(e->message);
        if (e != bin.shown.back()) {
            text += '\n';
        }
    }
    if (bin.count > bin.shown.size()) {
        text += "\n...";
    }
    return text;
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
    void FitY(Panel& panel) const;
    void TimeAxis();
    void PanelBackground(const Panel& panel);
    void Events();
    EventBins BinEvents(size_t columns) const;
    void EventMarker(const Bin& bin, size_t row);
    void PanelSeries(const Panel& panel, size_t number);
    void PanelLegend(const Panel& panel);
    void Frame(double top, double height);
    void AcrossPanels(svg::PathData& d, double px) const;
    std::string Subtitle() const;

    const std::vector<TraceRow>& trace_;
    const std::vector<sim::EventRecord>& events_;
    const PlotOptions& options_;
    double width_;
    std::vector<Panel> panels_;
    Scale x_{0, 1, 0, 1};
    sim::Ticks t0_ = 0, t1_ = 0;
    svg::Writer svg_;
};

void Plot::Header(double height, const std::string& subtitle)
{
    svg_.Begin(width_, height, {{"font-family", "sans-serif"}, {"font-size", 11}}).EndLine();
    svg_.Element("title", {}, options_.title).EndLine();
    svg_.Open("style").EndLine().Markup(StyleSheet()).Close().EndLine();
    svg_.Empty("rect", {{"width", "100%"}, {"height", "100%"}, {"fill", "#fff"}}).EndLine();
    svg_.Element("text", {{"x", kLeft}, {"y", 24}, {"font-size", 16}, {"font-weight", "bold"}},
                 options_.title)
        .EndLine();
    svg_.Element("text", {{"x", kLeft}, {"y", 42}}, subtitle).EndLine();
}

std::string Plot::Subtitle() const
{
    std::array<size_t, kSeverityClasses.size()> counts{};
    for (const sim::EventRecord& e : events_) {
        counts[SeverityRow(e.severity)]++;
    }
    std::string s = std::to_string(trace_.size()) + " samples from " + Clock(trace_.front().time) + " to " +
                    Clock(trace_.back().time) + "; events: ";
    for (size_t c = counts.size(); c-- > 0;) {
        s += std::to_string(counts[c]) + " " + kSeverityClasses[c].word + (c > 0 ? ", " : "");
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

    panels_ = PanelSettings(options_.fan_rpm);
    double top = kLaneTop + kLaneHeight + 14;
    for (Panel& panel : panels_) {
        panel.top = top;
        top += panel.height + kPanelGap;
        FitY(panel);
    }
}

// The y scale and ticks of a placed panel: its fixed range, or one that holds every value it shows.
void Plot::FitY(Panel& panel) const
{
    if (panel.fixed) {
        panel.tick_lo = panel.fixed->tick_lo;
        panel.tick_hi = panel.fixed->tick_hi;
        panel.tick_step = panel.fixed->tick_step;
        panel.y = {panel.fixed->lo, panel.fixed->hi, panel.top + panel.height, panel.top};
        return;
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

// A vertical line at `px` from the top of the first panel to the bottom of the last.
void Plot::AcrossPanels(svg::PathData& d, double px) const
{
    d.MoveTo(px, panels_.front().top).VerticalTo(panels_.back().top + panels_.back().height);
}

void Plot::Frame(double top, double height)
{
    svg_.Empty("rect",
               {{"class", "frame"}, {"x", x_.r0}, {"y", top}, {"width", x_.r1 - x_.r0}, {"height", height}})
        .EndLine();
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
    const double bottom = panels_.back().top + panels_.back().height;
    svg::PathData grid;
    for (double t = std::ceil(first / step - 1e-9) * step; t <= last + step * 1e-9; t += step) {
        const double px = x_(t * sim::kTicksPerSecond);
        AcrossPanels(grid, px);
        svg_.Element("text", {{"x", px}, {"y", bottom + 16}, {"text-anchor", "middle"}}, Decimal(t / unit))
            .EndLine();
    }
    svg_.Empty("path", {{"class", "grid"}, {"d", grid}}).EndLine();
    svg_.Element("text", {{"x", (x_.r0 + x_.r1) / 2}, {"y", bottom + 36}, {"text-anchor", "middle"}},
                 std::string("time since boot (") + unit_name + ")")
        .EndLine();
}

void Plot::PanelBackground(const Panel& panel)
{
    const double bottom = panel.top + panel.height;
    svg::PathData grid;
    for (double v = panel.tick_lo; v <= panel.tick_hi + panel.tick_step * 1e-9; v += panel.tick_step) {
        const double py = panel.y(v);
        grid.MoveTo(x_.r0, py).HorizontalTo(x_.r1);
        svg_.Element("text", {{"x", x_.r0 - 6}, {"y", py + 4}, {"text-anchor", "end"}}, Decimal(v)).EndLine();
    }
    svg_.Empty("path", {{"class", "grid"}, {"d", grid}}).EndLine();
    const std::string transform = "translate(18 " + svg::Number((panel.top + bottom) / 2) + ") rotate(-90)";
    svg_.Open("text", {{"transform", transform}, {"text-anchor", "middle"}})
        .Markup(panel.label)
        .Close()
        .EndLine();
}

EventBins Plot::BinEvents(size_t columns) const
{
    EventBins bins;
    for (auto& row : bins) {
        row.resize(columns);
    }
    for (const sim::EventRecord& e : events_) {
        const size_t column = std::min(
            columns - 1,
            static_cast<size_t>(std::max(0.0, (x_(static_cast<double>(e.time)) - x_.r0) / kEventBin)));
        Bin& bin = bins[SeverityRow(e.severity)][column];
        bin.count++;
        if (bin.shown.size() < kMessagesPerMarker) {
            bin.shown.push_back(&e);
        }
        bin.last = &e;
    }
    return bins;
}

void Plot::EventMarker(const Bin& bin, size_t row)
{
    const double px = x_(static_cast<double>(bin.shown[0]->time));
    svg_.Open("rect", {{"class", kSeverityClasses[row].css_class},
                       {"x", px - 1},
                       {"y", kLaneTop + kLaneRow * static_cast<double>(row) + 1},
                       {"width", 2},
                       {"height", kLaneRow - 2}})
        .Element("title", {}, Tooltip(bin, kSeverityClasses[row]))
        .Close()
        .EndLine();
}

// The lane holds a row per severity class with a tick per two-pixel column that had events of the
// class, its tooltip listing the first few. The most severe class of a column is also marked by a faint
// line across the panels, unless the class has so many columns that its lines would hide the data.
void Plot::Events()
{
    const size_t columns = static_cast<size_t>((x_.r1 - x_.r0) / kEventBin) + 1;
    const EventBins bins = BinEvents(columns);
    for (size_t c = 0; c < kSeverityClasses.size(); c++) {
        svg_.Element("text",
                     {{"x", x_.r0 - 6},
                      {"y", kLaneTop + kLaneRow * static_cast<double>(c) + 8.5},
                      {"font-size", 9},
                      {"text-anchor", "end"}},
                     kSeverityClasses[c].word)
            .EndLine();
    }
    Frame(kLaneTop, kLaneHeight);

    std::array<bool, kSeverityClasses.size()> lines{};
    for (size_t c = 0; c < lines.size(); c++) {
        lines[c] = std::count_if(bins[c].begin(), bins[c].end(), [](const Bin& b) { return b.count > 0; }) <=
                   kMaxMarkLines;
    }
    std::array<svg::PathData, kSeverityClasses.size()> marks;
    for (size_t column = 0; column < columns; column++) {
        bool marked = false;
        for (size_t c = 0; c < kSeverityClasses.size(); c++) {
            const Bin& bin = bins[c][column];
            if (bin.count == 0) {
                continue;
            }
            if (!marked && lines[c]) {
                marked = true;
                AcrossPanels(marks[c], x_(static_cast<double>(bin.shown[0]->time)));
            }
            EventMarker(bin, c);
        }
    }
    for (size_t c = marks.size(); c-- > 0;) {
        if (!marks[c].empty()) {
            svg_.Empty("path",
                       {{"class", std::string("mark ") + kSeverityClasses[c].css_class}, {"d", marks[c]}})
                .EndLine();
        }
    }
}

void Plot::PanelSeries(const Panel& panel, size_t number)
{
    const std::string clip = "clip" + std::to_string(number);
    svg_.Open("clipPath", {{"id", clip}})
        .Empty("rect", {{"x", x_.r0 - 2},
                        {"y", panel.top - 2},
                        {"width", x_.r1 - x_.r0 + 4},
                        {"height", panel.height + 4}})
        .Close()
        .EndLine();
    svg_.Open("g", {{"clip-path", "url(#" + clip + ")"}}).EndLine();
    for (const Series& s : panel.series) {
        const svg::PathData d =
            panel.steps ? StepPath(trace_, s, x_, panel.y) : LinePath(trace_, s, x_, panel.y);
        if (d.empty()) {
            continue;
        }
        svg_.Open("path", {{"class", "series"}, {"stroke", s.colour}, {"d", d}})
            .Element("title", {}, s.name)
            .Close()
            .EndLine();
    }
    svg_.Close().EndLine();
    Frame(panel.top, panel.height);
}

void Plot::PanelLegend(const Panel& panel)
{
    double y = panel.top + 12;
    for (const Series& s : panel.series) {
        svg_.Empty("path", {{"stroke", s.colour},
                            {"stroke-width", 2},
                            {"d", svg::PathData().MoveTo(x_.r1 + 12, y - 4).HorizontalBy(18)}})
            .Element("text", {{"x", x_.r1 + 36}, {"y", y}}, s.name)
            .EndLine();
        y += 16;
    }
}

std::string Plot::Render()
{
    if (trace_.empty()) {
        Header(200, std::to_string(events_.size()) + " events");
        svg_.Element("text", {{"x", width_ / 2}, {"y", 120}, {"font-size", 14}, {"text-anchor", "middle"}},
                     "no data: the trace has no samples")
            .EndLine();
        return svg_.Finish();
    }
    Layout();
    const double height = panels_.back().top + panels_.back().height + kBottom;
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
    return svg_.Finish();
}

} // namespace

std::string PlotSvg(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
                    const PlotOptions& options)
{
    return Plot(trace, events, options).Render();
}

} // namespace quavsim
