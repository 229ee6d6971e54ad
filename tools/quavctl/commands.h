// quavctl's command line: sensors, read-sensor, set-pwm, controls, read-control, set-control, the WMI
// data block's query and methods, and fans, as text or (--json) as one JSON object; events, as text or
// (--json) as JSON lines.
#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "transport.h"

namespace quavctl {

// Exit codes: 0 success (and --help).
constexpr int kExitRefused = 1;     // the driver failed a request
constexpr int kExitUnreachable = 2; // quavsim could not be reached, or did not answer with a valid reply
constexpr int kExitUsage = 64;      // the command line is wrong (EX_USAGE); nothing was sent

// Makes the transport for the --socket path; throws TransportError when it cannot connect.
using Connect = std::function<std::unique_ptr<Transport>(const std::string& socket_path)>;

int Run(int argc, const char* const* argv, const Connect& connect, std::ostream& out, std::ostream& err);

} // namespace quavctl
