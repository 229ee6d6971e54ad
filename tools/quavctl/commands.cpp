#include "commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "device.h"
#include "names.h"
#include "live_commands.h"
#include "protocol.h"
#include "status_names.h"

namespace quavctl {

namespace {

using nlohmann::json;

// Columns are counted in characters, not bytes: "°" is two bytes of UTF-8.
size_t Width(const std::string& text)
{
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string PadLeft(const std::string& text, size_t width)
{
    const size_t w = Width(text);
    return w >= width ? text : std::string(width - w, ' ') + text;
}

std::string PadRight(const std::string& text, size_t width)
{
    const size_t w = Width(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string SensorLabel(uint32_t type, uint32_t id)
{
    const SensorInfo* sensor = FindSensor(type, id);
    return sensor != nullptr ? sensor->name : "type " + std::to_string(type) + " id " + std::to_string(id);
}

json SensorName(uint32_t type, uint32_t id)
{
    const SensorInfo* sensor = FindSensor(type, id);
    return sensor != nullptr ? json(sensor->name) : json(nullptr);
}

std::string ControlLabel(uint32_t control_class, uint32_t index)
{
    return std::string(ControlClassName(control_class)) + " (class " + std::to_string(control_class) +
           ", index " + std::to_string(index) + ")";
}

json StatusFields(uint32_t status)
{
    const char* name = quavtools::StatusName(status);
    return json{{"status", status}, {"status_name", name != nullptr ? json(name) : json(nullptr)}};
}

struct Context {
    Device& device;
    bool json_output;
    std::ostream& out;
    std::ostream& err;
};

void Print(Context& c, json result)
{
    c.out << result.dump(2) << "\n";
}

// A request the driver failed: the result object with the status and an "error" in JSON, a line on the
// error stream otherwise.
int Refused(Context& c, json result, const std::string& what, uint32_t status)
{
    const std::string message = what + ": " + quavtools::StatusText(status);
    if (c.json_output) {
        result.update(StatusFields(status));
        result["error"] = message;
        result["exit_status"] = kExitRefused;
        Print(c, std::move(result));
    } else {
        c.err << "quavctl: " << message << "\n";
    }
    return kExitRefused;
}

// The state a client can tell: the record's own band flags (which the driver leaves as they were sent:
// its evaluation state stays in the driver), and the reading against the critical limits it reports,
// strictly outside being critical as in the driver's evaluation.
const char* SensorState(const SENSOR_RECORD& record, const SENSOR_DATA_ENTRY* limits)
{
    if (record.CriticalActive || (limits != nullptr && (record.Value > limits->CriticalUpper ||
                                                        record.Value < limits->CriticalLower))) {
        return "CRITICAL";
    }
    return record.WarningActive ? "WARNING" : "ok";
}

int Sensors(Context& c, const std::string& where)
{
    std::vector<SENSOR_DATA_ENTRY> block;
    const uint32_t wmi_status = c.device.QuerySensorBlock(&block);
    const bool have_limits = quavtools::StatusSucceeded(wmi_status);
    int exit_code = 0;
    json rows = json::array();
    std::string text = "quav\nAdapter: quavsim at " + where + "\n";
    for (const SensorInfo& sensor : kSensors) {
        SENSOR_RECORD record{};
        const uint32_t status = c.device.ReadSensor(sensor.type, sensor.id, &record);
        const SENSOR_DATA_ENTRY* limits =
            have_limits && sensor.wmi_number <= block.size() ? &block[sensor.wmi_number - 1] : nullptr;
        json row{{"name", sensor.name}, {"type", sensor.type}, {"id", sensor.id}};
        row.update(StatusFields(status));
        text += PadRight(std::string(sensor.name) + ":", 13);
        if (!quavtools::StatusSucceeded(status)) {
            exit_code = kExitRefused;
            text += quavtools::StatusText(status) + "\n";
            rows.push_back(std::move(row));
            continue;
        }
        const char* state = SensorState(record, limits);
        row["value"] = record.Value;
        row["unit"] = RawUnit(sensor.type);
        row["critical_lower"] = limits != nullptr ? json(limits->CriticalLower) : json(nullptr);
        row["critical_upper"] = limits != nullptr ? json(limits->CriticalUpper) : json(nullptr);
        row["state"] = state;
        text += PadLeft(FormatReading(sensor.type, record.Value), 10);
        if (limits != nullptr) {
            text += "  (crit low = " + PadLeft(FormatReading(sensor.type, limits->CriticalLower), 10) +
                    ", crit high = " + PadLeft(FormatReading(sensor.type, limits->CriticalUpper), 10) + ")";
        } else {
            text += "  (crit limits n/a)";
        }
        text += std::string("  ") + state + "\n";
        rows.push_back(std::move(row));
    }
    if (!have_limits) {
        exit_code = kExitRefused;
    }
    if (c.json_output) {
        json result{{"sensors", std::move(rows)}, {"wmi", StatusFields(wmi_status)}};
        if (exit_code != 0) {
            result["error"] = "not every sensor could be read";
        }
        Print(c, std::move(result));
    } else {
        c.out << text;
        if (!have_limits) {
            c.err << "quavctl: the critical limits (WMI query): " << quavtools::StatusText(wmi_status)
                  << "\n";
        }
    }
    return exit_code;
}

int ReadSensor(Context& c, uint32_t type, uint32_t id)
{
    SENSOR_RECORD record{};
    const uint32_t status = c.device.ReadSensor(type, id, &record);
    json result{{"name", SensorName(type, id)}, {"type", type}, {"id", id}};
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, std::move(result), "read-sensor " + SensorLabel(type, id), status);
    }
    result.update(StatusFields(status));
    result["value"] = record.Value;
    result["unit"] = RawUnit(type);
    if (c.json_output) {
        Print(c, std::move(result));
    } else {
        c.out << SensorLabel(type, id) << ": " << FormatReading(type, record.Value) << "\n";
    }
    return 0;
}

int SetPwm(Context& c, uint32_t id, uint32_t pwm)
{
    SENSOR_RECORD record{};
    const uint32_t status = c.device.SetFanPwm(id, pwm, &record);
    json result{
        {"name", SensorName(SENSOR_TYPE_FAN, id)}, {"type", SENSOR_TYPE_FAN}, {"id", id}, {"pwm", pwm}};
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, std::move(result), "set-pwm " + SensorLabel(SENSOR_TYPE_FAN, id), status);
    }
    result.update(StatusFields(status));
    if (c.json_output) {
        Print(c, std::move(result));
    } else {
        char value[16];
        std::snprintf(value, sizeof value, "0x%02X", pwm);
        c.out << SensorLabel(SENSOR_TYPE_FAN, id) << ": PWM set to " << pwm << " (" << value << ")\n";
    }
    return 0;
}

json ControlRow(uint32_t control_class, uint32_t index, uint32_t status, const CONTROL_RECORD& record)
{
    json row{{"class", control_class}, {"index", index}, {"name", ControlClassName(control_class)}};
    row.update(StatusFields(status));
    if (quavtools::StatusSucceeded(status)) {
        row["value"] = record.Value;
        row["meaning"] = DescribeValueCode(control_class, record.Value);
    }
    return row;
}

// Every item is asked; an item whose hardware shows a state without a value code (the pin pair and the
// brightness output before anything set them) reads as a failure in its row. The command fails only when
// no item could be read.
int Controls(Context& c)
{
    size_t failed = 0;
    json rows = json::array();
    std::string text = "CLASS  INDEX  ITEM        VALUE   MEANING\n";
    for (const ControlInfo& control : kControls) {
        CONTROL_RECORD record{};
        const uint32_t status = c.device.ReadControl(control.control_class, control.index, &record);
        rows.push_back(ControlRow(control.control_class, control.index, status, record));
        text += PadLeft(std::to_string(control.control_class), 5) +
                PadLeft(std::to_string(control.index), 7) + "  " +
                PadRight(ControlClassName(control.control_class), 12);
        if (quavtools::StatusSucceeded(status)) {
            text += PadRight(Hex(record.Value), 8) + DescribeValueCode(control.control_class, record.Value) +
                    "\n";
        } else {
            failed++;
            text += PadRight("-", 8) + quavtools::StatusText(status) + "\n";
        }
    }
    const bool none = failed == kControls.size();
    if (c.json_output) {
        json result{{"controls", std::move(rows)}};
        if (none) {
            result["error"] = "no item could be read";
        }
        Print(c, std::move(result));
    } else {
        c.out << text;
        if (none) {
            c.err << "quavctl: controls: no item could be read\n";
        }
    }
    return none ? kExitRefused : 0;
}

int ReadControl(Context& c, uint32_t control_class, uint32_t index)
{
    CONTROL_RECORD record{};
    const uint32_t status = c.device.ReadControl(control_class, index, &record);
    json result = ControlRow(control_class, index, status, record);
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, std::move(result), "read-control " + ControlLabel(control_class, index), status);
    }
    if (c.json_output) {
        Print(c, std::move(result));
    } else {
        const std::string meaning = DescribeValueCode(control_class, record.Value);
        c.out << ControlLabel(control_class, index) << ": " << Hex(record.Value)
              << (meaning.empty() ? "" : " (" + meaning + ")") << "\n";
    }
    return 0;
}

