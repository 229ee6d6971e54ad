// pemark: sets the flags ld cannot give a section of a built kernel image, and rewrites the image
// checksum.
//
// Usage: pemark QUAV.SYS [--discardable INIT]... [--read-only .rsrc]...
//
// The kernel frees a driver's discardable sections once DriverEntry has returned; ld takes a section's
// flags from its contents and name and has no way to mark one discardable. And ld gives .rsrc the
// write flag whatever its input says, while the resources are data the system only reads. So the build
// sets the one flag on INIT and clears the other on .rsrc after the link. Running it again changes nothing.
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include <CLI/CLI.hpp>

#include "pe.h"

namespace {

// The file with `set` added to and `clear` taken from a section's characteristics; false (after saying
// why) when the image has no such section.
bool Mark(std::vector<uint8_t>& file, const std::string& image_file, const std::string& section, uint32_t set,
          uint32_t clear)
{
    const pe::Image image(file);
    const auto found = std::ranges::find(image.sections(), section, &pe::Section::name);
    if (found == image.sections().end()) {
        std::cerr << "pemark: " << image_file << " has no section " << section << "\n";
        return false;
    }
    file = pe::SetSectionCharacteristics(file, section, (found->characteristics | set) & ~clear);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Marks sections of a PE image discardable or read-only and rewrites the checksum."};
    std::string image_file;
    std::vector<std::string> discardable;
    std::vector<std::string> read_only;
    app.add_option("image", image_file, "the built driver (quav.sys)")->required();
    app.add_option("--discardable", discardable, "a section to mark discardable");
    app.add_option("--read-only", read_only, "a section to make read-only");
    CLI11_PARSE(app, argc, argv);
    if (discardable.empty() && read_only.empty()) {
        std::cerr << "pemark: nothing to mark: give --discardable or --read-only\n";
        return 2;
    }

    std::vector<uint8_t> file;
    {
        std::ifstream in(image_file, std::ios::binary);
        if (!in) {
            std::cerr << "pemark: cannot read " << image_file << "\n";
            return 2;
        }
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    try {
        for (const std::string& section : discardable) {
            if (!Mark(file, image_file, section, pe::kSectionDiscardable, 0)) {
                return 1;
            }
        }
        for (const std::string& section : read_only) {
            if (!Mark(file, image_file, section, 0, pe::kSectionWrite)) {
                return 1;
            }
        }
    } catch (const pe::PeError& e) {
        std::cerr << "pemark: " << image_file << ": " << e.what() << "\n";
        return 1;
    }
    std::ofstream out(image_file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!out) {
        std::cerr << "pemark: cannot write " << image_file << "\n";
        return 2;
    }
    return 0;
}
