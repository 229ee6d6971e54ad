#include "scenario_reader.h"

#include <algorithm>
#include <cmath>

#include "sensors.h"

namespace quavsim {

void ScenarioReader::Fail(const std::string& where, const std::string& what) const
{
    throw ScenarioError(origin_ + ": " + (where.empty() ? "/" : where) + ": " + what);
}

void ScenarioReader::Keys(const json& object, const std::string& where,
                          const std::vector<const char*>& allowed, const std::string& owner) const
{
    if (!object.is_object()) {
        Fail(where, "expected an object");
    }
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        if (std::find_if(allowed.begin(), allowed.end(), [&](const char* k) { return key == k; }) ==
            allowed.end()) {
            Fail(Join(where, key), "unknown field" + (owner.empty() ? "" : " for " + owner) +
                                       " (expected one of: " + List(allowed) + ")");
        }
    }
}

std::string ScenarioReader::Join(const std::string& where, const std::string& key)
{
    std::string escaped;
    for (char c : key) {
        escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    }
    return where + "/" + escaped;
}

std::string ScenarioReader::Join(const std::string& where, size_t index)
{
    return where + "/" + std::to_string(index);
}

const nlohmann::json& ScenarioReader::Required(const json& object, const std::string& where,
                                               const char* key) const
{
    if (!object.contains(key)) {
        Fail(where, std::string("missing field \"") + key + "\"");
    }
    return object.at(key);
}

double ScenarioReader::Number(const json& value, const std::string& where) const
{
    if (!value.is_number()) {
        Fail(where, "expected a number");
    }
    return value.get<double>();
}

int64_t ScenarioReader::Integer(const json& value, const std::string& where, int64_t low, int64_t high) const
{
    int64_t n = 0;
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
        Fail(where, "out of range " + std::to_string(low) + ".." + std::to_string(high));
    }
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

std::string ScenarioReader::String(const json& value, const std::string& where) const
{
    if (!value.is_string()) {
        Fail(where, "expected a string");
    }
    return value.get<std::string>();
}

sim::Ticks ScenarioReader::Time(const json& value, const std::string& where) const
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

Timeline ScenarioReader::ReadTimeline(const json& value, const std::string& where) const
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

int ScenarioReader::SensorIndex(const std::string& name, const std::string& where) const
{
    if (const std::optional<size_t> index = quavtools::SensorIndex(name)) {
        return static_cast<int>(*index);
    }
    std::vector<const char*> names;
    for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
        names.push_back(sensor.name);
    }
    Fail(where, "no sensor \"" + name + "\" (the sensors are " + List(names, "\"") + ")");
}

} // namespace quavsim
