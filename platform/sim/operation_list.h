// The list of what a driver may import (platform/operations.txt): the platform's operations and the few
// C runtime routines the kernel also exports. pecheck checks a built image against it, the driver checks
// the driver's objects, and the image loader refuses an image importing anything else.
#pragma once

#include <istream>
#include <set>
#include <string>

namespace sim {

struct OperationList {
    std::set<std::string> operations; // the platform's operations
    std::set<std::string> runtime;    // the C runtime routines, imported from ntoskrnl.exe only

    bool Contains(const std::string& name) const
    {
        return operations.contains(name) || runtime.contains(name);
    }
};

// One name a line, optionally followed by the word "runtime"; blank lines and lines starting with '#'
// are skipped. Any other second word throws std::runtime_error naming the line.
OperationList ParseOperationList(std::istream& in);

// The list as this build of the simulation was compiled with.
const OperationList& PlatformOperationList();

} // namespace sim
