// .reg files as quavsim imports them (a configuration, `--config`): any text is either refused whole with a
// RegFileError, leaving the registry as it was, or imported; what was imported exports to a text that
// imports back to the same tree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/registry.h"

namespace {

[[noreturn]] void Broken(const char* property, const std::string& detail)
{
    std::fprintf(stderr, "property broken: %s\n%s\n", property, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::Registry registry;
    const std::string empty = registry.ExportReg("\\REGISTRY");
    try {
        registry.ImportReg(text);
    } catch (const sim::RegFileError& e) {
        if (registry.ExportReg("\\REGISTRY") != empty) {
            Broken("a refused .reg file changes nothing", e.what());
        }
        return 0;
    }
    const std::string exported = registry.ExportReg("\\REGISTRY");
    sim::Registry again;
    try {
        again.ImportReg(exported);
    } catch (const sim::RegFileError& e) {
        Broken("an export imports back", std::string(e.what()) + "\n" + exported);
    }
    if (again.ExportReg("\\REGISTRY") != exported) {
        Broken("an export imports back to the same tree", exported);
    }
    return 0;
}
