// The directory that keeps the served socket to its owner: the directory, not the socket's own mode, is
// what keeps other users out.
#pragma once

#include <string>

namespace quavsim {

// The directory `socket_path` lives in ("." for a bare name).
std::string SocketDirectory(const std::string& socket_path);

// Creates `dir` readable by its owner only, or accepts an existing one that is ours and closed to
// everybody else; whether it was created here (and so is ours to remove). Throws std::runtime_error.
bool MakePrivateDirectory(const std::string& dir);

} // namespace quavsim
