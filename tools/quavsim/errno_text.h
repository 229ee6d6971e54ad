// The host's reason for a failed system call, after what was tried: "cannot bind /x: Permission denied".
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace quavsim {

inline std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace quavsim
