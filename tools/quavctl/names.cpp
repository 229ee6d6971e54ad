#include "names.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace quavctl {

std::string NameKey(const std::string& name)
{
    std::string key;
    for (char c : name) {
        if (c != ' ' && c != '-' && c != '_' && c != ',') {
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return key;
}

std::string CommandName(const std::string& name)
{
    std::string shown;
    for (char c : name) {
        shown += c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return shown;
}

namespace {

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::string Unknown(const std::string& what, const std::string& typed, const std::vector<Choice>& choices)
{
    // The closest name, when it is close: a slip of a key or two, not another word.
    const std::string key = NameKey(typed);
    const Choice* best = nullptr;
    size_t best_distance = 0;
    std::string list;
    for (const Choice& choice : choices) {
        const size_t d = EditDistance(key, NameKey(choice.name));
        if (best == nullptr || d < best_distance) {
            best = &choice;
            best_distance = d;
        }
        list += (list.empty() ? "" : ", ") + choice.name;
    }
    std::string message = "no " + what + " '" + typed + "'";
    if (best != nullptr && best_distance <= std::max<size_t>(2, key.size() / 3)) {
        message += "; did you mean '" + best->name + "'?";
    }
    return message + " (the " + what + (what.back() == 's' ? "es: " : "s: ") + list + ")";
}

std::optional<uint32_t> Number(const std::string& text)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

uint32_t NumberOrName(const std::string& what, const std::string& text, const std::vector<Choice>& choices)
{
    if (const std::optional<uint32_t> n = Number(text)) {
        return *n;
    }
    const std::string key = NameKey(text);
    for (const Choice& choice : choices) {
        if (!key.empty() && NameKey(choice.name) == key) {
            return choice.value;
        }
    }
    throw UsageError(Unknown(what, text, choices));
}

std::vector<Choice> SensorChoices(bool fans_only)
{
    std::vector<Choice> choices;
    for (const SensorInfo& sensor : kSensors) {
        if (!fans_only || sensor.IsFan()) {
            choices.push_back({CommandName(sensor.name), sensor.id});
        }
    }
    return choices;
}

std::vector<Choice> TypeChoices()
{
    return {{"fan", SENSOR_TYPE_FAN},
            {"temperature", SENSOR_TYPE_TEMPERATURE},
            {"temp", SENSOR_TYPE_TEMPERATURE},
            {"voltage", SENSOR_TYPE_VOLTAGE}};
}

std::vector<Choice> ClassChoices()
{
    return {{"pin-pair", CONTROL_CLASS_PIN_PAIR},
            {"signals", CONTROL_CLASS_SIGNALS},
            {"brightness", CONTROL_CLASS_BRIGHTNESS},
            {"fwp-mode", CONTROL_CLASS_FWP_MODE}};
}

std::vector<Choice> WmiChoices()
{
    std::vector<Choice> choices;
    for (const SensorInfo& sensor : kSensors) {
        choices.push_back({CommandName(sensor.name), sensor.wmi_number});
    }
    return choices;
}

std::vector<Choice> ValueCodeChoices(uint32_t control_class)
{
    std::vector<uint32_t> codes;
    switch (control_class) {
        case CONTROL_CLASS_PIN_PAIR:
            codes = {VALUE_PIN_PAIR_HIGH_HIGH, VALUE_PIN_PAIR_HIGH_LOW,       VALUE_PIN_PAIR_LOW_HIGH,
                     VALUE_PIN_PAIR_LOW_LOW,   VALUE_PIN_PAIR_HIGH_LOW_B_OFF, VALUE_PIN_PAIR_LOW_HIGH_A_OFF};
            break;
        case CONTROL_CLASS_SIGNALS:
            codes = {VALUE_SIGNALS_HIGH_HIGH, VALUE_SIGNALS_LOW_HIGH, VALUE_SIGNALS_HIGH_LOW,
                     VALUE_SIGNALS_LOW_LOW};
            break;
        case CONTROL_CLASS_BRIGHTNESS:
            for (uint32_t level = 0; level < 10; level++) {
                codes.push_back(VALUE_BRIGHTNESS_0 + level);
            }
            break;
        case CONTROL_CLASS_FWP_MODE:
            codes = {VALUE_FWP_HIGH, VALUE_FWP_LOW};
            break;
    }
    std::vector<Choice> choices;
    for (uint32_t code : codes) {
        choices.push_back({DescribeValueCode(control_class, code), code});
    }
    return choices;
}

SensorAddress ParseSensor(const std::vector<std::string>& words)
{
    if (words.size() == 1) {
        if (Number(words[0])) {
            throw UsageError("sensor " + words[0] + ": give its type too (read-sensor 7 9), or its name");
        }
        const uint32_t id = NumberOrName("sensor", words[0], SensorChoices(false));
        for (const SensorInfo& sensor : kSensors) {
            if (sensor.id == id) {
                return {sensor.type, sensor.id};
            }
        }
    }
    return {NumberOrName("sensor type", words.at(0), TypeChoices()),
            NumberOrName("sensor", words.at(1), SensorChoices(false))};
}

uint32_t ParseValueCode(uint32_t control_class, const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    const std::vector<Choice> choices = ValueCodeChoices(control_class);
    if (choices.empty() && !Number(text)) {
        throw UsageError("'" + text + "' is not a value code (0x8000 and so on): class " +
                         std::to_string(control_class) + " has no value names");
    }
    return NumberOrName(std::string(ControlClassName(control_class)) + " value", text, choices);
}

std::string ValueCodeTable()
{
    auto hex = [](uint32_t code) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%04X", code);
        return std::string(text);
    };
    std::string table = "Value codes, by number or by name (quote a name with commas or spaces):\n";
    for (const Choice& c : ClassChoices()) {
        table += "  " + c.name + " (class " + std::to_string(c.value) + "):";
        const std::vector<Choice> codes = ValueCodeChoices(c.value);
        if (c.value == CONTROL_CLASS_BRIGHTNESS) {
            table += " " + hex(codes.front().value) + " to " + hex(codes.back().value) + ": " +
                     codes.front().name + " to " + codes.back().name + "\n";
            continue;
        }
        for (const Choice& value : codes) {
            table += "\n    " + hex(value.value) + " " + value.name;
        }
        table += "\n";
    }
    return table;
}

namespace {

struct Readable {
    int64_t low;
    int64_t high;
};

// What the driver can report for the sensor: the tachometer's clock over a count of 1; the SMBus
// sensor's sign and magnitude; the controller's unsigned temperature byte; an 8-bit input through its
// divider (16 mV a count, 26.88 mV on the 5 V rails, 64 mV on the 12 V rail).
Readable ReadableRange(const SensorInfo& sensor)
{
    switch (sensor.id) {
        case SENSOR_ID_REAR_UPPER:
        case SENSOR_ID_REAR_BOTTOM:
            return {0, 1'350'000};
        case SENSOR_ID_CPU:
            return {-127, 127};
        case SENSOR_ID_SYSTEM:
        case SENSOR_ID_BACKPLANE:
        case SENSOR_ID_VRM:
            return {0, 255};
        case SENSOR_ID_V5:
        case SENSOR_ID_AUX:
            return {0, 255 * 2688 / 100};
        case SENSOR_ID_V12:
            return {0, 255 * 64};
        default:
            return {0, 255 * 16};
    }
}

} // namespace

std::optional<std::string> UnreachableLimit(uint32_t method, uint32_t number, int32_t value)
{
    const SensorInfo* sensor = SensorByWmiNumber(number);
    if (sensor == nullptr) {
        return std::nullopt;
    }
    const Readable range = ReadableRange(*sensor);
    if (value >= range.low && value <= range.high) {
        return std::nullopt;
    }
    const bool upper = method == WMI_METHOD_SET_CRITICAL_UPPER;
    // Above the range an upper limit is never crossed and a lower one always; below it the other way.
    const bool never = upper == (value > range.high);
    return std::string(sensor->name) + " reads " +
           FormatReading(sensor->type, static_cast<int32_t>(range.low)) + " to " +
           FormatReading(sensor->type, static_cast<int32_t>(range.high)) + ": a critical " +
           (upper ? "upper" : "lower") + " limit of " + FormatReading(sensor->type, value) + " is " +
           (never ? "never crossed" : "crossed by every reading");
}

// Turns the command's words into numbers once it is parsed: a name that names nothing is a usage error,
// as CLI11's own are, and nothing is sent.
void Resolve(CLI::App* command, const std::function<void()>& resolve)
{
    command->callback([command, resolve] {
        try {
            resolve();
        } catch (const UsageError& e) {
            throw CLI::ValidationError(command->get_name(), e.what());
        }
    });
}

// One JSON object for an error the driver never saw: the command line, or quavsim out of reach.
void PrintJsonError(std::ostream& out, const std::string& message, int exit_status)
{
    out << nlohmann::json{{"error", message}, {"status", nullptr}, {"exit_status", exit_status}}.dump(
               2, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
}

bool AskedForJson(int argc, const char* const* argv)
{
    return std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--json"; });
}

} // namespace quavctl
