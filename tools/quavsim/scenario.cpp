#include "scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "actions.h"
#include "scenario_board.h"
#include "scenario_reader.h"
#include "sensors.h"
#include "simulation.h"
#include "status_names.h"

namespace quavsim {

namespace {

using nlohmann::json;

// The range each sensor's engineering value may take on the board's inputs.
struct ValueRange {
    double low;
    double high;
};

ValueRange SensorRange(int index)
{
    switch (quavtools::kSensors[static_cast<size_t>(index)].Kind()) {
        case quavtools::SensorKind::Fan:
            return {0, 1e6}; // RPM
        case quavtools::SensorKind::Temperature:
            return {-127, 127}; // degrees C
        case quavtools::SensorKind::Voltage:
            break;
    }
    return {0, 20000}; // mV
}

void ReadSensors(const ScenarioReader& r, const json& doc, Scenario& s)
{
    if (!doc.is_object()) {
        r.Fail("/sensors", "expected an object of sensor name to timeline");
    }
    for (const auto& [name, timeline] : doc.items()) {
        const std::string where = ScenarioReader::Join("/sensors", name);
        const int index = r.SensorIndex(name, where);
        Timeline t = r.ReadTimeline(timeline, where);
        const ValueRange range = SensorRange(index);
        for (size_t i = 0; i < t.points.size(); i++) {
            if (t.points[i].value < range.low || t.points[i].value > range.high) {
                std::ostringstream what;
                what << "out of range " << range.low << ".." << range.high;
                r.Fail(ScenarioReader::Join(ScenarioReader::Join(where, i), "value"), what.str());
            }
        }
        s.sensors[index] = std::move(t);
    }
}

void ReadRegisters(const ScenarioReader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/registers", "expected a list");
    }
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = ScenarioReader::Join("/registers", i);
        const json& w = doc[i];
        r.Keys(w, where, {"at", "chip", "register", "value"});
        RegisterWrite write;
        write.at = r.Time(r.Required(w, where, "at"), ScenarioReader::Join(where, "at"));
        const std::string chip = r.String(r.Required(w, where, "chip"), ScenarioReader::Join(where, "chip"));
        if (chip == "superio") {
            write.chip = Chip::SuperIo;
        } else if (chip == "smbus-sensor") {
            write.chip = Chip::SmbusSensor;
        } else {
            r.Fail(ScenarioReader::Join(where, "chip"), "expected \"superio\" or \"smbus-sensor\"");
        }
        write.reg = static_cast<uint8_t>(
            r.Integer(r.Required(w, where, "register"), ScenarioReader::Join(where, "register"), 0, 255));
        write.value = static_cast<uint8_t>(
            r.Integer(r.Required(w, where, "value"), ScenarioReader::Join(where, "value"), 0, 255));
        s.registers.push_back(write);
    }
}

void ReadFaults(const ScenarioReader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/faults", "expected a list");
    }
    static const std::map<std::string, FaultKind> kinds = {
        {"controller-busy", FaultKind::ControllerBusy}, {"smbus-hang", FaultKind::SmbusHang},
        {"smbus-collision", FaultKind::SmbusCollision}, {"smbus-arbitration", FaultKind::SmbusArbitration},
        {"sensor-absent", FaultKind::SensorAbsent},
    };
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = ScenarioReader::Join("/faults", i);
        const json& f = doc[i];
        r.Keys(f, where, {"at", "fault", "count", "for"});
        Fault fault;
        fault.where = where;
        fault.at = r.Time(r.Required(f, where, "at"), ScenarioReader::Join(where, "at"));
        const std::string kind =
            r.String(r.Required(f, where, "fault"), ScenarioReader::Join(where, "fault"));
        auto it = kinds.find(kind);
        if (it == kinds.end()) {
            r.Fail(ScenarioReader::Join(where, "fault"),
                   "no fault \"" + kind +
                       "\" (expected controller-busy, smbus-hang, smbus-collision, smbus-arbitration or "
                       "sensor-absent)");
        }
        fault.kind = it->second;
        if (f.contains("count")) {
            if (fault.kind == FaultKind::SensorAbsent) {
                r.Fail(ScenarioReader::Join(where, "count"),
                       "an absent sensor lasts a time (\"for\"), not a count");
            }
            fault.count =
                static_cast<int>(r.Integer(f["count"], ScenarioReader::Join(where, "count"), 1, 1000000));
        }
        if (f.contains("for")) {
            if (fault.count) {
                r.Fail(ScenarioReader::Join(where, "for"), "give \"count\" or \"for\", not both");
            }
            fault.duration = r.Time(f["for"], ScenarioReader::Join(where, "for"));
        }
        s.faults.push_back(fault);
    }
}