int SetControl(Context& c, uint32_t control_class, uint32_t index, uint32_t code)
{
    CONTROL_RECORD record{};
    const uint32_t status = c.device.SetControl(control_class, index, code, &record);
    json result{{"class", control_class},
                {"index", index},
                {"name", ControlClassName(control_class)},
                {"code", code},
                {"meaning", DescribeValueCode(control_class, code)}};
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, std::move(result), "set-control " + ControlLabel(control_class, index), status);
    }
    result.update(StatusFields(status));
    if (c.json_output) {
        Print(c, std::move(result));
    } else {
        const std::string meaning = DescribeValueCode(control_class, code);
        c.out << ControlLabel(control_class, index) << ": set to " << Hex(code)
              << (meaning.empty() ? "" : " (" + meaning + ")") << "\n";
    }
    return 0;
}

int WmiQuery(Context& c)
{
    std::vector<SENSOR_DATA_ENTRY> block;
    const uint32_t status = c.device.QuerySensorBlock(&block);
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, json::object(), "wmi query", status);
    }
    json rows = json::array();
    std::string text = " N  SENSOR           CURRENT    CRIT LOW   CRIT HIGH\n";
    for (size_t i = 0; i < block.size(); i++) {
        const uint32_t number = static_cast<uint32_t>(i + 1);
        const SensorInfo* sensor = SensorByWmiNumber(number);
        const uint32_t type = sensor != nullptr ? sensor->type : 0;
        const SENSOR_DATA_ENTRY& entry = block[i];
        rows.push_back(json{{"number", number},
                            {"name", sensor != nullptr ? json(sensor->name) : json(nullptr)},
                            {"current", entry.CurrentValue},
                            {"critical_lower", entry.CriticalLower},
                            {"critical_upper", entry.CriticalUpper},
                            {"unit", RawUnit(type)}});
        text += PadLeft(std::to_string(number), 2) + "  " +
                PadRight(sensor != nullptr ? sensor->name : "?", 12) +
                PadLeft(FormatReading(type, entry.CurrentValue), 11) +
                PadLeft(FormatReading(type, entry.CriticalLower), 12) +
                PadLeft(FormatReading(type, entry.CriticalUpper), 12) + "\n";
    }
    if (c.json_output) {
        json result{{"sensors", std::move(rows)}};
        result.update(StatusFields(status));
        Print(c, std::move(result));
    } else {
        c.out << text;
    }
    return 0;
}

