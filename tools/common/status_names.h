// The names of the NTSTATUS values the driver and the platform return, for the tools' messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quavtools {

// Success and informational values; warnings (0x8...) and errors (0xC...) are failures.
inline bool StatusSucceeded(uint32_t status)
{
    return status < 0x80000000u;
}

// "STATUS_IO_TIMEOUT", or nullptr for a value without a name here.
const char* StatusName(uint32_t status);
// "STATUS_IO_TIMEOUT (0xC00000B5)", or "status 0xC0000999" for a value without a name here.
std::string StatusText(uint32_t status);
// The value of a name, or nullopt.
std::optional<uint32_t> StatusFromName(const std::string& name);

} // namespace quavtools
