#include "scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform.h"
#include "quavpub.h"
#include "simulation.h"
#include "status_names.h"

namespace quavsim {

namespace {

using nlohmann::json;

// Walks a document keeping the JSON pointer of where it is, so that every complaint names its place.
class Reader {
public:
    Reader(const Scenario& scenario) : origin_(scenario.origin) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const
    {
        throw ScenarioError(origin_ + ": " + (where.empty() ? "/" : where) + ": " + what);
    }

    // Refuses a field not in `allowed`; `owner` ("for set-pwm") says whose fields they are.
    void Keys(const json& object, const std::string& where, const std::vector<const char*>& allowed,
              const std::string& owner = "") const
    {
        if (!object.is_object()) {
            Fail(where, "expected an object");
        }
        for (const auto& [key, value] : object.items()) {
            if (std::find_if(allowed.begin(), allowed.end(), [&](const char* k) { return key == k; }) ==
                allowed.end()) {
                Fail(Join(where, key), "unknown field" + (owner.empty() ? "" : " for " + owner) +
                                           " (expected one of: " + List(allowed) + ")");
            }
        }
    }

    // "a, b, c", each name between `quote`s.
    template <typename Names>
    static std::string List(const Names& names, const char* quote = "")
    {
        std::string list;
        for (const auto& name : names) {
            list += (list.empty() ? "" : ", ") + std::string(quote) + std::string(name) + quote;
        }
        return list;
    }

    static std::string Join(const std::string& where, const std::string& key)
    {
        std::string escaped;
        for (char c : key) {
            escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
        }
        return where + "/" + escaped;
    }
    static std::string Join(const std::string& where, size_t index)
    {
        return where + "/" + std::to_string(index);
    }

    const json& Required(const json& object, const std::string& where, const char* key) const
    {
        if (!object.contains(key)) {
            Fail(where, std::string("missing field \"") + key + "\"");
        }
        return object.at(key);
    }

    double Number(const json& value, const std::string& where) const
    {
        if (!value.is_number()) {
            Fail(where, "expected a number");
        }
        return value.get<double>();
    }

