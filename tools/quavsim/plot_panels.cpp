#include "plot_panels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include "sensors.h"

namespace quavsim::plot {

namespace {

// The rails the board is built for, in millivolts.
struct Nominal {
    std::string_view sensor;
    double millivolts;
};
constexpr std::array<Nominal, 6> kNominal = {{
    {"VCCP", 1200},
    {"1.8V", 1800},
    {"3.3V", 3300},
    {"5V", 5000},
    {"12V", 12000},
    {"AUX", 5000},
}};

double NominalOf(std::string_view sensor)
{
    for (const Nominal& n : kNominal) {
        if (n.sensor == sensor) {
            return n.millivolts;
        }
    }
    return 0;
}

const char* ShortUnit(const quavtools::SensorInfo& sensor)
{
    return sensor.Kind() == quavtools::SensorKind::Temperature ? "degC" : sensor.Unit();
}

// The readings a panel draws: the catalogue's sensors of that panel, in its order and colours, with
// their limits; the rails as their deviation from nominal.
std::vector<Series> Readings(quavtools::PlotPanel panel, const Limits& limits, std::vector<LimitLine>* lines)
{
    std::vector<Series> series;
    for (size_t i = 0; i < quavtools::kSensors.size(); i++) {
        const quavtools::SensorInfo& sensor = quavtools::kSensors[i];
        if (sensor.panel != panel) {
            continue;
        }
        const bool rail = panel == quavtools::PlotPanel::Voltage;
        const Series s{.name = sensor.name,
                       .colour = sensor.colour,
                       .quantity = rail ? Quantity::Deviation : Quantity::Reading,
                       .index = i,
                       .nominal = rail ? NominalOf(sensor.name) : 0};
        if (rail && s.nominal == 0) {
            continue; // a rail of unknown nominal has no deviation to draw
        }
        series.push_back(s);
        const SensorLimits& l = limits[i];
        const struct {
            const std::optional<int32_t>& value;
            const char* words;
            bool critical;
        } each[] = {{l.warn_upper, "warning upper", false},
                    {l.warn_lower, "warning lower", false},
                    {l.crit_upper, "critical upper", true},
                    {l.crit_lower, "critical lower", true}};
        for (const auto& e : each) {
            if (e.value) {
                lines->push_back({Scaled(s, *e.value), sensor.colour,
                                  std::string(sensor.name) + " " + e.words + " " + std::to_string(*e.value) +
                                      " " + ShortUnit(sensor),
                                  e.critical});
            }
        }
    }
    return series;
}

// Each fan output's stage or PWM in its fan's colour, the two a pixel apart so that equal values show.
std::vector<Series> FanOutputs(Quantity quantity, const char* dash = nullptr)
{
    std::vector<Series> series;
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        const quavtools::SensorInfo& sensor =
            quavtools::kSensors[quavtools::FanSensor(static_cast<int>(fan))];
        series.push_back({.name = sensor.name,
                          .colour = sensor.colour,
                          .quantity = quantity,
                          .index = fan,
                          .offset = fan == 0 ? -1.0 : 1.0,
                          .dash = dash});
    }
    return series;
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

} // namespace

} // namespace quavsim::plot

namespace quavsim {

Limits ReadLimits(const sim::Registry& registry)
{
    const std::string parameters =
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters\\";
    Limits limits;
    for (size_t i = 0; i < limits.size(); i++) {
        const std::string key = parameters + quavtools::kSensors[i].LimitKey();
        const std::string stem = quavtools::kSensors[i].limit_stem;
        // The driver takes each as a signed number.
        auto read = [&](const char* suffix) -> std::optional<int32_t> {
            const std::optional<uint32_t> v = registry.GetDword(key, stem + suffix);
            return v ? std::optional<int32_t>(static_cast<int32_t>(*v)) : std::nullopt;
        };
        limits[i] = {.warn_upper = read("_WARN_THD_UPPER"),
                     .warn_lower = read("_WARN_THD_LOWER"),
                     .crit_upper = read("_CRIT_THD_UPPER"),
                     .crit_lower = read("_CRIT_THD_LOWER")};
    }
    return limits;
}

} // namespace quavsim

namespace quavsim::plot {

std::vector<Panel> PanelSettings(const std::vector<TraceRow>& trace, const PlotOptions& options)
{
    const bool plant = std::any_of(trace.begin(), trace.end(), [](const TraceRow& r) { return r.heat; });
    std::vector<Panel> panels;
    Panel temperature{.label = "Temperature (&#176;C)", .height = 210};
    temperature.series = Readings(quavtools::PlotPanel::Temperature, options.limits, &temperature.limits);
    if (plant) {
        temperature.series.push_back(
            {.name = "ambient", .colour = "#6b7280", .quantity = Quantity::Ambient, .dash = "6 3"});
    }
    panels.push_back(std::move(temperature));
    if (plant) {
        panels.push_back(
            {.label = "Heat load (W)",
             .height = 80,
             .series = {{.name = "heat load", .colour = "#b45309", .quantity = Quantity::Heat}}});
    }
    if (options.fan_rpm) {
        Panel speed{.label = "Fan speed (RPM)", .height = 130};
        speed.series = Readings(quavtools::PlotPanel::FanSpeed, options.limits, &speed.limits);
        panels.push_back(std::move(speed));
    }
    Panel rails{.label = "Rails (% off nominal)", .height = 130};
    rails.series = Readings(quavtools::PlotPanel::Voltage, options.limits, &rails.limits);
    panels.push_back(std::move(rails));
    panels.push_back(
        {.label = "Fan stage",
         .height = 120,
         .steps = true,
         .series = FanOutputs(Quantity::Stage),
         .fixed = Panel::Fixed{.lo = -0.5, .hi = 9.5, .tick_lo = 0, .tick_hi = 9, .tick_step = 1}});
    // The duty the chip holds, and dashed over it the published value wherever the two differ (after a
    // user's set-pwm, until the driver's fan control writes the chip again).
    static const std::array<std::string, quavtools::kFanCount> kPublished = [] {
        std::array<std::string, quavtools::kFanCount> names;
        for (size_t fan = 0; fan < names.size(); fan++) {
            names[fan] = std::string(quavtools::kSensors[quavtools::FanSensor(static_cast<int>(fan))].name) +
                         " published";
        }
        return names;
    }();
    std::vector<Series> pwm = FanOutputs(Quantity::ChipPwm);
    for (Series& s : FanOutputs(Quantity::PwmApart, "4 3")) {
        s.name = kPublished[s.index].c_str();
        pwm.push_back(s);
    }
    panels.push_back(
        {.label = "PWM (chip; dashed: published)",
         .height = 120,
         .steps = true,
         .series = std::move(pwm),
         .fixed = Panel::Fixed{.lo = -8, .hi = 263, .tick_lo = 0, .tick_hi = 250, .tick_step = 50}});
    return panels;
}

void FitY(Panel& panel, const std::vector<TraceRow>& trace)
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
    auto take = [&](double v) {
        low = std::min(low.value_or(v), v);
        high = std::max(high.value_or(v), v);
    };
    for (const TraceRow& row : trace) {
        for (const Series& s : panel.series) {
            if (const std::optional<double> v = Value(row, s)) {
                take(*v);
            }
        }
    }
    for (const LimitLine& l : panel.limits) {
        if (!l.critical) {
            take(l.value);
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
    std::erase_if(panel.limits, [&](const LimitLine& l) {
        return l.value < panel.tick_lo - margin || l.value > panel.tick_hi + margin;
    });
}

} // namespace quavsim::plot
