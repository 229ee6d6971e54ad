// NTSTATUS values as people read them: "STATUS_INVALID_PARAMETER (0xC000000D)".
#pragma once

#include <cstdint>
#include <string>

namespace quavctl {

// Success and informational values; warnings (0x8...) and errors (0xC...) are failures.
inline bool StatusSucceeded(uint32_t status)
{
    return status < 0x80000000u;
}

// The status's name, or nullptr for one the driver and its platform never return.
const char* StatusName(uint32_t status);
// "NAME (0xXXXXXXXX)", or "status 0xXXXXXXXX" for an unknown value.
std::string FormatStatus(uint32_t status);

} // namespace quavctl
