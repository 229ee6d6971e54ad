// quav.inf from its template: the driver's date and version, and the AddReg lines that install the
// configuration defaults of a .reg file under the service key.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quavinf {

// The service key as the .reg file names it (kernel form); the INF's service AddReg writes below it as HKR.
inline constexpr std::string_view kServiceKey =
    "\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QUAV";

// AddReg lines for every key and value of the .reg text, relative to the service key, in file order;
// an empty key becomes a key-only line. Only dword and string values, all below the service key, can
// be installed: anything else throws sim::RegFileError naming its line, as do syntax errors.
std::vector<std::string> ConfigAddReg(std::string_view reg_text);

// A template that cannot be filled in; the message names the template's line.
class TemplateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DriverVersion {
    std::string date;    // MM/DD/YYYY
    std::string version; // w.x.y.z, each at most 65535
};

// The INF: `inf_template` with @DRIVER_DATE@ and @DRIVER_VERSION@ replaced, @DEVICE_SECURITY@ and
// @DEVICE_CHARACTERISTICS@ (each exactly once) by the device security the simulation's PnP manager also
// applies (sim/device_security.h), and its one @CONFIG_ADDREG@ line replaced by ConfigAddReg's lines, in
// ASCII with CRLF line ends. A malformed date or version throws std::invalid_argument; a non-ASCII
// template, or a missing, repeated or unknown placeholder, TemplateError.
std::string GenerateInf(std::string_view inf_template, std::string_view reg_text,
                        const DriverVersion& version);

} // namespace quavinf
