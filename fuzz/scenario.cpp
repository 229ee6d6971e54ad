// Scenario JSON as `quavsim run` reads it: any bytes are either refused with a ScenarioError naming the
// file and the place (the parser's line, or a JSON pointer into the document), or accepted as a scenario
// that can run as written: everything scheduled within the run, every count and size within its bound,
// every name resolved. Every string of the document is also read as a time, which is either one of the
// documented forms below 10^9 s or refused.
//
// Accepted scenarios are not run: a run needs a machine of the scenario's own board and configuration,
// booted afresh (tens of milliseconds each), which would slow the target a hundredfold.
#include <cmath>
#include <cstdint>
#include <regex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "actions.h"
#include "scenario.h"
#include "sensors.h"
#include "tool_harness.h"

namespace {

using fuzztools::Require;
using nlohmann::json;

// Beside the examples, so that their relative "config" paths resolve.
constexpr const char* kOrigin = QUAV_SCENARIO_ORIGIN;
constexpr sim::Ticks kLongest = static_cast<sim::Ticks>(1e9) * sim::kTicksPerSecond;

// "1h30m", "90s", "2.5m", "1e3s": decimal numbers each with a unit, or one number of seconds.
void CheckTime(const std::string& text)
{
    if (text.size() > 40) {
        return;
    }
    static const std::regex kForm(
        R"((([0-9]+(\.[0-9]*)?([eE][-+]?[0-9]+)?)[hms])+|[0-9]+(\.[0-9]*)?([eE][-+]?[0-9]+)?)");
    const std::optional<sim::Ticks> t = quavsim::ParseDuration(text);
    if (t) {
        Require(std::regex_match(text, kForm), "an accepted time has a documented form", text);
        Require(*t >= 0 && *t < kLongest, "an accepted time is from 0 to 10^9 s", text);
    }
}

void CheckStrings(const json& value)
{
    if (value.is_string()) {
        CheckTime(value.get<std::string>());
    }
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            CheckTime(key);
            CheckStrings(member);
        }
    }
    if (value.is_array()) {
        for (const json& element : value) {
            CheckStrings(element);
        }
    }
}

bool Resolves(const json& doc, const std::string& pointer)
{
    try {
        return doc.contains(json::json_pointer(pointer));
    } catch (const json::exception&) {
        return false;
    }
}

// "<file>: /faults/2/for: expected a time ...": the pointer names a place of the document, or a missing
// member of an object of it. A key may hold ": ", so every split is tried.
void CheckRefusal(const std::string& input, const std::string& message)
{
    const std::string prefix = std::string(kOrigin) + ": ";
    Require(message.rfind(prefix, 0) == 0, "a refusal names the file", message);
    const std::string rest = message.substr(prefix.size());
    if (!json::accept(input)) {
        Require(rest.rfind("not valid JSON: ", 0) == 0, "a document that is no JSON is refused as such",
                message);
        return;
    }
    const json doc = json::parse(input);
    for (size_t colon = rest.find(": "); colon != std::string::npos; colon = rest.find(": ", colon + 1)) {
        const std::string pointer = rest.substr(0, colon);
        if (pointer == "/" || Resolves(doc, pointer)) {
            return;
        }
        const size_t slash = pointer.rfind('/');
        if (slash != std::string::npos && slash > 0 && Resolves(doc, pointer.substr(0, slash)) &&
            doc[json::json_pointer(pointer.substr(0, slash))].is_object()) {
            return;
        }
    }
    fuzztools::Broken("a refusal names a place of the document", message + "\n" + input);
}

void CheckTimeline(const quavsim::Timeline& t, const std::string& what)
{
    Require(!t.points.empty(), "a timeline has a point", what);
    Require(!t.points.front().ramp, "a timeline's first point does not ramp", what);
    for (size_t i = 0; i < t.points.size(); i++) {
        Require(std::isfinite(t.points[i].value), "a timeline's values are finite", what);
        Require(t.points[i].at >= 0 && t.points[i].at < kLongest, "a timeline's times are in range", what);
        Require(i == 0 || t.points[i - 1].at <= t.points[i].at, "a timeline is in time order", what);
    }
}

