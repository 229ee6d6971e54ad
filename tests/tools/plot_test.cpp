// The SVG plot of a run: panels of series on one time axis, event markers, decimation of long runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <set>
#include <sstream>

#include "plot.h"

namespace {

using quavsim::PlotSvg;
using quavsim::TraceRow;

// "" when the tags nest and close, there is one root and every entity is known; else what is wrong.
std::string CheckXml(const std::string& text)
{
    constexpr size_t npos = std::string::npos;
    auto entity_at = [&text](size_t i) -> std::string { // "" for a known entity at the '&' at i
        static const std::set<std::string> known{"amp", "lt", "gt", "quot", "apos"};
        const size_t end = text.find(';', i);
        const std::string name = text.substr(i + 1, end == npos ? 0 : end - i - 1);
        const bool numeric =
            name.size() > 1 && name[0] == '#' && name.find_first_not_of("0123456789", 1) == npos;
        return end == npos                    ? "unterminated entity"
               : known.count(name) || numeric ? ""
                                              : "unknown entity &" + name + ";";
    };
    std::vector<std::string> open;
    bool root_closed = false;
    for (size_t i = 0; i < text.size(); i++) {
        std::string error;
        if (text[i] == '&') {
            error = entity_at(i);
        } else if (text[i] == '>') {
            error = "unescaped > in text";
        } else if (text[i] != '<') {
            error = open.empty() && !std::isspace(static_cast<unsigned char>(text[i]))
                        ? "text outside the root"
                        : "";
        } else if (text.compare(i, 2, "<?") == 0) {
            i = text.find("?>", i);
            error = i == npos ? "unterminated <?" : "";
            i++;
        } else {
            size_t j = i + 1;
            for (char quote = 0; error.empty() && j < text.size() && (quote != 0 || text[j] != '>'); j++) {
                if (text[j] == '<') {
                    error = "< inside a tag";
                } else if (quote != 0 && text[j] == '&') {
                    error = entity_at(j);
                } else if (quote != 0 && text[j] == quote) {
                    quote = 0;
                } else if (quote == 0 && (text[j] == '"' || text[j] == '\'')) {
                    quote = text[j];
                }
            }
            const std::string tag = j < text.size() ? text.substr(i + 1, j - i - 1) : "";
            i = j;
            if (!error.empty() || tag.empty()) {
                error = error.empty() ? "unterminated tag" : error;
            } else if (tag[0] == '/' && (open.empty() || open.back() != tag.substr(1))) {
                error = "</" + tag.substr(1) + "> closes the wrong tag";
            } else if (tag[0] == '/') {
                open.pop_back();
                root_closed = open.empty();
            } else if (root_closed || (open.empty() && !tag.starts_with("svg"))) {
                error = "a second root or one that is not <svg>";
            } else if (tag.back() != '/') {
                open.push_back(tag.substr(0, tag.find_first_of(" \n/")));
            }
        }
        if (!error.empty()) {
            return error;
        }
    }
    return open.empty() ? (root_closed ? "" : "no root") : "<" + open.back() + "> not closed";
}

// The d of each series path named `name`, in the order of the panels.
std::vector<std::string> Paths(const std::string& svg, const std::string& name)
{
    std::vector<std::string> paths;
    const std::string title = "<title>" + name + "</title></path>";
    for (size_t at = svg.find(title); at != std::string::npos; at = svg.find(title, at + 1)) {
        const size_t start = svg.rfind("<path class=\"series\"", at);
        const size_t d = svg.find(" d=\"", start) + 4;
        paths.push_back(svg.substr(d, svg.find('"', d) - d));
    }
    return paths;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        n++;
    }
    return n;
}

// The y of every point of a path of M, L and h commands.
std::vector<double> Ys(const std::string& d)
{
    std::vector<double> ys;
    std::istringstream in(d);
    char command = 0;
    while (in >> std::ws && in.peek() != EOF) {
        if (std::isalpha(in.peek())) {
            command = static_cast<char>(in.get());
        }
        double x = 0;
        double y = 0;
        if (command == 'h') {
            in >> x;
        } else if (in >> x >> y) {
            ys.push_back(y);
        }
        if (!in) {
            ADD_FAILURE() << "cannot read the path " << d;
            break;
        }
    }
    return ys;
}

