#include "actions.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "quavpub.h"
#include "sensors.h"
#include "sim/pnp.h"
#include "sim/user.h"
#include "sim/wmi.h"

namespace quavsim {

namespace {

// The Plug and Play requests a "pnp" action can send, in the order a complaint lists them.
const std::vector<std::pair<std::string, uint8_t>> kPnpRequests = {
    {"start", IRP_MN_START_DEVICE},
    {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
    {"stop", IRP_MN_STOP_DEVICE},
    {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
    {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
    {"remove", IRP_MN_REMOVE_DEVICE},
    {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    {"surprise-removal", IRP_MN_SURPRISE_REMOVAL},
};

// "a, b or c".
std::string Alternatives(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size(); i++) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return text;
}

// A request on the action's named handle; without one, on a handle of its own, as a client that opens
// the device for each request would.
NTSTATUS DeviceControl(const Action& action, ActionContext& c, ULONG code, const void* in, ULONG in_size,
                       void* out, ULONG out_size, ULONG* returned)
{
    if (!action.handle.empty()) {
        const std::shared_ptr<Handles::Entry> entry = c.handles.Find(action.handle);
        if (entry == nullptr) {
            c.detail << "handle " << action.handle << " is not open; ";
            return STATUS_INVALID_HANDLE;
        }
        return entry->client->DeviceIoControl(entry->handle, code, in, in_size, out, out_size, returned);
    }
    sim::UserClient client(true);
    HANDLE handle = nullptr;
    NTSTATUS status = client.Open(u"" QUAV_USER_PATH_TEXT, &handle);
    if (NT_SUCCESS(status)) {
        status = client.DeviceIoControl(handle, code, in, in_size, out, out_size, returned);
        client.Close(handle);
    }
    return status;
}

std::string HexBytes(const uint8_t* bytes, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; i++) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::string Hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// read-sensor and set-pwm

void ReadSensorName(const ActionFields& f, Action& action)
{
    const ScenarioReader& r = f.reader;
    action.sensor = r.SensorIndex(r.String(r.Required(f.object, f.where, "sensor"), f.Place("sensor")),
                                  f.Place("sensor"));
}

void ReadReadSensor(const ActionFields& f, Action& action)
{
    ReadSensorName(f, action);
    if (f.object.contains("value")) {
        f.reader.Fail(f.Place("value"), "read-sensor takes no value");
    }
}

void ReadSetPwm(const ActionFields& f, Action& action)
{
    ReadSensorName(f, action);
    if (!quavtools::kSensors[static_cast<size_t>(action.sensor)].IsFan()) {
        std::vector<std::string> fans;
        for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
            if (sensor.IsFan()) {
                fans.push_back('"' + std::string(sensor.name) + '"');
            }
        }
        f.reader.Fail(f.Place("sensor"), "set-pwm takes a fan: " + Alternatives(fans));
    }
    action.value = f.Unsigned("value", 0, 255);
}

NTSTATUS SensorRequest(const Action& action, bool set, ActionContext& c)
{
    std::ostream& detail = c.detail;
    const quavtools::SensorInfo& sensor = quavtools::kSensors[static_cast<size_t>(action.sensor)];
    struct {
        SENSOR_RECORD record;
        ULONG pwm;
    } in{};
    in.record.SensorType = sensor.type;
    in.record.SensorId = sensor.id;
    in.pwm = action.value;
    SENSOR_RECORD out{};
    ULONG returned = 0;
    const NTSTATUS status =
        DeviceControl(action, c, set ? IOCTL_QUAV_SET_FAN_PWM : IOCTL_QUAV_READ_SENSOR, &in,
                      set ? sizeof in : sizeof in.record, &out, sizeof out, &returned);
    detail << sensor.name;
    if (set) {
        // The driver sets the duty and hands the record back as it came: nothing in it was read.
        detail << " PWM " << action.value;
        if (NT_SUCCESS(status)) {
            c.result["returned"] = returned;
        }
        return status;
    }
    // A read fills the reading (Value and CurrentValue) and leaves the rest of the record as sent.
    if (NT_SUCCESS(status)) {
        detail << " " << out.CurrentValue << " " << sensor.Unit();
        c.result["returned"] = returned;
        c.result["record"] = {{"sensor_type", out.SensorType},
                              {"sensor_id", out.SensorId},
                              {"value", out.Value},
                              {"current_value", out.CurrentValue}};
    }
    return status;
}

NTSTATUS PerformReadSensor(const Action& action, ActionContext& c)
{
    return SensorRequest(action, false, c);
}

NTSTATUS PerformSetPwm(const Action& action, ActionContext& c)
{
    return SensorRequest(action, true, c);
}

// read-control and set-control

void ReadReadControl(const ActionFields& f, Action& action)
{
    action.control_class = f.Unsigned("class", 0, 0xFFFFFFFFLL);
    action.control_index = f.Unsigned("index", 0, 0xFFFFFFFFLL);
}

void ReadSetControl(const ActionFields& f, Action& action)
{
    ReadReadControl(f, action);
    action.value = f.Unsigned("code", 0, 0xFFFFFFFFLL);
}

NTSTATUS ControlRequest(const Action& action, bool set, ActionContext& c)
{
    struct {
        CONTROL_RECORD record;
        ULONG code;
    } in{};
    in.record.ControlClass = action.control_class;
    in.record.ControlIndex = action.control_index;
    in.code = action.value;
    CONTROL_RECORD out{};
    ULONG returned = 0;
    const NTSTATUS status =
        DeviceControl(action, c, set ? IOCTL_QUAV_SET_CONTROL : IOCTL_QUAV_READ_CONTROL, &in,
                      set ? sizeof in : sizeof in.record, &out, sizeof out, &returned);
    c.detail << "class " << action.control_class << " index " << action.control_index;
    if (NT_SUCCESS(status)) {
        c.detail << " value " << Hex32(out.CurrentValue);
        c.result["returned"] = returned;
        c.result["record"] = {{"control_class", out.ControlClass},
                              {"control_index", out.ControlIndex},
                              {"value", out.Value},
                              {"current_value", out.CurrentValue}};
    }
    return status;
}

NTSTATUS PerformReadControl(const Action& action, ActionContext& c)
{
    return ControlRequest(action, false, c);
}

NTSTATUS PerformSetControl(const Action& action, ActionContext& c)
{
    return ControlRequest(action, true, c);
}

// device-control

void ReadDeviceControl(const ActionFields& f, Action& action)
{
    action.code = f.Unsigned("code", 0, 0xFFFFFFFFLL);
    if (f.object.contains("input")) {
        const std::string hex = f.reader.String(f.object["input"], f.Place("input"));
        if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            f.reader.Fail(f.Place("input"), "expected hex digits, two a byte");
        }
        for (size_t i = 0; i < hex.size(); i += 2) {
            action.input.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
    }
    action.output_size = f.object.contains("output_size") ? f.Unsigned("output_size", 0, 65536) : 0;
}

NTSTATUS PerformDeviceControl(const Action& action, ActionContext& c)
{
    std::vector<uint8_t> out(action.output_size);
    ULONG returned = 0;
    const NTSTATUS status =
        DeviceControl(action, c, action.code, action.input.data(), static_cast<ULONG>(action.input.size()),
                      out.data(), action.output_size, &returned);
    c.detail << "code " << Hex32(action.code) << ", " << returned << " bytes back";
    c.result["returned"] = returned;
    c.result["output"] = HexBytes(out.data(), std::min<size_t>(returned, out.size()));
    return status;
}

// wmi-query, wmi-set-critical-upper and wmi-set-critical-lower

void ReadNothing(const ActionFields&, Action&) {}

// The whole block, every entry in the result; the CPU's entry shows in the detail.
NTSTATUS PerformWmiQuery(const Action&, ActionContext& c)
{
    std::ostream& detail = c.detail;
    std::vector<uint8_t> data;
    const NTSTATUS status = c.simulation.machine().wmi().QueryAllData(QUAV_SENSOR_DATA_GUID_INIT, &data);
    if (NT_SUCCESS(status)) {
        const size_t entries = data.size() / sizeof(SENSOR_DATA_ENTRY);
        c.result["entries"] = nlohmann::json::array();
        for (size_t i = 0; i < entries; i++) {
            SENSOR_DATA_ENTRY entry;
            std::memcpy(&entry, data.data() + i * sizeof entry, sizeof entry);
            c.result["entries"].push_back({{"sensor", i + 1},
                                           {"reading", entry.CurrentValue},
                                           {"critical_upper", entry.CriticalUpper},
                                           {"critical_lower", entry.CriticalLower}});
        }
        detail << entries << " entries";
        const quavtools::SensorInfo& cpu = *quavtools::FindSensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU);
        if (entries >= cpu.wmi_number) {
            SENSOR_DATA_ENTRY entry;
            std::memcpy(&entry, data.data() + (cpu.wmi_number - 1) * sizeof entry, sizeof entry);
            detail << ", " << cpu.name << " " << entry.CurrentValue << " " << cpu.Unit() << " (critical "
                   << entry.CriticalLower << ".." << entry.CriticalUpper << ")";
        }
    }
    return status;
}

void ReadWmiLimit(const ActionFields& f, Action& action, uint32_t method)
{
    action.code = method;
    action.wmi_sensor = f.Unsigned("sensor", 0, 0xFFFFFFFFLL);
    action.value = static_cast<uint32_t>(static_cast<int32_t>(f.reader.Integer(
        f.reader.Required(f.object, f.where, "value"), f.Place("value"), INT32_MIN, INT32_MAX)));
}

void ReadWmiUpper(const ActionFields& f, Action& action)
{
    ReadWmiLimit(f, action, WMI_METHOD_SET_CRITICAL_UPPER);
}

void ReadWmiLower(const ActionFields& f, Action& action)
{
    ReadWmiLimit(f, action, WMI_METHOD_SET_CRITICAL_LOWER);
}

NTSTATUS PerformWmiMethod(const Action& action, ActionContext& c)
{
    const SENSOR_METHOD_INPUT in{action.wmi_sensor, static_cast<LONG>(action.value)};
    std::vector<uint8_t> out;
    const NTSTATUS status = c.simulation.machine().wmi().ExecuteMethod(
        QUAV_SENSOR_DATA_GUID_INIT, 0, action.code, {reinterpret_cast<const uint8_t*>(&in), sizeof in}, 0,
        &out);
    c.result["output"] = HexBytes(out.data(), out.size());
    c.detail << "sensor " << action.wmi_sensor << " to " << static_cast<LONG>(action.value);
    return status;
}

// pnp

void ReadPnp(const ActionFields& f, Action& action)
{
    const std::string request =
        f.reader.String(f.reader.Required(f.object, f.where, "request"), f.Place("request"));
    auto it = std::find_if(kPnpRequests.begin(), kPnpRequests.end(),
                           [&](const auto& known) { return known.first == request; });
    if (it == kPnpRequests.end()) {
        std::vector<std::string> names;
        for (const auto& [name, minor] : kPnpRequests) {
            names.push_back(name);
        }
        f.reader.Fail(f.Place("request"),
                      "no Plug and Play request \"" + request + "\" (expected " + Alternatives(names) + ")");
    }
    action.pnp_minor = it->second;
}

// "remove" and "stop" are carried out as the PnP manager does when asked to remove or stop a device
// (with the query first, and the cancel after a veto); the others are the one request, sent only when the
// device's state allows it. The detail says what was sent and what came back, or why nothing was.
NTSTATUS PerformPnp(const Action& action, ActionContext& c)
{
    Simulation& simulation = c.simulation;
    std::ostream& detail = c.detail;
    if (simulation.pdo() == nullptr) {
        detail << "not sent: there is no device";
        return STATUS_NO_SUCH_DEVICE;
    }
    sim::PnpManager& pnp = simulation.machine().pnp();
    std::string account;
    NTSTATUS status;
    switch (action.pnp_minor) {
        case IRP_MN_REMOVE_DEVICE:
            status = pnp.Remove(simulation.pdo(), &account);
            break;
        case IRP_MN_STOP_DEVICE:
            status = pnp.Stop(simulation.pdo(), &account);
            break;
        default:
            status = pnp.Request(simulation.pdo(), action.pnp_minor, &account);
            break;
    }
    detail << account;
    return status;
}

// open and close

void ReadOpen(const ActionFields& f, Action& action)
{
    const std::string as = f.reader.String(f.reader.Required(f.object, f.where, "as"), f.Place("as"));
    if (as != "user" && as != "administrator") {
        f.reader.Fail(f.Place("as"), "expected \"user\" or \"administrator\"");
    }
    action.administrator = as == "administrator";
    const std::string path =
        f.object.contains("path") ? f.reader.String(f.object["path"], f.Place("path")) : QUAV_USER_PATH_TEXT;
    if (path.empty() ||
        std::any_of(path.begin(), path.end(), [](char ch) { return ch < 0x20 || ch > 0x7E; })) {
        f.reader.Fail(f.Place("path"), "expected a path in printable ASCII, such as \"\\\\.\\QUAVDSL\"");
    }
    action.path.assign(path.begin(), path.end());
}

void ReadClose(const ActionFields& f, Action&)
{
    f.reader.Required(f.object, f.where, "handle");
}

NTSTATUS PerformOpen(const Action& action, ActionContext& c)
{
    const NTSTATUS status = c.handles.Open(action.handle, action.administrator, action.path);
    c.detail << (action.administrator ? "administrator" : "user") << " opened "
             << std::string(action.path.begin(), action.path.end());
    if (!action.handle.empty()) {
        c.detail << " as " << action.handle;
    }
    return status;
}

NTSTATUS PerformClose(const Action& action, ActionContext& c)
{
    c.detail << "closed " << action.handle;
    return c.handles.Close(action.handle);
}

} // namespace

NTSTATUS Handles::Open(const std::string& name, bool administrator, const std::u16string& path)
{
    auto entry = std::make_shared<Entry>();
    entry->client = std::make_unique<sim::UserClient>(administrator);
    if (!name.empty() && Find(name) != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = entry->client->Open(path, &entry->handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (name.empty()) {
        return entry->client->Close(entry->handle);
    }
    std::lock_guard lk(mu_);
    open_[name] = std::move(entry);
    return status;
}

std::shared_ptr<Handles::Entry> Handles::Find(const std::string& name) const
{
    std::lock_guard lk(mu_);
    auto it = open_.find(name);
    return it == open_.end() ? nullptr : it->second;
}

NTSTATUS Handles::Close(const std::string& name)
{
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lk(mu_);
        auto it = open_.find(name);
        if (it == open_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = std::move(it->second);
        open_.erase(it);
    }
    return entry->client->Close(entry->handle);
}

void Handles::CloseAll()
{
    std::map<std::string, std::shared_ptr<Entry>> open;
    {
        std::lock_guard lk(mu_);
        open.swap(open_);
    }
    for (auto& [name, entry] : open) {
        entry->client->Close(entry->handle);
    }
}

uint32_t ActionFields::Unsigned(const char* key, int64_t low, int64_t high) const
{
    return static_cast<uint32_t>(reader.Integer(reader.Required(object, where, key), Place(key), low, high));
}

// read-sensor takes "value" only to refuse it with a clearer word than "unknown field"; read-control
// takes and ignores "code", as it always has.
const std::vector<ActionKind>& ActionKinds()
{
    static const std::vector<ActionKind> kinds = {
        {"read-sensor", {"sensor", "value", "handle"}, ReadReadSensor, PerformReadSensor, false},
        {"set-pwm", {"sensor", "value", "handle"}, ReadSetPwm, PerformSetPwm, false},
        {"read-control", {"class", "index", "code", "handle"}, ReadReadControl, PerformReadControl, false},
        {"set-control", {"class", "index", "code", "handle"}, ReadSetControl, PerformSetControl, false},
        {"device-control",
         {"code", "input", "output_size", "handle"},
         ReadDeviceControl,
         PerformDeviceControl,
         false},
        {"wmi-query", {}, ReadNothing, PerformWmiQuery, false},
        {"wmi-set-critical-upper", {"sensor", "value"}, ReadWmiUpper, PerformWmiMethod, false},
        {"wmi-set-critical-lower", {"sensor", "value"}, ReadWmiLower, PerformWmiMethod, false},
        {"pnp", {"request"}, ReadPnp, PerformPnp, true},
        {"open", {"as", "path", "handle"}, ReadOpen, PerformOpen, true},
        {"close", {"handle"}, ReadClose, PerformClose, false},
    };
    return kinds;
}

const ActionKind* FindActionKind(std::string_view name)
{
    for (const ActionKind& kind : ActionKinds()) {
        if (name == kind.name) {
            return &kind;
        }
    }
    return nullptr;
}

void ReadActionKind(const ScenarioReader& reader, const nlohmann::json& object, const std::string& where,
                    Action& action)
{
    action.name =
        reader.String(reader.Required(object, where, "action"), ScenarioReader::Join(where, "action"));
    action.kind = FindActionKind(action.name);
    if (action.kind == nullptr) {
        std::vector<std::string> names;
        for (const ActionKind& kind : ActionKinds()) {
            names.push_back(kind.name);
        }
        std::sort(names.begin(), names.end());
        reader.Fail(ScenarioReader::Join(where, "action"),
                    "no action \"" + action.name + "\" (expected " + ScenarioReader::List(names) + ")");
    }
    std::vector<const char*> allowed = {"at", "action", "repeat", "every", "expect"};
    allowed.insert(allowed.end(), action.kind->fields.begin(), action.kind->fields.end());
    reader.Keys(object, where, allowed, action.name);
    if (object.contains("handle")) {
        action.handle = reader.String(object["handle"], ScenarioReader::Join(where, "handle"));
        if (action.handle.empty()) {
            reader.Fail(ScenarioReader::Join(where, "handle"), "expected a name");
        }
    }
    action.kind->read(ActionFields{reader, object, where}, action);
}

void CheckHandles(const ScenarioReader& reader, const std::vector<Action>& actions)
{
    std::set<std::string> opened;
    for (const Action& a : actions) {
        if (a.name == "open" && !a.handle.empty()) {
            opened.insert(a.handle);
        }
    }
    for (const Action& a : actions) {
        if (!a.handle.empty() && opened.count(a.handle) == 0) {
            reader.Fail(ScenarioReader::Join(a.where, "handle"),
                        "no \"open\" action opens a handle \"" + a.handle + "\"");
        }
    }
}

} // namespace quavsim
