// pemark: marks a section of a built kernel image discardable and rewrites the image checksum.
//
// Usage: pemark QUAV.SYS --discardable INIT
//
// The kernel frees a driver's discardable sections once DriverEntry has returned. ld takes a section's
// flags from its contents and name and has no way to mark one discardable, so the build sets the flag
// on INIT after the link. Running it again changes nothing.
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include <CLI/CLI.hpp>

#include "pe.h"

int main(int argc, char** argv)
{
    CLI::App app{"Marks a section of a PE image discardable and rewrites the checksum."};
    std::string image_file;
    std::string section;
    app.add_option("image", image_file, "the built driver (quav.sys)")->required();
    app.add_option("--discardable", section, "the section to mark")->required();
    CLI11_PARSE(app, argc, argv);

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
        const pe::Image image(file);
        const auto found = std::ranges::find(image.sections(), section, &pe::Section::name);
        if (found == image.sections().end()) {
            std::cerr << "pemark: " << image_file << " has no section " << section << "\n";
            return 1;
        }
        file = pe::SetSectionCharacteristics(file, section, found->characteristics | pe::kSectionDiscardable);
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