int WmiSetLimit(Context& c, uint32_t method, uint32_t number, int32_t value)
{
    const SensorInfo* sensor = SensorByWmiNumber(number);
    const char* which = method == WMI_METHOD_SET_CRITICAL_UPPER ? "upper" : "lower";
    const std::string label = sensor != nullptr
                                  ? std::string(sensor->name) + " (WMI sensor " + std::to_string(number) + ")"
                                  : "WMI sensor " + std::to_string(number);
    // Sent all the same: a limit out of reach is the user's to set (to silence an alarm, say).
    const std::optional<std::string> warning = UnreachableLimit(method, number, value);
    if (warning) {
        c.err << "quavctl: warning: " << *warning << "\n";
    }
    const uint32_t status = c.device.SetReportedLimit(method, number, value);
    json result{{"method", method},
                {"number", number},
                {"name", sensor != nullptr ? json(sensor->name) : json(nullptr)},
                {"value", value}};
    if (warning) {
        result["warning"] = *warning;
    }
    if (!quavtools::StatusSucceeded(status)) {
        return Refused(c, std::move(result), std::string("wmi set-critical-") + which + " " + label, status);
    }
    result.update(StatusFields(status));
    if (c.json_output) {
        Print(c, std::move(result));
    } else {
        c.out << label << ": reported critical " << which << " limit set to "
              << FormatReading(sensor != nullptr ? sensor->type : 0, value) << "\n";
    }
    return 0;
}