    // A whole number in [low, high], written as a number or as a "0x" hex string.
    int64_t Integer(const json& value, const std::string& where, int64_t low, int64_t high) const
    {
        int64_t n = 0;
        if (value.is_number_integer()) {
            n = value.get<int64_t>();
        } else if (value.is_string()) {
            const std::string s = value.get<std::string>();
            size_t used = 0;
            try {
                n = std::stoll(s, &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (s.empty() || used != s.size()) {
                Fail(where, "expected a whole number, got \"" + s + "\"");
            }
        } else {
            Fail(where, "expected a whole number");
        }
        if (n < low || n > high) {
            Fail(where, "out of range " + std::to_string(low) + ".." + std::to_string(high));
        }
        return n;
    }

    std::string String(const json& value, const std::string& where) const
    {
        if (!value.is_string()) {
            Fail(where, "expected a string");
        }
        return value.get<std::string>();
    }

    sim::Ticks Time(const json& value, const std::string& where) const
    {
        std::optional<sim::Ticks> t;
        if (value.is_number()) {
            const double s = value.get<double>();
            if (std::isfinite(s) && s >= 0 && s < 1e9) {
                t = static_cast<sim::Ticks>(std::llround(s * sim::kTicksPerSecond));
            }
        } else if (value.is_string()) {
            t = ParseDuration(value.get<std::string>());
        }
        if (!t) {
            Fail(where, "expected a time: seconds, or a text such as \"90s\", \"15m\", \"2h\", \"1h30m\"");
        }
        return *t;
    }

    Timeline ReadTimeline(const json& value, const std::string& where) const
    {
        if (!value.is_array() || value.empty()) {
            Fail(where, "expected a non-empty list of points {\"at\": time, \"value\": number}");
        }
        Timeline timeline;
        for (size_t i = 0; i < value.size(); i++) {
            const std::string at = Join(where, i);
            Keys(value[i], at, {"at", "value", "ramp"});
            TimelinePoint p;
            p.at = Time(Required(value[i], at, "at"), Join(at, "at"));
            p.value = Number(Required(value[i], at, "value"), Join(at, "value"));
            if (value[i].contains("ramp")) {
                if (!value[i]["ramp"].is_boolean()) {
                    Fail(Join(at, "ramp"), "expected true or false");
                }
                p.ramp = value[i]["ramp"].get<bool>();
            }
            if (!timeline.points.empty() && p.at < timeline.points.back().at) {
                Fail(Join(at, "at"), "points must be in time order");
            }
            if (p.ramp && timeline.points.empty()) {
                Fail(Join(at, "ramp"), "the first point has nothing to ramp from");
            }
            timeline.points.push_back(p);
        }
        return timeline;
    }

    int SensorIndex(const std::string& name, const std::string& where) const
    {
        for (size_t i = 0; i < Simulation::kSensorNames.size(); i++) {
            if (name == Simulation::kSensorNames[i]) {
                return static_cast<int>(i);
            }
        }
        Fail(where,
             "no sensor \"" + name + "\" (the sensors are " + List(Simulation::kSensorNames, "\"") + ")");
    }

private:
    std::string origin_;
};

// The range each sensor's engineering value may take on the board's inputs.
struct ValueRange {
    double low;
    double high;
};

ValueRange SensorRange(int index)
{
    if (index < 2) {
        return {0, 1e6}; // RPM
    }
    if (index < 6) {
        return {-127, 127}; // degrees C
    }
    return {0, 20000}; // mV
}

void ReadSensors(const Reader& r, const json& doc, Scenario& s)
{
    if (!doc.is_object()) {
        r.Fail("/sensors", "expected an object of sensor name to timeline");
    }
    for (const auto& [name, timeline] : doc.items()) {
        const std::string where = Reader::Join("/sensors", name);
        const int index = r.SensorIndex(name, where);
        Timeline t = r.ReadTimeline(timeline, where);
        const ValueRange range = SensorRange(index);
        for (size_t i = 0; i < t.points.size(); i++) {
            if (t.points[i].value < range.low || t.points[i].value > range.high) {
                std::ostringstream what;
                what << "out of range " << range.low << ".." << range.high;
                r.Fail(Reader::Join(Reader::Join(where, i), "value"), what.str());
            }
        }
        s.sensors[index] = std::move(t);
    }
}

void ReadRegisters(const Reader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/registers", "expected a list");
    }
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = Reader::Join("/registers", i);
        const json& w = doc[i];
        r.Keys(w, where, {"at", "chip", "register", "value"});
        RegisterWrite write;
        write.at = r.Time(r.Required(w, where, "at"), Reader::Join(where, "at"));
        const std::string chip = r.String(r.Required(w, where, "chip"), Reader::Join(where, "chip"));
        if (chip == "superio") {
            write.chip = Chip::SuperIo;
        } else if (chip == "smbus-sensor") {
            write.chip = Chip::SmbusSensor;
        } else {
            r.Fail(Reader::Join(where, "chip"), "expected \"superio\" or \"smbus-sensor\"");
        }
        write.reg = static_cast<uint8_t>(
            r.Integer(r.Required(w, where, "register"), Reader::Join(where, "register"), 0, 255));
        write.value = static_cast<uint8_t>(
            r.Integer(r.Required(w, where, "value"), Reader::Join(where, "value"), 0, 255));
        s.registers.push_back(write);
    }
}

void ReadFaults(const Reader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/faults", "expected a list");
    }
    static const std::map<std::string, FaultKind> kinds = {
        {"controller-busy", FaultKind::ControllerBusy},
        {"smbus-hang", FaultKind::SmbusHang},
        {"smbus-collision", FaultKind::SmbusCollision},
        {"sensor-absent", FaultKind::SensorAbsent},
    };
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = Reader::Join("/faults", i);
        const json& f = doc[i];
        r.Keys(f, where, {"at", "fault", "count", "for"});
        Fault fault;
        fault.where = where;
        fault.at = r.Time(r.Required(f, where, "at"), Reader::Join(where, "at"));
        const std::string kind = r.String(r.Required(f, where, "fault"), Reader::Join(where, "fault"));
        auto it = kinds.find(kind);
        if (it == kinds.end()) {
            r.Fail(Reader::Join(where, "fault"),
                   "no fault \"" + kind +
                       "\" (expected controller-busy, smbus-hang, smbus-collision or sensor-absent)");
        }
        fault.kind = it->second;
        if (f.contains("count")) {
            if (fault.kind == FaultKind::SensorAbsent) {
                r.Fail(Reader::Join(where, "count"), "an absent sensor lasts a time (\"for\"), not a count");
            }
            fault.count = static_cast<int>(r.Integer(f["count"], Reader::Join(where, "count"), 1, 1000000));
        }
        if (f.contains("for")) {
            if (fault.count) {
                r.Fail(Reader::Join(where, "for"), "give \"count\" or \"for\", not both");
            }
            fault.duration = r.Time(f["for"], Reader::Join(where, "for"));
        }
        s.faults.push_back(fault);
    }
}

