// The served device's protocol: one JSON request line in, one JSON reply line out, carried out on the
// simulated system as a user-mode program's calls. The wire format is in tools/common/protocol.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/user.h"

namespace quavsim {

// One connection's requests, on the handles it opened. Handle and CloseAll run on a thread attached to
// the simulation; the handles are an administrator's, as the package's device security wants.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // One request line in, one reply line out (without its newline). Never throws.
    std::string HandleLine(std::string_view line);
    nlohmann::json Handle(const nlohmann::json& request);
    // Closes the handles the client left open, as the system does when a process ends.
    void CloseAll();
    size_t OpenHandles() const { return handles_.size(); }

private:
    HANDLE HandleArgument(const nlohmann::json& request) const;
    static nlohmann::json Events(const nlohmann::json& request);
    static nlohmann::json RegistryValue(const nlohmann::json& request);

    sim::UserClient user_{true};
    std::vector<HANDLE> handles_; // oldest first
};

// The reply to a request that could not be carried out: {"error": what}.
nlohmann::json ErrorReply(const std::string& what);

} // namespace quavsim
