// The PnP manager's side of a device node: its turn, which lets one request at a time reach the stack in
// the order they were asked for, and its state, which decides what may be sent (the table in pnp.h).
#include <algorithm>
#include <cstdio>

#include "format.h"
#include "pnp.h"
#include "scheduler.h"
#include "verifier.h"

namespace sim {
namespace {

constexpr unsigned Bit(PnpState state)
{
    return 1u << static_cast<unsigned>(state);
}

// The states each state-changing request may be sent in.
struct Allowed {
    UCHAR minor;
    unsigned states;
};

constexpr Allowed kAllowed[] = {
    {IRP_MN_START_DEVICE, Bit(PnpState::Added) | Bit(PnpState::Stopped)},
    {IRP_MN_QUERY_STOP_DEVICE, Bit(PnpState::Started)},
    {IRP_MN_STOP_DEVICE, Bit(PnpState::StopPending)},
    {IRP_MN_CANCEL_STOP_DEVICE, Bit(PnpState::StopPending)},
    {IRP_MN_QUERY_REMOVE_DEVICE, Bit(PnpState::Started)},
    {IRP_MN_CANCEL_REMOVE_DEVICE, Bit(PnpState::RemovePending)},
    {IRP_MN_SURPRISE_REMOVAL, Bit(PnpState::Started) | Bit(PnpState::StopPending) | Bit(PnpState::Stopped) |
                                  Bit(PnpState::RemovePending)},
    {IRP_MN_REMOVE_DEVICE, Bit(PnpState::Added) | Bit(PnpState::StartFailed) | Bit(PnpState::Stopped) |
                               Bit(PnpState::RemovePending) | Bit(PnpState::SurpriseRemoved)},
};

bool IsAllowed(PnpState state, UCHAR minor)
{
    for (const Allowed& a : kAllowed) {
        if (a.minor == minor) {
            return (a.states & Bit(state)) != 0;
        }
    }
    return state != PnpState::Removed; // queries and the like, in any state the stack is there for
}

// The cancel the PnP manager sends after a vetoed query; 0 for other requests.
UCHAR CancelOf(UCHAR minor)
{
    return minor == IRP_MN_QUERY_STOP_DEVICE     ? IRP_MN_CANCEL_STOP_DEVICE
           : minor == IRP_MN_QUERY_REMOVE_DEVICE ? IRP_MN_CANCEL_REMOVE_DEVICE
                                                 : 0;
}

} // namespace

const char* PnpStateName(PnpState state)
{
    switch (state) {
        case PnpState::Added:
            return "never started";
        case PnpState::Started:
            return "started";
        case PnpState::StartFailed:
            return "start-failed";
        case PnpState::StopPending:
            return "stop-pending";
        case PnpState::Stopped:
            return "stopped";
        case PnpState::RemovePending:
            return "remove-pending";
        case PnpState::SurpriseRemoved:
            return "surprise-removed";
        case PnpState::Removed:
            return "removed";
    }
    return "?";
}

std::string PnpRequestName(UCHAR minor)
{
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return "start";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "query-remove";
        case IRP_MN_REMOVE_DEVICE:
            return "remove";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "cancel-remove";
        case IRP_MN_STOP_DEVICE:
            return "stop";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "query-stop";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "cancel-stop";
        case IRP_MN_SURPRISE_REMOVAL:
            return "surprise-removal";
        default:
            return Format("IRP_MJ_PNP/0x%02X", minor);
    }
}

// The node's turn for the guard's lifetime.
class PnpManager::Turn {
public:
    Turn(PnpManager& pnp, PDEVICE_OBJECT pdo) : pnp_(pnp), pdo_(pdo) { pnp_.TakeTurn(pdo_); }
    ~Turn() { pnp_.EndTurn(pdo_); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

private:
    PnpManager& pnp_;
    PDEVICE_OBJECT pdo_;
};

// What was sent and what came back, as one sentence for the caller (PnpManager::Request).
class PnpManager::Account {
public:
    explicit Account(std::string* out) : out_(out) {}
    ~Account()
    {
        if (out_ != nullptr) {
            *out_ = text_;
        }
    }
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;

