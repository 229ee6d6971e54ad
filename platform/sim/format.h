// printf-style formatting into a std::string, for the reports of the platform and the board.
#pragma once

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

} // namespace sim
