#include "scenario_run.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <sstream>

#include "actions.h"
#include "sensors.h"
#include "status_names.h"

namespace quavsim {

namespace {

constexpr uint8_t kFanMainRegister = 0x13;
constexpr uint8_t kFanControlRegister = 0x14;
constexpr uint8_t kTemperatureRegister = 0x29; // inputs 1-3: System, VRM, Backplane
constexpr std::array<uint8_t, quavtools::kFanCount> kParameterRegisters = {0x60, 0x68};

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
        std::array<double, quavtools::kFanCount> rpm{};
        for (int fan = 0; fan < static_cast<int>(quavtools::kFanCount); fan++) {
            rpm[fan] = static_cast<double>(
                board::Board::FindSensor(quavtools::kSensors[quavtools::FanSensor(fan)].name)->initial);
        }
        plant_ = std::make_unique<Plant>(*scenario_.plant, 0, rpm);
    }
    ticking_ = ramps || plant_ != nullptr;
    KeInitializeEvent(&stop_, NotificationEvent, FALSE);
    simulation_.SampleEvery(scenario_.sample);
    if (scenario_.plant) {
        simulation_.AnnotateRows([this](TraceRow& row) {
            row.ambient = scenario_.plant->ambient.At(row.time - start_);
            row.heat = scenario_.plant->heat.At(row.time - start_);
        });
    }
    // The board starts the run as the scenario says it does, before the driver's first look at it.
    ApplySensors(start_);
    Schedule();
}

ScenarioRun::~ScenarioRun()
{
    simulation_.AnnotateRows(nullptr);
}

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
    std::array<bool, quavtools::kSensorCount> scripted{};
    for (const auto& [index, timeline] : scenario_.sensors) {
        if (t < timeline.start()) {
            continue;
        }
        const quavtools::SensorInfo& sensor = quavtools::kSensors[static_cast<size_t>(index)];
        scripted[static_cast<size_t>(index)] = true;
        const double value = timeline.At(t);
        board.SetSensor(sensor.name, std::llround(value));
        if (plant_ && sensor.IsFan()) {
            plant_->OverrideRpm(sensor.fan, value);
        }
    }
    if (!plant_) {
        return;
    }
    const board::SuperIo& chip = *board.superio();
    Plant::Controller controller{.main = chip.Register(kFanMainRegister),
                                 .control = chip.Register(kFanControlRegister)};
    for (size_t input = 0; input < controller.temperature.size(); input++) {
        controller.temperature[input] =
            static_cast<int8_t>(chip.Register(static_cast<uint8_t>(kTemperatureRegister + input)));
    }
    for (int fan = 0; fan < static_cast<int>(quavtools::kFanCount); fan++) {
        controller.pwm[fan] = chip.Register(quavtools::kFanOutputs[fan].pwm_register);
        for (size_t i = 0; i < controller.parameters[fan].size(); i++) {
            controller.parameters[fan][i] = chip.Register(static_cast<uint8_t>(kParameterRegisters[fan] + i));
        }
        if (!scripted[quavtools::FanSensor(fan)]) {
            plant_->OverrideRpm(fan, std::nullopt);
        }
    }
    plant_->Advance(t, controller);
    for (int fan = 0; fan < static_cast<int>(quavtools::kFanCount); fan++) {
        if (!scripted[quavtools::FanSensor(fan)]) {
            board.SetSensor(quavtools::kSensors[quavtools::FanSensor(fan)].name,
                            std::llround(plant_->rpm(fan)));
        }
    }
    for (int node = 0; node < Plant::kNodes; node++) {
        const size_t sensor = *quavtools::SensorIndex(Plant::kNodeTable[node].sensor);
        if (!scripted[sensor]) {
            board.SetSensor(quavtools::kSensors[sensor].name, std::llround(plant_->temperature(node)));
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
        case FaultKind::SmbusArbitration:
            board.southbridge()->CollideInStatus(count);
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
    // Repeats end with the run: one that would come after its end is not made (the run does not wait
    // for it, nor does the clock go on for it).
    const sim::Ticks end = start_ + scenario_.duration;
    action_threads_.push_back(sim::StartThread("action " + action.where, [this, &action, end] {
        for (int i = 0; i < action.repeat; i++) {
            if (i > 0) {
                if (stopping_ || action.every > end - sim::Now() || !Wait(action.every)) {
                    break;
                }
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
    std::ostringstream detail;
    ActionContext context{simulation_, handles_, detail, result.result};
    result.status = action.kind->perform(action, context);
    result.detail = detail.str();
    result.unexpected = action.expect && static_cast<uint32_t>(result.status) != *action.expect;
    return result;
}

bool ScenarioRun::Run(const std::function<void(sim::Ticks now, sim::Ticks end)>& progress,
                      const std::function<bool()>& stop)
{
    const sim::Ticks end = start_ + scenario_.duration;
    // The driver's publishing takes the rows (Simulation::SampleEvery); at each multiple of the sample
    // period the run takes one if no driver polls the device.
    const sim::Ticks sample = scenario_.sample;
    sim::Ticks next_sample = (sim::Now() / sample + 1) * sample;
    sim::Ticks next_tick = ticking_ ? start_ + step_ : end + 1;
    size_t next = 0;
    while (true) {
        sim::Ticks wake = std::min({end, next_sample, next_tick});
        if (next < happenings_.size()) {
            wake = std::min(wake, happenings_[next].at);
        }
        if (wake > sim::Now() && !Wait(wake - sim::Now())) {
            break;
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
            simulation_.SampleIdle();
            next_sample += sample;
        }
        if (now >= end) {
            break;
        }
        if (stop && stop()) {
            Stop();
            break;
        }
        if (progress) {
            progress(now - start_, scenario_.duration);
        }
    }
    // Actions still repeating finish before the run is summed up.
    for (PKTHREAD thread : action_threads_) {
        sim::JoinThread(thread);
    }
    // Handles still open are closed as the end of their process would close them.
    handles_.CloseAll();
    return !stopping_;
}

void ScenarioRun::Stop()
{
    stopping_ = true;
    KeSetEvent(&stop_, IO_NO_INCREMENT, FALSE);
}

bool ScenarioRun::Wait(sim::Ticks duration)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -duration; // relative
    return KeWaitForSingleObject(&stop_, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT;
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
        if (!r.result.is_null()) {
            line["result"] = r.result;
        }
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
        out << "  " << sim::FormatClock(f.time - start_) << "  " << f.text << "\n";
    }
    // Actions by place in the scenario: how often each status came back.
    std::map<std::string, std::map<std::string, int>> outcomes;
    std::map<std::string, std::string> names;
    std::map<std::string, std::vector<std::string>> details; // of the kinds that show them
    for (const ActionResult& r : results_) {
        outcomes[r.where][quavtools::StatusText(static_cast<uint32_t>(r.status)) +
                          (r.unexpected ? " UNEXPECTED" : "")]++;
        names[r.where] = r.action;
        const ActionKind* kind = FindActionKind(r.action);
        if (kind != nullptr && kind->detail_in_summary) {
            details[r.where].push_back(sim::FormatClock(r.time - start_) + ": " + r.detail);
        }
    }
    out << "actions         " << results_.size() << "\n";
    for (const auto& [where, statuses] : outcomes) {
        out << "  " << where << " " << names[where] << ":";
        for (const auto& [status, count] : statuses) {
            out << " " << count << " x " << status;
        }
        out << "\n";
        for (const std::string& detail : details[where]) {
            out << "    " << detail << "\n";
        }
    }
    return out.str();
}

} // namespace quavsim