uint32_t Status(const ScenarioReader& r, const json& value, const std::string& where)
{
    if (value.is_string()) {
        if (auto status = quavtools::StatusFromName(value.get<std::string>())) {
            return *status;
        }
        if (value.get<std::string>().rfind("STATUS_", 0) == 0) {
            r.Fail(where, "unknown status name \"" + value.get<std::string>() + "\"");
        }
    }
    return static_cast<uint32_t>(r.Integer(value, where, 0, 0xFFFFFFFFLL));
}

void ReadActions(const ScenarioReader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/actions", "expected a list");
    }
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = ScenarioReader::Join("/actions", i);
        const json& a = doc[i];
        if (!a.is_object()) {
            r.Fail(where, "expected an object");
        }
        Action action;
        action.where = where;
        action.at = r.Time(r.Required(a, where, "at"), ScenarioReader::Join(where, "at"));
        ReadActionKind(r, a, where, action);
        if (a.contains("repeat")) {
            action.repeat =
                static_cast<int>(r.Integer(a["repeat"], ScenarioReader::Join(where, "repeat"), 1, 1000000));
            if (action.repeat > 1) {
                action.every = r.Time(r.Required(a, where, "every"), ScenarioReader::Join(where, "every"));
                if (action.every <= 0) {
                    r.Fail(ScenarioReader::Join(where, "every"), "must be more than 0");
                }
            }
        }
        if (a.contains("expect")) {
            action.expect = Status(r, a["expect"], ScenarioReader::Join(where, "expect"));
        }
        s.actions.push_back(std::move(action));
    }
    CheckHandles(r, s.actions);
}

void ReadPlant(const ScenarioReader& r, const json& p, Scenario& s)
{
    r.Keys(p, "/plant", {"ambient", "heat", "idle_rpm", "max_rpm", "spin_time", "natural", "forced", "step"});
    PlantOptions plant;
    plant.ambient = r.ReadTimeline(r.Required(p, "/plant", "ambient"), "/plant/ambient");
    plant.heat = r.ReadTimeline(r.Required(p, "/plant", "heat"), "/plant/heat");
    for (size_t i = 0; i < plant.heat.points.size(); i++) {
        if (plant.heat.points[i].value < 0) {
            r.Fail("/plant/heat/" + std::to_string(i) + "/value", "a heat load is 0 W or more");
        }
    }
    auto positive = [&](const char* key, double& out) {
        if (p.contains(key)) {
            out = r.Number(p[key], ScenarioReader::Join("/plant", key));
            if (!(out > 0)) {
                r.Fail(ScenarioReader::Join("/plant", key), "must be more than 0");
            }
        }
    };
    positive("idle_rpm", plant.idle_rpm);
    positive("max_rpm", plant.max_rpm);
    positive("spin_time", plant.spin_time);
    positive("natural", plant.natural);
    positive("forced", plant.forced);
    if (plant.idle_rpm >= plant.max_rpm) {
        r.Fail("/plant/idle_rpm", "must be below max_rpm");
    }
    if (p.contains("step")) {
        plant.step = r.Time(p["step"], "/plant/step");
        if (plant.step < sim::Ms(10) || plant.step > sim::Seconds(60)) {
            r.Fail("/plant/step", "expected 0.01 to 60 seconds");
        }
    }
    s.plant = std::move(plant);
}

