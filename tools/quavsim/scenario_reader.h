// Reading a scenario's JSON: a walk through the document that keeps the JSON pointer of where it is, so
// that every complaint names the file, the place and what was expected.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"

namespace quavsim {

class ScenarioReader {
public:
    using json = nlohmann::json;

    explicit ScenarioReader(const Scenario& scenario) : origin_(scenario.origin) {}

    [[noreturn]] void Fail(const std::string& where, const std::string& what) const;

    // Refuses a field not in `allowed`; `owner` ("for set-pwm") says whose fields they are.
    void Keys(const json& object, const std::string& where, const std::vector<const char*>& allowed,
              const std::string& owner = "") const;

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

    // The pointer of a member or an element below `where`.
    static std::string Join(const std::string& where, const std::string& key);
    static std::string Join(const std::string& where, size_t index);

    const json& Required(const json& object, const std::string& where, const char* key) const;
    double Number(const json& value, const std::string& where) const;
    // A whole number in [low, high], written as a number or as a "0x" hex string.
    int64_t Integer(const json& value, const std::string& where, int64_t low, int64_t high) const;
    std::string String(const json& value, const std::string& where) const;
    sim::Ticks Time(const json& value, const std::string& where) const;
    Timeline ReadTimeline(const json& value, const std::string& where) const;
    // The place in quavtools::kSensors of the sensor so named.
    int SensorIndex(const std::string& name, const std::string& where) const;

private:
    std::string origin_;
};

} // namespace quavsim
