// Files the tools' tests read whole: the example configuration shipped in examples/config/default.reg,
// for tests that boot the whole simulated machine, and any other text or bytes.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes, or "" when it cannot be read.
inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string DefaultConfig()
{
    return ReadText(QUAV_DEFAULT_CONFIG);
}
