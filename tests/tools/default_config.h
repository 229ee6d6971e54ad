// The example configuration shipped in examples/config/default.reg, as text, for tests that boot the
// whole simulated machine.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string DefaultConfig()
{
    std::ifstream in(QUAV_DEFAULT_CONFIG, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
