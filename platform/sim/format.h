// printf-style formatting into a std::string, for the reports of the platform and the board.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, format, args...);
    return buf;
}

// "0x402A0008": a status or message id as the kernel's tools print it.
inline std::string Hex32(uint32_t value)
{
    return Format("0x%08X", static_cast<unsigned>(value));
}

// A pointer, for naming objects in reports.
inline std::string Pointer(const void* p)
{
    return Format("%p", p);
}

} // namespace sim