// Anything scheduled after the end would silently never happen.
void CheckInRun(const ScenarioReader& r, const Scenario& s)
{
    auto check_in_run = [&](sim::Ticks at, const std::string& where) {
        if (at > s.duration) {
            r.Fail(where + "/at", "after the end of the run (duration " + sim::FormatTicks(s.duration) + ")");
        }
    };
    auto timeline_in_run = [&](const Timeline& timeline, const std::string& where) {
        for (size_t i = 0; i < timeline.points.size(); i++) {
            check_in_run(timeline.points[i].at, ScenarioReader::Join(where, i));
        }
    };
    for (const auto& [index, timeline] : s.sensors) {
        timeline_in_run(
            timeline, ScenarioReader::Join("/sensors", quavtools::kSensors[static_cast<size_t>(index)].name));
    }
    if (s.plant) {
        timeline_in_run(s.plant->ambient, "/plant/ambient");
        timeline_in_run(s.plant->heat, "/plant/heat");
    }
    for (const Fault& f : s.faults) {
        check_in_run(f.at, f.where);
    }
    for (const Action& a : s.actions) {
        check_in_run(a.at, a.where);
    }
    for (size_t i = 0; i < s.registers.size(); i++) {
        check_in_run(s.registers[i].at, "/registers/" + std::to_string(i));
    }
}

// The length of the decimal number at `i` ("90", "2.5", "1e3"; no sign, no hexadecimal, no "inf"), 0 when
// there is none.
size_t DecimalLength(const std::string& text, size_t i)
{
    auto digits = [&text](size_t from) {
        while (from < text.size() && std::isdigit(static_cast<unsigned char>(text[from]))) {
            from++;
        }
        return from;
    };
    size_t end = digits(i);
    if (end == i) {
        return 0;
    }
    if (end < text.size() && text[end] == '.') {
        end = digits(end + 1);
    }
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        size_t exponent = end + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) {
            exponent++;
        }
        if (digits(exponent) > exponent) {
            end = digits(exponent);
        }
    }
    return end - i;
}

// Where the JSON parser stopped: nlohmann places a syntax error in its message but not a number too
// large for a double, which it reports by another exception; this reads the document again to find it.
class ErrorPlace : public json::json_sax_t {
public:
    size_t position = 0;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(size_t at, const std::string&, const nlohmann::detail::exception&) override
    {
        position = at;
        return false;
    }
};

// The document, or a ScenarioError saying where the text is not JSON.
json ParseDocument(const std::string& text, const std::string& origin)
{
    try {
        return json::parse(text);
    } catch (const json::parse_error& e) {
        // The library's text says where: "[json.exception.parse_error.101] parse error at line 3, ...".
        std::string what = e.what();
        what = what.substr(what.find(']') + 2);
        throw ScenarioError(origin + ": not valid JSON: " + what);
    } catch (const json::exception& e) {
        // A number beyond a double's range ("1e400"): "number overflow parsing '1e400'".
        ErrorPlace place;
        json::sax_parse(text, &place);
        const size_t line =
            1 + static_cast<size_t>(
                    std::count(text.begin(), text.begin() + std::min(place.position, text.size()), '\n'));
        std::string what = e.what();
        what = what.substr(what.find(']') + 2);
        throw ScenarioError(origin + ": not valid JSON: at line " + std::to_string(line) + ": " + what);
    }
}

} // namespace

double Timeline::At(sim::Ticks time) const
{
    auto after = std::upper_bound(points.begin(), points.end(), time,
                                  [](sim::Ticks t, const TimelinePoint& p) { return t < p.at; });
    if (after == points.begin()) {
        return points.front().value;
    }
    const TimelinePoint& before = *(after - 1);
    if (after != points.end() && after->ramp && after->at > before.at) {
        const double f = static_cast<double>(time - before.at) / static_cast<double>(after->at - before.at);
        return before.value + f * (after->value - before.value);
    }
    return before.value;
}

bool Timeline::RampsWithin(sim::Ticks from, sim::Ticks to) const
{
    for (size_t i = 1; i < points.size(); i++) {
        if (points[i].ramp && points[i].at > from && points[i - 1].at < to &&
            points[i].value != points[i - 1].value) {
            return true;
        }
    }
    return false;
}