TraceRow Row(double seconds, int cpu = 45, uint32_t stage = 3)
{
    TraceRow row;
    row.time = static_cast<sim::Ticks>(seconds * sim::kTicksPerSecond);
    row.readings = {2400, 2250, cpu, 36, 31, 44, 1200, 1808, 3296, 4999, 12032, 4999};
    row.stage = {stage, stage};
    row.pwm = {0x30 + stage * 0x14, 0x30 + stage * 0x14};
    row.chip_pwm = row.pwm;
    return row;
}

sim::EventRecord Event(double seconds, sim::EventSeverity severity, std::string message)
{
    sim::EventRecord e;
    e.time = static_cast<sim::Ticks>(seconds * sim::kTicksPerSecond);
    e.severity = severity;
    e.event_id = 7;
    e.message = std::move(message);
    return e;
}

TEST(Plot, TheCheckerCatchesBrokenMarkup)
{
    EXPECT_EQ(CheckXml("<?xml?><svg a=\"&amp;\"><g/><t>x &lt;</t></svg>"), "");
    for (const char* bad :
         {"<svg><g></svg>", "<svg><t>a < b</t></svg>", "<svg><t>a & b</t></svg>", "<svg t=\"a & b\"></svg>",
          "<svg></svg><svg></svg>", "<svg><g</svg>", "x<svg></svg>", "<svg>", "<g></g>",
          "<svg t=\"&foo;\"></svg>", "<svg></g>", "<svg a=\"b></svg>"}) {
        EXPECT_NE(CheckXml(bad), "") << bad;
    }
}