    void Add(const std::string& part) { text_ += (text_.empty() ? "" : "; ") + part; }
    void Sent(UCHAR minor, NTSTATUS status, bool cancel)
    {
        Add((cancel ? "then " : "sent ") + PnpRequestName(minor) +
            (NT_SUCCESS(status)     ? std::string()
             : CancelOf(minor) != 0 ? ": vetoed with " + Hex32(status)
                                    : ": failed with " + Hex32(status)));
    }

private:
    std::string* out_;
    std::string text_;
};

PnpManager::Node& PnpManager::NodeOf(PDEVICE_OBJECT pdo)
{
    auto it = nodes_.find(pdo);
    if (it == nodes_.end()) {
        Fatal("a Plug and Play request for " + Pointer(pdo) +
              ", which is no physical device object the PnP manager made");
    }
    return it->second;
}

// A caller that finds the node busy queues an event of its own and waits on it; the caller whose turn
// ends hands the node to the first in the queue. A dispatcher wait, not a host lock: the holder runs
// drivers that block and let other simulated threads run.
void PnpManager::TakeTurn(PDEVICE_OBJECT pdo)
{
    KEVENT* mine = nullptr;
    {
        std::lock_guard lk(mu_);
        Node& node = NodeOf(pdo);
        if (!node.busy) {
            node.busy = true;
            return;
        }
        if (free_turn_events_.empty()) {
            turn_events_.push_back(std::make_unique<KEVENT>());
            free_turn_events_.push_back(turn_events_.back().get());
        }
        mine = free_turn_events_.back();
        free_turn_events_.pop_back();
        scheduler_.InitObject(&mine->Header, EventNotificationObject, 0);
        scheduler_.NameObject(mine, "the turn of " + node.instance + " for Plug and Play requests");
        node.waiting.push_back(mine);
    }
    scheduler_.Wait(&mine->Header, Executive, nullptr);
    std::lock_guard lk(mu_);
    free_turn_events_.push_back(mine);
}

void PnpManager::EndTurn(PDEVICE_OBJECT pdo)
{
    KEVENT* next = nullptr;
    {
        std::lock_guard lk(mu_);
        Node& node = NodeOf(pdo);
        if (node.waiting.empty()) {
            node.busy = false;
            return;
        }
        next = node.waiting.front();
        node.waiting.erase(node.waiting.begin());
    }
    scheduler_.SetEvent(next); // the node stays busy: it is the next caller's now
}

// The state a request leaves the node in, by how it ended. A failed stop or removal moves it all the
// same: the driver was not allowed to refuse (it is reported).
void PnpManager::Move(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status)
{
    std::lock_guard lk(mu_);
    Node& node = NodeOf(pdo);
    const bool ok = NT_SUCCESS(status);
    switch (minor) {
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (ok) {
                node.before_query.push_back(node.state);
                node.state =
                    minor == IRP_MN_QUERY_STOP_DEVICE ? PnpState::StopPending : PnpState::RemovePending;
            }
            return;
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (!node.before_query.empty() &&
                node.state ==
                    (minor == IRP_MN_CANCEL_STOP_DEVICE ? PnpState::StopPending : PnpState::RemovePending)) {
                node.state = node.before_query.back();
                node.before_query.pop_back();
            }
            return;
        case IRP_MN_START_DEVICE:
            node.state = ok ? PnpState::Started : PnpState::StartFailed;
            break;
        case IRP_MN_STOP_DEVICE:
            node.state = PnpState::Stopped;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            node.state = PnpState::SurpriseRemoved;
            break;
        case IRP_MN_REMOVE_DEVICE:
            node.state = PnpState::Removed;
            break;
        default:
            return;
    }
    node.before_query.clear(); // the queries before it are settled
}

// After a surprise removal the PnP manager sends the remove only once every handle on the stack has
// closed; the handles' requests still reach the driver meanwhile, and it refuses them.
void PnpManager::WaitForLastHandle(PDEVICE_OBJECT pdo, Account& account)
{
    KEVENT* closed;
    {
        std::lock_guard lk(mu_);
        closed = NodeOf(pdo).closed.get();
    }
    scheduler_.ResetEvent(closed);
    const Ticks since = scheduler_.Now();
    const size_t open = io_.SignalWhenStackClosed(pdo, closed);
    if (open == 0) {
        return;
    }
    scheduler_.Wait(&closed->Header, Executive, nullptr);
    account.Add(Format("waited %s for %zu open handle%s to close",
                       FormatTicks(scheduler_.Now() - since).c_str(), open, open == 1 ? "" : "s"));
}

NTSTATUS PnpManager::Deliver(PDEVICE_OBJECT pdo, UCHAR minor, Account& account)
{
    const PnpState state = State(pdo);
    if (!IsAllowed(state, minor)) {
        account.Add(PnpRequestName(minor) + " not sent: the device is " + PnpStateName(state));
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (minor == IRP_MN_REMOVE_DEVICE && state == PnpState::SurpriseRemoved) {
        WaitForLastHandle(pdo, account);
    }
    const NTSTATUS status = SendChecked(pdo, minor);
    account.Sent(minor, status, false);
    Move(pdo, minor, status);
    const UCHAR cancel = CancelOf(minor);
    if (cancel != 0 && !NT_SUCCESS(status)) {
        // The veto ends the query: every driver that saw it succeed hears the cancel.
        const NTSTATUS cancelled = SendChecked(pdo, cancel);
        account.Sent(cancel, cancelled, true);
        Move(pdo, cancel, cancelled);
    }
    return status;
}

NTSTATUS PnpManager::Request(PDEVICE_OBJECT pdo, UCHAR minor, std::string* account)
{
    Turn turn(*this, pdo);
    Account log(account);
    return Deliver(pdo, minor, log);
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT pdo, std::string* account)
{
    Turn turn(*this, pdo);
    Account log(account);
    if (State(pdo) == PnpState::StopPending) {
        // Only a caller's own query-stop is left pending; the PnP manager finishes its own at once.
        Deliver(pdo, IRP_MN_CANCEL_STOP_DEVICE, log);
    }
    if (State(pdo) == PnpState::Started) {
        const NTSTATUS status = Deliver(pdo, IRP_MN_QUERY_REMOVE_DEVICE, log);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return Deliver(pdo, IRP_MN_REMOVE_DEVICE, log);
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT pdo, std::string* account)
{
    Turn turn(*this, pdo);
    Account log(account);
    if (State(pdo) == PnpState::Started) {
        const NTSTATUS status = Deliver(pdo, IRP_MN_QUERY_STOP_DEVICE, log);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return Deliver(pdo, IRP_MN_STOP_DEVICE, log);
}

NTSTATUS PnpManager::SendOutOfOrder(PDEVICE_OBJECT pdo, UCHAR minor)
{
    Turn turn(*this, pdo);
    const NTSTATUS status = SendChecked(pdo, minor);
    Move(pdo, minor, status);
    return status;
}

} // namespace sim