// What the command line gave the command that runs.
struct Arguments {
    std::string socket = quavproto::DefaultSocketPath();
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t control_class = 0;
    uint32_t index = 0;
    uint32_t code = 0;
    uint32_t pwm = 0;
    uint32_t number = 0;
    int32_t limit = 0;
    // Words as typed, turned into the numbers above once the command line is parsed.
    std::vector<std::string> sensor_words;
    std::string fan;
    std::string control_class_word;
    std::vector<std::string> code_words;
    std::string wmi_sensor;
    bool follow = false;
};

// A subcommand and what it does once the device is reached. Each command's options are bound to the
// one Arguments the command line is parsed into.
struct Command {
    CLI::App* app;
    std::function<int(Context&, const Arguments&)> run;
};

void AddSensorCommands(CLI::App& app, Arguments& bound, std::vector<Command>& commands)
{
    CLI::App* sensors = app.add_subcommand("sensors", "every sensor: reading, critical limits, state");
    commands.push_back({sensors, [](Context& c, const Arguments& args) { return Sensors(c, args.socket); }});

    CLI::App* read_sensor = app.add_subcommand("read-sensor", "read one sensor");
    read_sensor
        ->add_option("SENSOR", bound.sensor_words,
                     "the sensor's name (cpu, rear-upper, 12v, ...), or its type and id: 'temperature cpu', "
                     "'7 9' (types: 6 fan, 7 temperature, 8 voltage)")
        ->required()
        ->expected(1, 2)
        ->type_name("NAME | TYPE ID");
    Resolve(read_sensor, [&bound] {
        const SensorAddress address = ParseSensor(bound.sensor_words);
        bound.type = address.type;
        bound.id = address.id;
    });
    commands.push_back(
        {read_sensor, [](Context& c, const Arguments& args) { return ReadSensor(c, args.type, args.id); }});

    CLI::App* set_pwm = app.add_subcommand("set-pwm", "drive a fan at a PWM value");
    set_pwm->add_option("FAN", bound.fan, "the fan's name (rear-upper, rear-bottom) or id (7, 8)")
        ->required();
    set_pwm->add_option("VALUE", bound.pwm, "PWM value 0-255")->required()->check(CLI::Range(0u, 255u));
    Resolve(set_pwm, [&bound] { bound.id = NumberOrName("fan", bound.fan, SensorChoices(true)); });
    commands.push_back(
        {set_pwm, [](Context& c, const Arguments& args) { return SetPwm(c, args.id, args.pwm); }});
}

void AddControlCommands(CLI::App& app, Arguments& bound, std::vector<Command>& commands)
{
    CLI::App* controls = app.add_subcommand("controls", "every signal item and its value code");
    commands.push_back({controls, [](Context& c, const Arguments&) { return Controls(c); }});

    CLI::App* read_control = app.add_subcommand("read-control", "read one signal item");
    CLI::App* set_control = app.add_subcommand("set-control", "drive a signal item to a value code");
    for (CLI::App* command : {read_control, set_control}) {
        command
            ->add_option("CLASS", bound.control_class_word,
                         "control class (or pin-pair, signals, brightness, fwp-mode)")
            ->required();
        command->add_option("INDEX", bound.index, "index within the class")->required();
        command->footer(ValueCodeTable());
    }
    set_control
        ->add_option("CODE", bound.code_words, "value code: 0x8101, or its name: 'first low, second high'")
        ->required()
        ->expected(1, -1);
    Resolve(read_control, [&bound] {
        bound.control_class = NumberOrName("control class", bound.control_class_word, ClassChoices());
    });
    Resolve(set_control, [&bound] {
        bound.control_class = NumberOrName("control class", bound.control_class_word, ClassChoices());
        bound.code = ParseValueCode(bound.control_class, bound.code_words);
    });
    commands.push_back({read_control, [](Context& c, const Arguments& args) {
                            return ReadControl(c, args.control_class, args.index);
                        }});
    commands.push_back({set_control, [](Context& c, const Arguments& args) {
                            return SetControl(c, args.control_class, args.index, args.code);
                        }});
}

