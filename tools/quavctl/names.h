// What quavctl's command line names: sensors by name or by type and id, control classes, value codes by
// number or by the words output shows ("first low, second high", "level 5"), each checked before
// anything is sent; an unknown name lists the names, with the closest as a suggestion. Also the readings
// each sensor's hardware can give, so that a limit no reading can cross is told.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <ostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device.h"

namespace quavctl {

// A command line that names nothing the driver has: the message, for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A name as typed: case, spaces, hyphens, underscores and commas aside ("Rear Upper" is "rear-upper").
std::string NameKey(const std::string& name);
// The name as a command line shows it: "rear-upper", "1.8v".
std::string CommandName(const std::string& name);

struct Choice {
    std::string name; // as the command line shows it
    uint32_t value;
};

// "no sensor 'turbin'; did you mean 'turbine'? (the sensors: a, b, c)"
std::string Unknown(const std::string& what, const std::string& typed, const std::vector<Choice>& choices);
// A decimal or 0x hexadecimal number within 32 bits.
std::optional<uint32_t> Number(const std::string& text);
// A number, or the value of the choice so named; `what` ("sensor") names the kind in the message.
uint32_t NumberOrName(const std::string& what, const std::string& text, const std::vector<Choice>& choices);

std::vector<Choice> SensorChoices(bool fans_only);
std::vector<Choice> TypeChoices();
std::vector<Choice> ClassChoices();
std::vector<Choice> WmiChoices();
// The value codes a class takes, named as output describes them.
std::vector<Choice> ValueCodeChoices(uint32_t control_class);

struct SensorAddress {
    uint32_t type;
    uint32_t id;
};
// "cpu" (the name implies the type), or a type and an id: "temperature cpu", "7 9".
SensorAddress ParseSensor(const std::vector<std::string>& words);
// "0x8101", or the code's words for the class: "first low, second high", "level 5".
uint32_t ParseValueCode(uint32_t control_class, const std::vector<std::string>& words);
// Every class's codes with their names, for the help.
std::string ValueCodeTable();

// A warning when no reading of the sensor can cross `value` as the limit `method` sets: a temperature
// below what its sensor reads, a voltage above its input's range, RPM beyond the tachometer's count.
std::optional<std::string> UnreachableLimit(uint32_t method, uint32_t number, int32_t value);

// Runs `resolve` as the command's callback once the command line is parsed: a UsageError it throws
// becomes CLI11's usage error, reported as CLI11 reports its own.
void Resolve(CLI::App* command, const std::function<void()>& resolve);
// One JSON object for an error the driver never saw (the command line, quavsim out of reach):
// {"error": message, "status": null, "exit_status": N}.
void PrintJsonError(std::ostream& out, const std::string& message, int exit_status);
bool AskedForJson(int argc, const char* const* argv);

} // namespace quavctl
