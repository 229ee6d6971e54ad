#include "plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

#include "plot_panels.h"
#include "plot_series.h"
#include "sensors.h"
#include "svg.h"

namespace quavsim {

namespace {

using plot::Panel;
using plot::Quantity;
using plot::Scale;
using plot::Series;
using plot::Value;

// The lane's rows: the event log's records, most severe first, then the faults and the actions. Each
// row's markers and its lines across the panels take the colour of the row's CSS class.
struct LaneRow {
    const char* word;      // the row's label and the tooltips' word for its marks
    const char* css_class; // of the lane's markers; "mark <css_class>" of the lines across the panels
    const char* colour;    // stroke and fill
};

constexpr std::array<LaneRow, 5> kLaneRows = {{
    {.word = "error", .css_class = "ev0", .colour = "#dc2626"},
    {.word = "warning", .css_class = "ev1", .colour = "#d97706"},
    {.word = "informational", .css_class = "ev2", .colour = "#64748b"},
    {.word = "fault", .css_class = "ev3", .colour = "#7c3aed"},
    {.word = "action", .css_class = "ev4", .colour = "#0891b2"},
}};
constexpr size_t kEventRows = 3; // the severities
constexpr size_t kFaultRow = 3;
constexpr size_t kActionRow = 4;

// The index into kLaneRows of a record's row.
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
    return s == sim::EventSeverity::Success ? "success" : kLaneRows[SeverityRow(s)].word;
}

// Layout, in pixels. Panels stack below the title and the event lane; the legends sit right of them.
constexpr double kLeft = 80;
constexpr double kRight = 150;
constexpr double kLaneTop = 56;
constexpr double kLaneRow = 11;
constexpr double kLaneHeight = kLaneRow * kLaneRows.size();
constexpr double kPanelGap = 22;
constexpr double kBottom = 50;
constexpr int kEventBin = 2;             // pixels per event marker column
constexpr size_t kMessagesPerMarker = 3; // messages a marker's tooltip lists
constexpr size_t kMessageBytes = 160;    // each cut to this length
constexpr long kMaxMarkLines = 60;       // lines across the panels per lane row, at most

std::string StyleSheet()
{
    std::string css = "text{fill:#333}\n.grid{stroke:#e5e7eb;fill:none}\n.frame{stroke:#9ca3af;fill:none}\n"
                      ".series{fill:none;stroke-width:1.5;stroke-linejoin:round;stroke-linecap:round}\n";
    for (const LaneRow& c : kLaneRows) {
        css += std::string(".") + c.css_class + "{stroke:" + c.colour + ";fill:" + c.colour + "}\n";
    }
    return css + ".mark{stroke-opacity:.35}\n.limit{fill:none;stroke-opacity:.7}\n";
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

std::string Clock(sim::Ticks t)
{
    return sim::FormatClock(t);
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

// A mark in the lane: its time and its tooltip's line.
struct LaneItem {
    sim::Ticks time;
    std::string text;
};
using LaneItems = std::array<std::vector<LaneItem>, kLaneRows.size()>;

LaneItems Items(const std::vector<sim::EventRecord>& events, const PlotOptions& options)
{
    LaneItems items;
    for (const sim::EventRecord& e : events) {
        items[SeverityRow(e.severity)].push_back({e.time, Clock(e.time) + " " + SeverityWord(e.severity) +
                                                              " " + std::to_string(e.event_id) + ": " +
                                                              std::string(Shortened(e.message))});
    }
    for (const auto& [row, marks] :
         {std::pair{kFaultRow, &options.faults}, std::pair{kActionRow, &options.actions}}) {
        for (const PlotMark& m : *marks) {
            items[row].push_back({m.time, Clock(m.time) + " " + std::string(Shortened(m.text))});
        }
        // Actions on threads of their own finish out of order.
        std::stable_sort(items[row].begin(), items[row].end(),
                         [](const LaneItem& a, const LaneItem& b) { return a.time < b.time; });
    }
    return items;
}

// The marks of one lane row in one marker column of the lane.
struct Bin {
    size_t count = 0;
    std::vector<const LaneItem*> shown;
    const LaneItem* last = nullptr;
};

using LaneBins = std::array<std::vector<Bin>, kLaneRows.size()>;

// A marker's tooltip: how many marks and when, then the first few of them.
std::string Tooltip(const Bin& bin, size_t row)
{
    std::string text;
    if (bin.count > 1) {
        text += std::to_string(bin.count) + " " + kLaneRows[row].word + (row < kEventRows ? " events" : "s") +
                " from " + Clock(bin.shown[0]->time) + " to " + Clock(bin.last->time) + "\n";
    }
    for (const LaneItem* item : bin.shown) {
        text += item->text;
        if (item != bin.shown.back()) {
            text += '\n';
        }
    }
    if (bin.count > bin.shown.size()) {
        text += "\n...";
    }
    return text;
}

// How the device's state shades the panels; none while it runs.
const char* StateFill(sim::PnpState state)
{
    switch (state) {
        case sim::PnpState::Started:
            return nullptr;
        case sim::PnpState::StopPending:
        case sim::PnpState::Stopped:
        case sim::PnpState::RemovePending:
            return "#fef3c7"; // stopped, or on its way to a stop or a removal
        default:
            return "#e5e7eb"; // no driver runs the device
    }
}

class Plot {
public:
    Plot(const std::vector<TraceRow>& trace, const std::vector<sim::EventRecord>& events,
         const PlotOptions& options)
        : trace_(trace), events_(events), options_(options), width_(std::max(options.width, 480)),
          items_(Items(events, options))
    {
    }

    std::string Render();

private:
    void Header(double height, const std::string& subtitle);
    void Layout();
    void TimeAxis();
    void PanelBackground(const Panel& panel);
    void DeviceStates();
    void Lane();
    LaneBins BinLane(size_t columns) const;
    void LaneMarker(const Bin& bin, size_t row);
    void PanelSeries(const Panel& panel, size_t number);
    void PanelLegend(const Panel& panel);
    void Frame(double top, double height);
    void AcrossPanels(svg::PathData& d, double px) const;
    std::string Subtitle() const;

    const std::vector<TraceRow>& trace_;
    const std::vector<sim::EventRecord>& events_;
    const PlotOptions& options_;
    double width_;
    LaneItems items_;
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
    std::array<size_t, kEventRows> counts{};
    for (const sim::EventRecord& e : events_) {
        counts[SeverityRow(e.severity)]++;
    }
    std::string s = std::to_string(trace_.size()) + " samples from " + Clock(trace_.front().time) + " to " +
                    Clock(trace_.back().time) + "; events: ";
    for (size_t c = counts.size(); c-- > 0;) {
        s += std::to_string(counts[c]) + " " + kLaneRows[c].word + (c > 0 ? ", " : "");
    }
    return s + "; faults: " + std::to_string(options_.faults.size()) +
           "; actions: " + std::to_string(options_.actions.size());
}

void Plot::Layout()
{
    t0_ = trace_.front().time;
    t1_ = trace_.back().time;
    for (const std::vector<LaneItem>& row : items_) {
        for (const LaneItem& item : row) {
            t0_ = std::min(t0_, item.time);
            t1_ = std::max(t1_, item.time);
        }
    }
    if (t1_ == t0_) {
        t0_ -= sim::kTicksPerSecond / 2;
        t1_ += sim::kTicksPerSecond / 2;
    }
    x_ = {static_cast<double>(t0_), static_cast<double>(t1_), kLeft, width_ - kRight};

    panels_ = plot::PanelSettings(trace_, options_);
    double top = kLaneTop + kLaneHeight + 14;
    for (Panel& panel : panels_) {
        panel.top = top;
        top += panel.height + kPanelGap;
        plot::FitY(panel, trace_);
    }
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

LaneBins Plot::BinLane(size_t columns) const
{
    LaneBins bins;
    for (size_t row = 0; row < kLaneRows.size(); row++) {
        bins[row].resize(columns);
        for (const LaneItem& item : items_[row]) {
            const size_t column = std::min(
                columns - 1,
                static_cast<size_t>(std::max(0.0, (x_(static_cast<double>(item.time)) - x_.r0) / kEventBin)));
            Bin& bin = bins[row][column];
            bin.count++;
            if (bin.shown.size() < kMessagesPerMarker) {
                bin.shown.push_back(&item);
            }
            bin.last = &item;
        }
    }
    return bins;
}

void Plot::LaneMarker(const Bin& bin, size_t row)
{
    const double px = x_(static_cast<double>(bin.shown[0]->time));
    svg_.Open("rect", {{"class", kLaneRows[row].css_class},
                       {"x", px - 1},
                       {"y", kLaneTop + kLaneRow * static_cast<double>(row) + 1},
                       {"width", 2},
                       {"height", kLaneRow - 2}})
        .Element("title", {}, Tooltip(bin, row))
        .Close()
        .EndLine();
}

// The lane holds a row per severity class, the faults and the actions, with a tick per two-pixel column
// that had marks of the row, its tooltip listing the first few. The first row of a column with marks is
// also drawn as a faint line across the panels, unless the row has so many columns that its lines would
// hide the data.
void Plot::Lane()
{
    const size_t columns = static_cast<size_t>((x_.r1 - x_.r0) / kEventBin) + 1;
    const LaneBins bins = BinLane(columns);
    for (size_t c = 0; c < kLaneRows.size(); c++) {
        svg_.Element("text",
                     {{"x", x_.r0 - 6},
                      {"y", kLaneTop + kLaneRow * static_cast<double>(c) + 8.5},
                      {"font-size", 9},
                      {"text-anchor", "end"}},
                     kLaneRows[c].word)
            .EndLine();
    }
    Frame(kLaneTop, kLaneHeight);

    std::array<bool, kLaneRows.size()> lines{};
    for (size_t c = 0; c < lines.size(); c++) {
        lines[c] = std::count_if(bins[c].begin(), bins[c].end(), [](const Bin& b) { return b.count > 0; }) <=
                   kMaxMarkLines;
    }
    std::array<svg::PathData, kLaneRows.size()> marks;
    for (size_t column = 0; column < columns; column++) {
        bool marked = false;
        for (size_t c = 0; c < kLaneRows.size(); c++) {
            const Bin& bin = bins[c][column];
            if (bin.count == 0) {
                continue;
            }
            if (!marked && lines[c]) {
                marked = true;
                AcrossPanels(marks[c], x_(static_cast<double>(bin.shown[0]->time)));
            }
            LaneMarker(bin, c);
        }
    }
    for (size_t c = marks.size(); c-- > 0;) {
        if (!marks[c].empty()) {
            svg_.Empty("path", {{"class", std::string("mark ") + kLaneRows[c].css_class}, {"d", marks[c]}})
                .EndLine();
        }
    }
}

// Each run of rows in which the device was not running, shaded across the panels from its first row to
// the row after it, its state and times as a tooltip.
void Plot::DeviceStates()
{
    const double top = panels_.front().top;
    const double bottom = panels_.back().top + panels_.back().height;
    for (size_t i = 0; i < trace_.size();) {
        const sim::PnpState state = trace_[i].device;
        size_t end = i + 1;
        while (end < trace_.size() && trace_[end].device == state) {
            end++;
        }
        if (const char* fill = StateFill(state)) {
            const sim::Ticks until = trace_[std::min(end, trace_.size() - 1)].time;
            const double x0 = x_(static_cast<double>(trace_[i].time));
            const double x1 = std::max(x0 + 1, x_(static_cast<double>(until)));
            svg_.Open("rect", {{"class", "state"},
                               {"x", x0},
                               {"y", top},
                               {"width", x1 - x0},
                               {"height", bottom - top},
                               {"fill", fill}})
                .Element("title", {},
                         std::string("device ") + sim::PnpStateName(state) + " from " +
                             Clock(trace_[i].time) +
                             (end < trace_.size() ? " to " + Clock(until) : " to the end"))
                .Close()
                .EndLine();
        }
        i = end;
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
    // A warning limit dashed, a critical one dotted, in the sensor's colour.
    for (const plot::LimitLine& l : panel.limits) {
        svg_.Open("path", {{"class", "limit"},
                           {"stroke", l.colour},
                           {"stroke-dasharray", l.critical ? "2 3" : "8 4"},
                           {"d", svg::PathData().MoveTo(x_.r0, panel.y(l.value)).HorizontalTo(x_.r1)}})
            .Element("title", {}, l.title)
            .Close()
            .EndLine();
    }
    for (const Series& s : panel.series) {
        const svg::PathData d =
            panel.steps ? StepPath(trace_, s, x_, panel.y) : LinePath(trace_, s, x_, panel.y);
        if (d.empty()) {
            continue;
        }
        svg_.Open("path", {{"class", "series"},
                           {"stroke", s.colour},
                           {"stroke-dasharray", s.dash != nullptr ? s.dash : "none"},
                           {"d", d}})
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
                            {"stroke-dasharray", s.dash != nullptr ? s.dash : "none"},
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
    DeviceStates();
    for (const Panel& panel : panels_) {
        PanelBackground(panel);
    }
    TimeAxis();
    Lane();
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
