// The code sections of a kernel image. A driver places its routines in three sections: .text (resident),
// PAGE (pageable: the memory manager may page it out, so it runs at IRQL <= APC_LEVEL only) and INIT
// (discarded by the kernel once DriverEntry has returned). The checks: the entry point lies in INIT; INIT
// is discardable, PAGE and .text are not; code lies in these three only; nothing outside INIT refers
// into it (base relocations, data directories, and, from the driver's objects, every relocation: a call
// is PC-relative and leaves no base relocation in the image); the routines found in PAGE and INIT are
// the expected ones.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "check.h"

namespace pecheck {

// What a COFF object (one compiled source of the driver) defines and refers to.
struct CoffObject {
    struct Routine {
        std::string name; // demangled, without parameters or clone suffix: "StartDevice"
        std::string section;
    };
    struct Reference {
        std::string from_section; // the section holding the relocation
        std::string symbol;       // the raw symbol name
        std::string to_section;   // where the symbol is defined in this object; empty for an external one
    };
    std::string name;
    std::vector<Routine> routines; // function symbols defined here, static ones included
    std::vector<Reference> references;
    std::map<std::string, std::string> externals; // external symbols defined here, with their section
};

// Parses an i386 COFF object. Throws pe::PeError when it is malformed.
CoffObject ReadCoffObject(const std::string& name, std::span<const uint8_t> bytes);

// The routine name of a symbol: "_DriverEntry@8" -> "DriverEntry", "__ZL8PassDownP14_DEVICE_OBJECTP4_IRP@8"
// -> "PassDown".
std::string RoutineName(const std::string& symbol);

// The expected placement: lines "PAGE Name" or "INIT Name"; blank lines and '#' lines are skipped.
// Throws std::runtime_error naming a line of another form.
using SectionList = std::map<std::string, std::set<std::string>>;
SectionList ReadSectionList(std::istream& in);

// The checks of the image's sections, then, when objects are given, of their references and routines
// (against `expected` when it is given).
std::vector<Result> CheckSections(std::span<const uint8_t> image, const std::vector<CoffObject>* objects,
                                  const SectionList* expected);

} // namespace pecheck