uint32_t Status(const Reader& r, const json& value, const std::string& where)
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

void ReadAction(const Reader& r, const json& a, const std::string& where, Action& action)
{
    static const std::map<std::string, ActionKind> kinds = {
        {"read-sensor", ActionKind::ReadSensor},
        {"set-pwm", ActionKind::SetPwm},
        {"read-control", ActionKind::ReadControl},
        {"set-control", ActionKind::SetControl},
        {"device-control", ActionKind::DeviceControl},
        {"wmi-query", ActionKind::WmiQuery},
        {"wmi-set-critical-upper", ActionKind::WmiMethod},
        {"wmi-set-critical-lower", ActionKind::WmiMethod},
        {"pnp", ActionKind::Pnp},
    };
    static const std::map<std::string, uint8_t> pnp = {
        {"start", IRP_MN_START_DEVICE},
        {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
        {"stop", IRP_MN_STOP_DEVICE},
        {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
        {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
        {"remove", IRP_MN_REMOVE_DEVICE},
        {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
        {"surprise-removal", IRP_MN_SURPRISE_REMOVAL},
    };
    action.name = r.String(r.Required(a, where, "action"), Reader::Join(where, "action"));
    auto kind = kinds.find(action.name);
    if (kind == kinds.end()) {
        std::vector<std::string> names;
        for (const auto& [name, unused] : kinds) {
            names.push_back(name);
        }
        r.Fail(Reader::Join(where, "action"),
               "no action \"" + action.name + "\" (expected " + Reader::List(names) + ")");
    }
    action.kind = kind->second;
    auto field = [&](const char* key) { return Reader::Join(where, key); };
    auto u32 = [&](const char* key, int64_t low, int64_t high) {
        return static_cast<uint32_t>(r.Integer(r.Required(a, where, key), field(key), low, high));
    };
    static constexpr std::initializer_list<const char*> common = {"at", "action", "repeat", "every",
                                                                  "expect"};
    auto keys = [&](std::initializer_list<const char*> own) {
        std::vector<const char*> all(common);
        all.insert(all.end(), own);
        r.Keys(a, where, all, action.name);
    };
    switch (action.kind) {
        case ActionKind::ReadSensor:
        case ActionKind::SetPwm:
            keys({"sensor", "value"});
            action.sensor =
                r.SensorIndex(r.String(r.Required(a, where, "sensor"), field("sensor")), field("sensor"));
            if (action.kind == ActionKind::SetPwm) {
                if (action.sensor >= 2) {
                    r.Fail(field("sensor"), "set-pwm takes a fan: \"Rear Upper\" or \"Rear Bottom\"");
                }
                action.value = u32("value", 0, 255);
            } else if (a.contains("value")) {
                r.Fail(field("value"), "read-sensor takes no value");
            }
            break;
        case ActionKind::ReadControl:
        case ActionKind::SetControl:
            keys({"class", "index", "code"});
            action.control_class = u32("class", 0, 0xFFFFFFFFLL);
            action.control_index = u32("index", 0, 0xFFFFFFFFLL);
            if (action.kind == ActionKind::SetControl) {
                action.value = u32("code", 0, 0xFFFFFFFFLL);
            }
            break;
        case ActionKind::DeviceControl: {
            keys({"code", "input", "output_size"});
            action.code = u32("code", 0, 0xFFFFFFFFLL);
            if (a.contains("input")) {
                const std::string hex = r.String(a["input"], field("input"));
                if (hex.size() % 2 != 0 ||
                    hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    r.Fail(field("input"), "expected hex digits, two a byte");
                }
                for (size_t i = 0; i < hex.size(); i += 2) {
                    action.input.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
                }
            }
            action.output_size = a.contains("output_size") ? u32("output_size", 0, 65536) : 0;
            break;
        }
        case ActionKind::WmiQuery:
            keys({});
            break;
        case ActionKind::WmiMethod:
            keys({"sensor", "value"});
            action.code = action.name == "wmi-set-critical-upper" ? WMI_METHOD_SET_CRITICAL_UPPER
                                                                  : WMI_METHOD_SET_CRITICAL_LOWER;
            action.wmi_sensor = u32("sensor", 0, 0xFFFFFFFFLL);
            action.value = static_cast<uint32_t>(static_cast<int32_t>(
                r.Integer(r.Required(a, where, "value"), field("value"), INT32_MIN, INT32_MAX)));
            break;
        case ActionKind::Pnp: {
            keys({"request"});
            const std::string request = r.String(r.Required(a, where, "request"), field("request"));
            auto it = pnp.find(request);
            if (it == pnp.end()) {
                r.Fail(field("request"),
                       "no Plug and Play request \"" + request +
                           "\" (expected start, query-stop, stop, cancel-stop, query-remove, "
                           "remove, cancel-remove or surprise-removal)");
            }
            action.pnp_minor = it->second;
            break;
        }
    }
}

void ReadActions(const Reader& r, const json& doc, Scenario& s)
{
    if (!doc.is_array()) {
        r.Fail("/actions", "expected a list");
    }
    for (size_t i = 0; i < doc.size(); i++) {
        const std::string where = Reader::Join("/actions", i);
        const json& a = doc[i];
        if (!a.is_object()) {
            r.Fail(where, "expected an object");
        }
        Action action;
        action.where = where;
        action.at = r.Time(r.Required(a, where, "at"), Reader::Join(where, "at"));
        ReadAction(r, a, where, action);
        if (a.contains("repeat")) {
            action.repeat =
                static_cast<int>(r.Integer(a["repeat"], Reader::Join(where, "repeat"), 1, 1000000));
            if (action.repeat > 1) {
                action.every = r.Time(r.Required(a, where, "every"), Reader::Join(where, "every"));
                if (action.every <= 0) {
                    r.Fail(Reader::Join(where, "every"), "must be more than 0");
                }
            }
        }
        if (a.contains("expect")) {
            action.expect = Status(r, a["expect"], Reader::Join(where, "expect"));
        }
        s.actions.push_back(std::move(action));
    }
}

void ReadPlant(const Reader& r, const json& p, Scenario& s)
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
            out = r.Number(p[key], Reader::Join("/plant", key));
            if (!(out > 0)) {
                r.Fail(Reader::Join("/plant", key), "must be more than 0");
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
        size_t used = 0;
        double n = 0;
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return std::nullopt;
        }
        try {
            n = std::stod(text.substr(i), &used);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        i += used;
        if (i == text.size()) {
            if (!unitless) {
                return std::nullopt; // "1h30" is ambiguous
            }
            total += n;
            break;
        }
        unitless = false;
        const char unit = text[i++];
        total += n * (unit == 'h' ? 3600 : unit == 'm' ? 60 : unit == 's' ? 1 : -1e18);
        if (total < 0) {
            return std::nullopt;
        }
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
        case FaultKind::SensorAbsent:
            return "sensor-absent";
    }
    return "?";
}

Scenario ParseScenario(const std::string& text, const std::string& origin)
{
    Scenario s;
    s.origin = origin;
    const Reader r(s);
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        // The library's text says where: "[json.exception.parse_error.101] parse error at line 3, ...".
        std::string what = e.what();
        what = what.substr(what.find(']') + 2);
        throw ScenarioError(origin + ": not valid JSON: " + what);
    }
    r.Keys(doc, "",
           {"description", "duration", "sample", "seed", "config", "sensors", "registers", "faults",
            "actions", "plant"});
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
    // Anything scheduled after the end would silently never happen.
    auto check_in_run = [&](sim::Ticks at, const std::string& where) {
        if (at > s.duration) {
            r.Fail(where + "/at",
                   "after the end of the run (duration " + sim::FormatTicks(s.duration) + " s)");
        }
    };
    for (const Fault& f : s.faults) {
        check_in_run(f.at, f.where);
    }
    for (const Action& a : s.actions) {
        check_in_run(a.at, a.where);
    }
    for (size_t i = 0; i < s.registers.size(); i++) {
        check_in_run(s.registers[i].at, "/registers/" + std::to_string(i));
    }
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
