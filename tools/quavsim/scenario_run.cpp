#include "scenario_run.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "quavpub.h"
#include "sim/pnp.h"
#include "sim/user.h"
#include "sim/wmi.h"
#include "sensors.h"
#include "status_names.h"

namespace quavsim {

namespace {

const char* Unit(int sensor)
{
    return sensor < 2 ? "RPM" : sensor < 6 ? "degrees C" : "mV";
}

constexpr uint8_t kPwmRegister[2] = {0x15, 0x16}; // the environment controller's fan PWM outputs

std::string Hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

std::string Seconds(sim::Ticks t)
{
    std::ostringstream out;
    out << static_cast<double>(t) / sim::kTicksPerSecond;
    return out.str();
}

} // namespace

ScenarioRun::ScenarioRun(Simulation& simulation, const Scenario& scenario)
    : simulation_(simulation), scenario_(scenario), start_(sim::Now())
{
    bool ramps = false;
    for (const auto& [index, timeline] : scenario_.sensors) {
        ramps = ramps || timeline.RampsWithin(0, scenario_.duration);
    }
    if (scenario_.plant) {
        step_ = scenario_.plant->step;
        std::array<double, 2> rpm{};
        for (int fan = 0; fan < 2; fan++) {
            rpm[fan] = static_cast<double>(board::Board::Sensors()[static_cast<size_t>(fan)].initial);
        }
        plant_ = std::make_unique<Plant>(*scenario_.plant, 0, rpm);
    }
    ticking_ = ramps || plant_ != nullptr;
    // The board starts the run as the scenario says it does, before the driver's first look at it.
    ApplySensors(start_);
    Schedule();
}

ScenarioRun::~ScenarioRun() = default;

void ScenarioRun::Schedule()
{
    size_t order = 0;
    auto add = [&](sim::Ticks at, std::function<void()> run) {
        if (at > scenario_.duration) {
            return; // a fault cleared after the end stays for the rest of the run
        }
        happenings_.push_back({start_ + at, order++, std::move(run)});
    };
    for (const auto& [index, timeline] : scenario_.sensors) {
        for (const TimelinePoint& p : timeline.points) {
            add(p.at, [this] { ApplySensors(sim::Now()); });
        }
    }
    for (const RegisterWrite& w : scenario_.registers) {
        add(w.at, [this, w] {
            if (w.chip == Chip::SuperIo) {
                simulation_.board().superio()->SetRegister(w.reg, w.value);
            } else {
                simulation_.board().southbridge()->SetSensorRegister(w.reg, w.value);
            }
        });
    }
    for (const Fault& f : scenario_.faults) {
        add(f.at, [this, &f] { InjectFault(f, false); });
        if (f.duration) {
            add(f.at + *f.duration, [this, &f] { InjectFault(f, true); });
        }
    }
    for (const Action& a : scenario_.actions) {
        add(a.at, [this, &a] { StartAction(a); });
    }
    std::stable_sort(happenings_.begin(), happenings_.end());
}

void ScenarioRun::ApplySensors(sim::Ticks now)
{
    const sim::Ticks t = now - start_;
    board::Board& board = simulation_.board();
    std::array<bool, 12> scripted{};
    for (const auto& [index, timeline] : scenario_.sensors) {
        if (t < timeline.start()) {
            continue;
        }
        scripted[static_cast<size_t>(index)] = true;
        const double value = timeline.At(t);
        board.SetSensor(Simulation::kSensorNames[static_cast<size_t>(index)], std::llround(value));
        if (plant_ && index < 2) {
            plant_->OverrideRpm(index, value);
        }
    }
    if (!plant_) {
        return;
    }
    std::array<unsigned, 2> pwm{};
    for (int fan = 0; fan < 2; fan++) {
        pwm[fan] = board.superio()->Register(kPwmRegister[fan]);
        if (!scripted[static_cast<size_t>(fan)]) {
            plant_->OverrideRpm(fan, std::nullopt);
        }
    }
    plant_->Advance(t, pwm);
    for (int fan = 0; fan < 2; fan++) {
        if (!scripted[static_cast<size_t>(fan)]) {
            board.SetSensor(Simulation::kSensorNames[static_cast<size_t>(fan)],
                            std::llround(plant_->rpm(fan)));
        }
    }
    for (int node = 0; node < Plant::kNodes; node++) {
        const size_t sensor = 2 + static_cast<size_t>(node);
        if (!scripted[sensor]) {
            board.SetSensor(Simulation::kSensorNames[sensor], std::llround(plant_->temperature(node)));
        }
    }
}

void ScenarioRun::InjectFault(const Fault& fault, bool clear)
{
    board::Board& board = simulation_.board();
    const int count = clear ? 0 : fault.count.value_or(-1);
    switch (fault.kind) {
        case FaultKind::ControllerBusy:
            board.superio()->HoldBusy(count);
            break;
        case FaultKind::SmbusHang:
            board.southbridge()->HangTransactions(count);
            break;
        case FaultKind::SmbusCollision:
            board.southbridge()->CollideOnStart(count);
            break;
        case FaultKind::SensorAbsent:
            board.southbridge()->SetSensorPresent(clear);
            break;
    }
    std::string text = clear ? std::string("cleared ") + FaultName(fault.kind) : FaultName(fault.kind);
    if (!clear) {
        const char* unit = fault.kind == FaultKind::ControllerBusy ? " busy reads" : " transactions";
        text += fault.count      ? " " + std::to_string(*fault.count) + unit
                : fault.duration ? " for " + Seconds(*fault.duration) + " s"
                                 : " for the rest of the run";
    }
    faults_.push_back({sim::Now(), std::move(text)});
}

void ScenarioRun::StartAction(const Action& action)
{
    action_threads_.push_back(sim::StartThread("action " + action.where, [this, &action] {
        for (int i = 0; i < action.repeat; i++) {
            if (i > 0) {
                sim::Sleep(action.every);
            }
            ActionResult result = Perform(action);
            std::lock_guard lk(results_mu_);
            results_.push_back(std::move(result));
        }
    }));
}

ActionResult ScenarioRun::Perform(const Action& action)
{
    ActionResult result;
    result.time = sim::Now();
    result.action = action.name;
    result.where = action.where;
    sim::Machine& machine = simulation_.machine();

    auto device_control = [&](ULONG code, const void* in, ULONG in_size, void* out, ULONG out_size,
                              ULONG* returned) {
        sim::UserClient client(true);
        HANDLE handle = nullptr;
        NTSTATUS status = client.Open(u"\\\\.\\QUAVDSL", &handle);
        if (NT_SUCCESS(status)) {
            status = client.DeviceIoControl(handle, code, in, in_size, out, out_size, returned);
            client.Close(handle);
        }
        return status;
    };
    ULONG returned = 0;
    std::ostringstream detail;
    switch (action.kind) {
        case ActionKind::ReadSensor:
        case ActionKind::SetPwm: {
            struct {
                SENSOR_RECORD record;
                ULONG pwm;
            } in{};
            // quavtools::kSensors is in the order of Simulation::kSensorNames.
            in.record.SensorType = quavtools::kSensors[static_cast<size_t>(action.sensor)].type;
            in.record.SensorId = quavtools::kSensors[static_cast<size_t>(action.sensor)].id;
            in.pwm = action.value;
            SENSOR_RECORD out{};
            const bool set = action.kind == ActionKind::SetPwm;
            result.status = device_control(set ? IOCTL_QUAV_SET_FAN_PWM : IOCTL_QUAV_READ_SENSOR, &in,
                                           set ? sizeof in : sizeof in.record, &out, sizeof out, &returned);
            detail << Simulation::kSensorNames[action.sensor];
            if (set) {
                detail << " PWM " << action.value;
            }
            if (NT_SUCCESS(result.status)) {
                detail << " " << out.CurrentValue << " " << Unit(action.sensor) << " (critical "
                       << out.CriticalLower << ".." << out.CriticalUpper << ")";
            }
            break;
        }
        case ActionKind::ReadControl:
        case ActionKind::SetControl: {
            struct {
                CONTROL_RECORD record;
                ULONG code;
            } in{};
            in.record.ControlClass = action.control_class;
            in.record.ControlIndex = action.control_index;
            in.code = action.value;
            CONTROL_RECORD out{};
            const bool set = action.kind == ActionKind::SetControl;
            result.status = device_control(set ? IOCTL_QUAV_SET_CONTROL : IOCTL_QUAV_READ_CONTROL, &in,
                                           set ? sizeof in : sizeof in.record, &out, sizeof out, &returned);
            detail << "class " << action.control_class << " index " << action.control_index;
            if (NT_SUCCESS(result.status)) {
                detail << " value " << Hex32(out.CurrentValue);
            }
            break;
        }
        case ActionKind::DeviceControl: {
            std::vector<uint8_t> out(action.output_size);
            result.status =
                device_control(action.code, action.input.data(), static_cast<ULONG>(action.input.size()),
                               out.data(), action.output_size, &returned);
            detail << "code " << Hex32(action.code) << ", " << returned << " bytes back";
            break;
        }
        case ActionKind::WmiQuery: {
            std::vector<uint8_t> data;
            result.status = machine.wmi().QueryAllData(QUAV_SENSOR_DATA_GUID_INIT, &data);
            if (NT_SUCCESS(result.status)) {
                const size_t entries = data.size() / sizeof(SENSOR_DATA_ENTRY);
                detail << entries << " entries";
                if (entries > 2) {
                    SENSOR_DATA_ENTRY cpu;
                    std::memcpy(&cpu, data.data() + 2 * sizeof cpu, sizeof cpu);
                    detail << ", CPU " << cpu.CurrentValue << " degrees C (critical " << cpu.CriticalLower
                           << ".." << cpu.CriticalUpper << ")";
                }
            }
            break;
        }
        case ActionKind::WmiMethod: {
            const SENSOR_METHOD_INPUT in{action.wmi_sensor, static_cast<LONG>(action.value)};
            std::vector<uint8_t> out;
            result.status =
                machine.wmi().ExecuteMethod(QUAV_SENSOR_DATA_GUID_INIT, 0, action.code,
                                            {reinterpret_cast<const uint8_t*>(&in), sizeof in}, 0, &out);
            detail << "sensor " << action.wmi_sensor << " to " << static_cast<LONG>(action.value);
            break;
        }
        case ActionKind::Pnp:
            result.status = simulation_.pdo() != nullptr
                                ? machine.pnp().Request(simulation_.pdo(), action.pnp_minor)
                                : STATUS_NO_SUCH_DEVICE;
            break;
    }
    result.detail = detail.str();
    result.unexpected = action.expect && static_cast<uint32_t>(result.status) != *action.expect;
    return result;
}

void ScenarioRun::Run(const std::function<void(sim::Ticks now, sim::Ticks end)>& progress)
{
    const sim::Ticks end = start_ + scenario_.duration;
    const sim::Ticks sample = scenario_.sample;
    // Samples sit half a period off whole seconds, so that a sample never races a poll.
    sim::Ticks next_sample = (sim::Now() / sample) * sample + sample / 2;
    while (next_sample <= sim::Now()) {
        next_sample += sample;
    }
    sim::Ticks next_tick = ticking_ ? start_ + step_ : end + 1;
    const sim::Ticks report_every = std::max<sim::Ticks>(scenario_.duration / 100, 1);
    sim::Ticks next_report = start_ + report_every;
    size_t next = 0;
    while (true) {
        sim::Ticks wake = std::min({end, next_sample, next_tick});
        if (next < happenings_.size()) {
            wake = std::min(wake, happenings_[next].at);
        }
        if (wake > sim::Now()) {
            sim::Sleep(wake - sim::Now());
        }
        const sim::Ticks now = sim::Now();
        while (next < happenings_.size() && happenings_[next].at <= now) {
            happenings_[next++].run();
        }
        if (next_tick <= now) {
            ApplySensors(now);
            next_tick += step_;
        }
        if (next_sample <= now && now < end) {
            simulation_.Sample();
            next_sample += sample;
        }
        if (progress && now >= next_report) {
            progress(now - start_, scenario_.duration);
            next_report += report_every;
        }
        if (now >= end) {
            break;
        }
    }
    // Actions still repeating finish before the run is summed up.
    for (PKTHREAD thread : action_threads_) {
        sim::JoinThread(thread);
    }
    if (progress) {
        progress(scenario_.duration, scenario_.duration);
    }
}

size_t ScenarioRun::Unexpected() const
{
    std::lock_guard lk(results_mu_);
    return static_cast<size_t>(
        std::count_if(results_.begin(), results_.end(), [](const ActionResult& r) { return r.unexpected; }));
}

std::string ScenarioRun::ResultsJsonLines() const
{
    std::lock_guard lk(results_mu_);
    std::string out;
    for (const ActionResult& r : results_) {
        nlohmann::json line = {
            {"time", static_cast<double>(r.time) / sim::kTicksPerSecond},
            {"action", r.action},
            {"where", r.where},
            {"status", static_cast<uint32_t>(r.status)},
            {"status_name", quavtools::StatusText(static_cast<uint32_t>(r.status))},
            {"detail", r.detail},
            {"unexpected", r.unexpected},
        };
        out += line.dump() + "\n";
    }
    return out;
}

std::string ScenarioRun::Summary() const
{
    std::lock_guard lk(results_mu_);
    std::ostringstream out;
    out << "faults injected " << std::count_if(faults_.begin(), faults_.end(), [](const InjectedFault& f) {
        return f.text.rfind("cleared", 0) != 0;
    }) << "\n";
    for (const InjectedFault& f : faults_) {
        out << "  " << sim::FormatTicks(f.time - start_) << "  " << f.text << "\n";
    }
    // Actions by place in the scenario: how often each status came back.
    std::map<std::string, std::map<std::string, int>> outcomes;
    std::map<std::string, std::string> names;
    for (const ActionResult& r : results_) {
        outcomes[r.where][quavtools::StatusText(static_cast<uint32_t>(r.status)) +
                          (r.unexpected ? " UNEXPECTED" : "")]++;
        names[r.where] = r.action;
    }
    out << "actions         " << results_.size() << "\n";
    for (const auto& [where, statuses] : outcomes) {
        out << "  " << where << " " << names[where] << ":";
        for (const auto& [status, count] : statuses) {
            out << " " << count << " x " << status;
        }
        out << "\n";
    }
    return out.str();
}

} // namespace quavsim
