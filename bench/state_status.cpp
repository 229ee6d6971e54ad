#include "state_status.h"

namespace races {

Phase PhaseOf(sim::PnpState state)
{
    switch (state) {
        case sim::PnpState::Started:
            return Phase::Accepting;
        case sim::PnpState::SurpriseRemoved:
            return Phase::Surprise;
        case sim::PnpState::Removed:
            return Phase::Gone;
        default:
            return Phase::Refusing;
    }
}

const char* PhaseName(Phase phase)
{
    switch (phase) {
        case Phase::Accepting:
            return "accepting";
        case Phase::Refusing:
            return "refusing";
        case Phase::Surprise:
            return "surprise-removed";
        case Phase::Gone:
            return "removed";
    }
    return "?";
}

namespace {

// A request on a started device, by what it asks.
std::set<NTSTATUS> AcceptedRequest(const ActContext& a)
{
    switch (a.kind) {
        case RequestKind::ShortBuffer:
            return {STATUS_BUFFER_TOO_SMALL};
        case RequestKind::ReadSensor:
        case RequestKind::SetPwm:
        case RequestKind::ReadControl:
            if (a.faults) {
                // The chips' errors as the driver passes them on: the controller stays busy, an SMBus
                // transaction times out, collides or finds no sensor.
                return {STATUS_SUCCESS,    STATUS_DEVICE_BUSY,  STATUS_TIMEOUT,
                        STATUS_IO_TIMEOUT, STATUS_UNSUCCESSFUL, STATUS_NO_SUCH_DEVICE};
            }
            return {STATUS_SUCCESS};
        default:
            return {STATUS_SUCCESS};
    }
}

bool IsWmi(RequestKind kind)
{
    return kind == RequestKind::WmiQuery || kind == RequestKind::WmiSetCritical;
}

} // namespace

std::set<NTSTATUS> Allowed(const ActContext& a, Phase phase)
{
    switch (a.act) {
        case Act::Close:
            return {STATUS_SUCCESS};
        case Act::Open:
            if (phase == Phase::Surprise || phase == Phase::Gone) {
                return {STATUS_OBJECT_NAME_NOT_FOUND};
            }
            if (!a.administrator) {
                return {STATUS_ACCESS_DENIED};
            }
            return {phase == Phase::Accepting ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED};
        case Act::Request:
            break;
    }
    if (phase == Phase::Accepting) {
        return AcceptedRequest(a);
    }
    if (phase == Phase::Gone && IsWmi(a.kind)) {
        return {STATUS_WMI_GUID_NOT_FOUND};
    }
    return {STATUS_DEVICE_NOT_CONNECTED};
}

std::set<NTSTATUS> Allowed(const ActContext& a, const std::set<Phase>& phases, bool transition)
{
    std::set<NTSTATUS> allowed;
    std::set<Phase> met = phases;
    if (transition) {
        met.insert(Phase::Refusing);
        if (a.act == Act::Request) {
            allowed.insert(STATUS_DELETE_PENDING);
        }
    }
    for (Phase p : met) {
        const std::set<NTSTATUS> s = Allowed(a, p);
        allowed.insert(s.begin(), s.end());
    }
    return allowed;
}

} // namespace races