void CheckAction(const quavsim::Action& a, const std::set<std::string>& opened)
{
    Require(a.kind != nullptr && a.name == a.kind->name, "an action has its kind", a.where);
    Require(a.repeat >= 1 && a.repeat <= 1000000, "repeats are bounded", a.where);
    Require(a.repeat == 1 || a.every > 0, "a repeated action has a time between", a.where);
    Require(a.handle.empty() || opened.count(a.handle) != 0, "a named handle is opened", a.where);
    Require(a.output_size <= 65536 && a.input.size() <= 32768, "device-control buffers are bounded", a.where);
    if (a.name == "read-sensor" || a.name == "set-pwm") {
        Require(a.sensor >= 0 && static_cast<size_t>(a.sensor) < quavtools::kSensorCount, "a sensor exists",
                a.where);
    }
    if (a.name == "set-pwm") {
        Require(quavtools::kSensors[static_cast<size_t>(a.sensor)].IsFan() && a.value <= 255,
                "set-pwm drives a fan from 0 to 255", a.where);
    }
    if (a.name == "open") {
        Require(!a.path.empty(), "open has a path", a.where);
    }
}

void CheckScenario(const quavsim::Scenario& s)
{
    const std::string what =
        "duration " + std::to_string(s.duration) + ", sample " + std::to_string(s.sample);
    Require(s.duration > 0 && s.duration < kLongest, "the duration is more than 0 and below 10^9 s", what);
    Require(s.sample >= sim::Ms(100) && s.sample < kLongest, "the sample is 0.1 s or more", what);
    for (const auto& [index, timeline] : s.sensors) {
        Require(index >= 0 && static_cast<size_t>(index) < quavtools::kSensorCount, "a sensor exists", what);
        CheckTimeline(timeline, "sensor " + std::to_string(index));
    }
    for (const quavsim::RegisterWrite& w : s.registers) {
        Require(w.at <= s.duration, "a register write is within the run", what);
        Require(w.chip != quavsim::Chip::SuperIo || s.board.superio.has_value(), "a written chip is there",
                what);
    }
    for (const quavsim::Fault& f : s.faults) {
        Require(f.at <= s.duration, "a fault is within the run", f.where);
        Require(!(f.count && f.duration), "a fault has a count or a time, not both", f.where);
        Require(!f.count || (*f.count >= 1 && *f.count <= 1000000), "a fault's count is bounded", f.where);
        Require(!f.count || f.kind != quavsim::FaultKind::SensorAbsent, "an absent sensor has no count",
                f.where);
        Require(f.kind != quavsim::FaultKind::ControllerBusy || s.board.superio.has_value(),
                "a busy controller is there", f.where);
    }
    std::set<std::string> opened;
    for (const quavsim::Action& a : s.actions) {
        if (a.name == "open" && !a.handle.empty()) {
            opened.insert(a.handle);
        }
    }
    for (const quavsim::Action& a : s.actions) {
        Require(a.at <= s.duration, "an action is within the run", a.where);
        CheckAction(a, opened);
    }
    if (s.plant) {
        const quavsim::PlantOptions& p = *s.plant;
        CheckTimeline(p.ambient, "/plant/ambient");
        CheckTimeline(p.heat, "/plant/heat");
        Require(p.idle_rpm > 0 && p.idle_rpm < p.max_rpm && std::isfinite(p.max_rpm) && p.spin_time > 0 &&
                    p.natural > 0 && p.forced > 0,
                "the plant's constants are positive", what);
        Require(p.step >= sim::Ms(10) && p.step <= sim::Seconds(60), "the plant's step is 0.01 to 60 s",
                what);
        Require(s.board.superio.has_value(), "the plant's fans are there", what);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const json doc = json::parse(text, nullptr, false);
    if (!doc.is_discarded()) {
        CheckStrings(doc);
    }
    quavsim::Scenario scenario;
    try {
        scenario = quavsim::ParseScenario(text, kOrigin);
    } catch (const quavsim::ScenarioError& e) {
        CheckRefusal(text, e.what());
        return 0;
    }
    Require(!doc.is_discarded(), "what is accepted is JSON", text);
    CheckScenario(scenario);
    return 0;
}