void AddWmiCommands(CLI::App& app, Arguments& bound, std::vector<Command>& commands)
{
    CLI::App* wmi = app.add_subcommand("wmi", "the WMI sensor data block");
    wmi->require_subcommand(1);
    CLI::App* wmi_query = wmi->add_subcommand("query", "the block's twelve entries");
    commands.push_back({wmi_query, [](Context& c, const Arguments&) { return WmiQuery(c); }});
    const std::pair<const char*, uint32_t> limits[] = {
        {"upper", WMI_METHOD_SET_CRITICAL_UPPER},
        {"lower", WMI_METHOD_SET_CRITICAL_LOWER},
    };
    for (const auto& limit : limits) {
        const std::string which = limit.first;
        const uint32_t method = limit.second;
        CLI::App* command =
            wmi->add_subcommand("set-critical-" + which, "set the critical " + which + " limit WMI reports");
        command->add_option("N", bound.wmi_sensor, "sensor 1-12 in the block's order, or its name")
            ->required();
        command->add_option("VALUE", bound.limit, "limit in RPM, degrees C or mV")->required();
        Resolve(command, [&bound] { bound.number = NumberOrName("sensor", bound.wmi_sensor, WmiChoices()); });
        commands.push_back({command, [method](Context& c, const Arguments& args) {
                                return WmiSetLimit(c, method, args.number, args.limit);
                            }});
    }
}

void AddLiveCommands(CLI::App& app, Arguments& bound, std::vector<Command>& commands)
{
    CLI::App* events = app.add_subcommand(
        "events", "the driver's event log as events.txt shows it (--json: events.jsonl lines)");
    events->add_flag("-f,--follow", bound.follow,
                     "go on showing new records as they come, until interrupted");
    commands.push_back({events, [](Context& c, const Arguments& args) {
                            return ShowEvents(c.device, c.json_output, args.follow, c.out);
                        }});
    CLI::App* fans =
        app.add_subcommand("fans", "each fan: speed, the stage and PWM the driver published, mode");
    commands.push_back(
        {fans, [](Context& c, const Arguments&) { return ShowFans(c.device, c.json_output, c.out); }});
}

} // namespace

int Run(int argc, const char* const* argv, const Connect& connect, std::ostream& out, std::ostream& err)
{
    CLI::App app{"quavctl: the QUAV board's health sensors and signals, through its driver"};
    app.name("quavctl");
    app.require_subcommand(1);
    app.fallthrough(); // --json and --socket also after the command
    app.set_version_flag("--version", "quavctl " QUAV_VERSION_TEXT);
    app.footer(
        "Names go without case, spaces or hyphens: 'Rear Upper', rear-upper and REAR_UPPER are one.\n"
        "set-control --help lists the value codes with their names.\n"
        "Exit status: 0 done, 1 the driver refused a request, 2 quavsim could not be reached or did not\n"
        "answer as itself, 64 a wrong command line (nothing was sent).");
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return "quavctl: " + std::string(e.what()) + "\n(quavctl --help lists the commands)\n";
    });
    bool json_output = false;
    Arguments arguments;
    app.add_flag("--json", json_output, "print the result, or the error, as one JSON object");
    app.add_option("--socket", arguments.socket, "the socket of quavsim serve")->capture_default_str();
    std::vector<Command> commands;
    AddSensorCommands(app, arguments, commands);
    AddControlCommands(app, arguments, commands);
    AddWmiCommands(app, arguments, commands);
    AddLiveCommands(app, arguments, commands);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // The help and the version succeed; CLI11's own exit codes (105 and so on) become one usage status.
        if (e.get_exit_code() != 0 && AskedForJson(argc, argv)) {
            PrintJsonError(out, e.what(), kExitUsage);
            return kExitUsage;
        }
        return app.exit(e, out, err) == 0 ? 0 : kExitUsage;
    }
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [](const Command& candidate) { return candidate.app->parsed(); });
    if (command == commands.end()) {
        app.exit(CLI::RequiredError("a command"), out, err);
        return kExitUsage;
    }

    try {
        std::unique_ptr<Transport> transport = connect(arguments.socket);
        Device device(*transport);
        Context c{device, json_output, out, err};
        return command->run(c, arguments);
    } catch (const TransportError& e) {
        if (json_output) {
            PrintJsonError(out, e.what(), kExitUnreachable);
        } else {
            err << "quavctl: " << e.what() << "\n";
        }
        return kExitUnreachable;
    }
}

} // namespace quavctl