TEST(Plot, EachSeriesIsDrawnInItsPanel)
{
    std::vector<TraceRow> trace;
    for (int i = 0; i < 60; i++) {
        trace.push_back(Row(2.5 + 5 * i, 40 + i / 10, static_cast<uint32_t>(i / 10)));
    }
    const std::string svg = PlotSvg(trace, {});
    ASSERT_EQ(CheckXml(svg), "");
    for (const char* name : {"CPU", "System", "Backplane", "VRM"}) {
        EXPECT_EQ(Paths(svg, name).size(), 1u) << name;
    }
    // Speed, stage and PWM of each fan; without the speeds, stage and PWM only.
    ASSERT_EQ(Paths(svg, "Rear Upper").size(), 3u);
    ASSERT_EQ(Paths(svg, "Rear Bottom").size(), 3u);
    EXPECT_EQ(Paths(PlotSvg(trace, {}, {.fan_rpm = false}), "Rear Upper").size(), 2u);

    // The stage steps up five times, each a vertical in the step line; the CPU's line keeps the ends
    // and corners of its six levels, no point of their insides.
    const std::string stage = Paths(svg, "Rear Upper")[1];
    EXPECT_EQ(Count(stage, "V"), 5u) << stage;
    EXPECT_EQ(Count(stage, "M"), 1u);
    EXPECT_EQ(Ys(Paths(svg, "CPU")[0]).size(), 12u) << Paths(svg, "CPU")[0];
    EXPECT_NE(svg.find(">time since boot (min)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">Temperature (&#176;C)</text>"), std::string::npos);
}

TEST(Plot, AMissingReadingBreaksItsLine)
{
    std::vector<TraceRow> trace;
    for (int i = 0; i < 30; i++) {
        trace.push_back(Row(5.0 * i, 40 + i % 3));
        trace.back().readings[5].reset(); // VRM never read
    }
    trace[10].readings[2].reset();
    trace[12].readings[2].reset();
    trace[20].stage[1].reset();
    const std::string svg = PlotSvg(trace, {});
    ASSERT_EQ(CheckXml(svg), "");
    // CPU: before 10, the lone reading of 11 as a dot, after 12.
    const std::string cpu = Paths(svg, "CPU")[0];
    EXPECT_EQ(Count(cpu, "M"), 3u) << cpu;
    EXPECT_EQ(Count(cpu, "h0"), 1u);
    EXPECT_EQ(Count(Paths(svg, "System")[0], "M"), 1u);
    EXPECT_TRUE(Paths(svg, "VRM").empty());
    EXPECT_EQ(Count(Paths(svg, "Rear Bottom")[1], "M"), 2u);
    EXPECT_EQ(Count(Paths(svg, "Rear Upper")[1], "M"), 1u);
}

TEST(Plot, EventsAreMarkedBySeverityWithEscapedMessages)
{
    const std::vector<TraceRow> trace = {Row(2.5), Row(7.5), Row(12.5)};
    const std::vector<sim::EventRecord> events = {
        Event(0, sim::EventSeverity::Informational, "started\r\n"),
        Event(6, sim::EventSeverity::Warning, "fan <Rear Upper> & \"stalled\"\r\n"),
        Event(14, sim::EventSeverity::Error, "too hot\r\n"),
    };
    const std::string svg = PlotSvg(trace, events, {.title = "run <1> & 'two'"});
    ASSERT_EQ(CheckXml(svg), "");
    EXPECT_EQ(Count(svg, "<rect class=\"ev0\""), 1u);
    EXPECT_EQ(Count(svg, "<rect class=\"ev1\""), 1u);
    EXPECT_EQ(Count(svg, "<rect class=\"ev2\""), 1u);
    EXPECT_NE(
        svg.find("<title>0:00:06.000 warning 7: fan &lt;Rear Upper&gt; &amp; &quot;stalled&quot;</title>"),
        std::string::npos);
    EXPECT_NE(svg.find("<title>0:00:14.000 error 7: too hot</title>"), std::string::npos);
    EXPECT_NE(svg.find("run &lt;1&gt; &amp; &apos;two&apos;"), std::string::npos);
    // A line across the panels for each.
    for (const char* mark : {"class=\"mark ev0\"", "class=\"mark ev1\"", "class=\"mark ev2\""}) {
        EXPECT_NE(svg.find(mark), std::string::npos) << mark;
    }
    EXPECT_NE(svg.find("events: 1 informational, 1 warning, 1 error"), std::string::npos);
}

// A day at 5 s with noisy temperatures, a fan stage that flips every sample, one CPU spike and a flurry
// of events: the file stays small and the spike and the lone error among the flurry survive.
TEST(Plot, ADayStaysSmallAndKeepsItsExtremes)
{
    std::mt19937 random(7);
    std::vector<TraceRow> trace;
    std::vector<sim::EventRecord> events;
    for (int i = 0; i < 17280; i++) {
        TraceRow row = Row(2.5 + 5 * i, 40 + static_cast<int>(random() % 11), 3 + i % 2);
        row.readings[3] = 40 + static_cast<int>(random() % 11);
        row.readings[0] = 2300 + static_cast<int>(random() % 200);
        trace.push_back(row);
        events.push_back(Event(5.0 * i, sim::EventSeverity::Informational, "tick " + std::to_string(i)));
    }
    trace[9000].readings[2] = 90;
    events.push_back(Event(5.0 * 9000 + 1, sim::EventSeverity::Error, "the one error"));

    const std::string svg = PlotSvg(trace, events);
    ASSERT_EQ(CheckXml(svg), "");
    EXPECT_LT(svg.size(), 400u * 1024);
    EXPECT_NE(svg.find(">time since boot (h)</text>"), std::string::npos);

    // The System line spans 40..50; the CPU's spike to 90 must reach four times that height above it.
    const std::vector<double> cpu = Ys(Paths(svg, "CPU")[0]);
    const std::vector<double> system = Ys(Paths(svg, "System")[0]);
    const auto [system_top, system_bottom] = std::minmax_element(system.begin(), system.end());
    const double ten_degrees = *system_bottom - *system_top;
    ASSERT_GT(ten_degrees, 10);
    EXPECT_LT(*std::min_element(cpu.begin(), cpu.end()), *system_top - 3.5 * ten_degrees);
    EXPECT_LT(cpu.size(), 5000u);

    // The flipping stage: a vertical per pixel column, not per sample.
    EXPECT_LT(Paths(svg, "Rear Upper")[1].size(), 30000u);

    // The flurry stays in the lane; the error is also marked across the panels.
    EXPECT_EQ(svg.find("class=\"mark ev2\""), std::string::npos);
    EXPECT_NE(svg.find("class=\"mark ev0\""), std::string::npos);
    EXPECT_EQ(Count(svg, "<rect class=\"ev0\""), 1u);
    EXPECT_NE(svg.find("the one error"), std::string::npos);
    EXPECT_LT(Count(svg, "<rect class=\"ev2\""), 600u);
}

// What the plot tells besides the readings: the rails against their limits, the plant, the duty the chip
// holds where the driver publishes another, the device's state, the faults and the actions.
TEST(Plot, LimitsPlantStatesAndMarksAreDrawn)
{
    std::vector<TraceRow> trace;
    for (int i = 0; i < 40; i++) {
        trace.push_back(Row(5.0 * i));
        trace.back().ambient = 25;
        trace.back().heat = 60 + i;
    }
    trace[5].readings[10] = 11000; // the 12V rail sags 8.3 %
    trace[10].chip_pwm[0] = 0;     // a user's set-pwm, before the driver's next write
    trace[20].device = trace[21].device = sim::PnpState::Stopped;
    for (size_t i = 30; i < trace.size(); i++) {
        trace[i].device = sim::PnpState::Removed;
        trace[i].readings = {};
        trace[i].stage = {};
        trace[i].pwm = {};
    }
    quavsim::PlotOptions options;
    options.limits[2] = {.warn_upper = 70, .warn_lower = 5, .crit_upper = 85, .crit_lower = 0};
    options.limits[10] = {.warn_upper = 12600, .warn_lower = 11400, .crit_upper = 13200, .crit_lower = 10800};
    options.faults = {{sim::Seconds(50), "controller-busy 3 busy reads"}};
    options.actions = {{sim::Seconds(52), "/actions/0 set-pwm: STATUS_SUCCESS, Rear Upper PWM 0"}};
    const std::string svg = PlotSvg(trace, {}, options);
    ASSERT_EQ(CheckXml(svg), "");
    const struct {
        const char* text;
        size_t count;
    } cases[] = {
        {"<title>12V</title></path>", 1},
        {"<title>CPU warning upper 70 degC</title>", 1},
        {"<title>CPU critical lower 0 degC</title>", 1},
        {"<title>CPU critical upper 85 degC</title>", 0},  // far above the readings and the warnings
        {"<title>12V critical lower 10800 mV</title>", 1}, // -10 %: the sag comes near it
        {"<title>12V critical upper 13200 mV</title>", 0},
        {"<title>ambient</title></path>", 1},
        {"<title>heat load</title></path>", 1},
        {"<title>Rear Upper published</title></path>", 1},
        {"<title>Rear Bottom published</title></path>", 0}, // the chip holds what the driver published
        {"<title>device stopped from 0:01:40.000 to 0:01:50.000</title>", 1},
        {"<title>device removed from 0:02:30.000 to the end</title>", 1},
        {"<title>0:00:50.000 controller-busy 3 busy reads</title>", 1},
        {"<title>0:00:52.000 /actions/0 set-pwm: STATUS_SUCCESS, Rear Upper PWM 0</title>", 1},
        {"class=\"mark ev3\"", 1},
        {"class=\"mark ev4\"", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Count(svg, c.text), c.count) << c.text;
    }
    // The chip's duty goes on through the removal.
    EXPECT_EQ(Count(Paths(svg, "Rear Upper")[2], "M"), 1u);
}

TEST(Plot, AnEmptyTraceSaysSo)
{
    const std::string svg = PlotSvg({}, {Event(0, sim::EventSeverity::Informational, "started")});
    EXPECT_EQ(CheckXml(svg), "");
    EXPECT_NE(svg.find("no data"), std::string::npos);
    EXPECT_EQ(svg.find("<path"), std::string::npos);
}

} // namespace
