// What the fuzz targets on the tools' inputs share: a broken property stops the run with its name, and
// libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzztools {

[[noreturn]] inline void Broken(const char* property, const std::string& detail)
{
    std::fprintf(stderr, "property broken: %s\n%s\n", property, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

inline void Require(bool holds, const char* property, const std::string& detail)
{
    if (!holds) {
        Broken(property, detail);
    }
}

} // namespace fuzztools
