// The names of the NTSTATUS values the driver and the platform return, for the tools' messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quavtools {

// "STATUS_IO_TIMEOUT", or nullptr for a value without a name here.
const char* StatusName(uint32_t status);
// "STATUS_IO_TIMEOUT (0xC00000B5)", or "0xC0000999" alone.
std::string StatusText(uint32_t status);
// The value of a name, or nullopt.
std::optional<uint32_t> StatusFromName(const std::string& name);

} // namespace quavtools
