// The checks of a built kernel image: a PE32 i386 native driver (no DLL), imports by name from the
// kernel's modules of names in the platform operations list only, nothing of the C++ runtime, the
// driver's message table identical to the simulation's and a version resource, and a valid checksum.
#pragma once

#include <cstdint>
#include <istream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/eventlog.h"
#include "sim/operation_list.h"

namespace pecheck {

struct Result {
    std::string name;
    bool ok;
    std::string detail; // the reason of a failure; what was found for a pass
};

struct Expected {
    sim::OperationList operations;               // the names the image may import
    std::span<const sim::MessageEntry> messages; // its message table, in the simulation's form
};

// The platform operations list (sim::ParseOperationList); throws std::runtime_error on a malformed line.
sim::OperationList ReadOperations(std::istream& in);

// One result a check. A file whose headers cannot be read gives a single failed result.
std::vector<Result> CheckImage(std::span<const uint8_t> file, const Expected& expected);

// "ok      NAME: DETAIL" or "FAILED  NAME: DETAIL".
std::string Format(const Result& result);

// The sections, imports and resources of the image, one a line, for a reader.
std::string Listing(std::span<const uint8_t> file);

} // namespace pecheck