std::optional<sim::Ticks> ParseDuration(const std::string& text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    double total = 0;
    size_t i = 0;
    bool unitless = true;
    while (i < text.size()) {
        const size_t length = DecimalLength(text, i);
        if (length == 0) {
            return std::nullopt;
        }
        // Out of range the conversion gives infinity (or 0 below the smallest double): the end refuses it.
        const double n = std::strtod(text.substr(i, length).c_str(), nullptr);
        i += length;
        if (i == text.size()) {
            if (!unitless) {
                return std::nullopt; // "1h30" is ambiguous
            }
            total += n;
            break;
        }
        unitless = false;
        const char unit = text[i++];
        if (unit != 'h' && unit != 'm' && unit != 's') {
            return std::nullopt;
        }
        total += n * (unit == 'h' ? 3600 : unit == 'm' ? 60 : 1);
    }
    if (!std::isfinite(total) || total >= 1e9) {
        return std::nullopt;
    }
    return static_cast<sim::Ticks>(std::llround(total * sim::kTicksPerSecond));
}

const char* FaultName(FaultKind kind)
{
    switch (kind) {
        case FaultKind::ControllerBusy:
            return "controller-busy";
        case FaultKind::SmbusHang:
            return "smbus-hang";
        case FaultKind::SmbusCollision:
            return "smbus-collision";
        case FaultKind::SmbusArbitration:
            return "smbus-arbitration";
        case FaultKind::SensorAbsent:
            return "sensor-absent";
    }
    return "?";
}

Scenario ParseScenario(const std::string& text, const std::string& origin)
{
    Scenario s;
    s.origin = origin;
    const ScenarioReader r(s);
    json doc = ParseDocument(text, origin);
    r.Keys(doc, "",
           {"description", "duration", "sample", "seed", "config", "sensors", "registers", "faults",
            "actions", "plant", "board", "start"});
    if (doc.contains("description")) {
        s.description = r.String(doc["description"], "/description");
    }
    s.duration = r.Time(r.Required(doc, "", "duration"), "/duration");
    if (s.duration <= 0) {
        r.Fail("/duration", "must be more than 0");
    }
    if (doc.contains("sample")) {
        s.sample = r.Time(doc["sample"], "/sample");
        if (s.sample < sim::Ms(100)) {
            r.Fail("/sample", "expected 0.1 seconds or more");
        }
    }
    if (doc.contains("seed")) {
        s.seed = static_cast<uint64_t>(r.Integer(doc["seed"], "/seed", 0, INT64_MAX));
    }
    if (doc.contains("config")) {
        std::filesystem::path path = r.String(doc["config"], "/config");
        if (path.is_relative()) {
            path = std::filesystem::path(origin).parent_path() / path;
        }
        if (!std::filesystem::is_regular_file(path)) {
            r.Fail("/config", "no such file " + path.string());
        }
        s.config = path.lexically_normal().string();
    }
    if (doc.contains("sensors")) {
        ReadSensors(r, doc["sensors"], s);
    }
    if (doc.contains("registers")) {
        ReadRegisters(r, doc["registers"], s);
    }
    if (doc.contains("faults")) {
        ReadFaults(r, doc["faults"], s);
    }
    if (doc.contains("actions")) {
        ReadActions(r, doc["actions"], s);
    }
    if (doc.contains("plant")) {
        ReadPlant(r, doc["plant"], s);
    }
    if (doc.contains("board")) {
        ReadBoard(r, doc["board"], s);
        CheckBoardChips(r, s);
    }
    if (doc.contains("start")) {
        s.start = Status(r, doc["start"], "/start");
    }
    CheckInRun(r, s);
    return s;
}

Scenario LoadScenario(const std::string& path)
{
    std::string text;
    try {
        text = ReadTextFile(path);
    } catch (const std::runtime_error&) {
        throw ScenarioError(path + ": cannot read");
    }
    return ParseScenario(text, path);
}

} // namespace quavsim
