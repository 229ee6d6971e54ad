// The mutant build's switch (quav_mutant.h): which mutant this process runs, and the sites reached.
#include "mutant_switch.h"

#include <cstdlib>

extern "C" {
unsigned char QuavMutantReached[kQuavMutantSites];
// Site 0 is never generated: 0 runs the original driver.
unsigned int QuavMutantActive = [] {
    const char* text = std::getenv("QUAV_MUTANT");
    return text != nullptr ? static_cast<unsigned int>(std::strtoul(text, nullptr, 10)) : 0u;
}();
}
