// pecheck: checks a built quav.sys, one line a check, exit status 1 when one fails (2 when the image or
// the operations list cannot be read).
//
// Usage: pecheck QUAV.SYS [--operations platform/operations.txt] [--list]
//                          [--objects OBJECTS.TXT [--sections kernel/sections.txt]]
//
// The checks (check.h): PE32, machine i386, native subsystem, not a DLL; imports only from the kernel's
// modules, by name, of listed operations (the C runtime ones, marked so, from ntoskrnl.exe); no C++
// runtime sections or DLLs; the English message table identical to the simulation's (kQuavMessages, built
// from the same quavmsg.mc) and a version resource; the header checksum equal to the file's. The code
// sections (sections.h): the entry point in INIT, INIT discardable, nothing outside INIT referring into
// it; with the driver's objects (a file naming one a line), also their references and the routines
// placed in PAGE and INIT, checked against the expected list when one is given.
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <vector>

#include <CLI/CLI.hpp>

#include "check.h"
#include "pe.h"
#include "quavmsg_table.h"
#include "sections.h"

namespace {

std::optional<std::vector<uint8_t>> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "pecheck: cannot read " << path << "\n";
        return std::nullopt;
    }
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The objects named one a line in `list`; nullopt (after saying why) when one cannot be read.
std::optional<std::vector<pecheck::CoffObject>> ReadObjects(const std::string& list)
{
    std::ifstream in(list);
    if (!in) {
        std::cerr << "pecheck: cannot read " << list << "\n";
        return std::nullopt;
    }
    std::vector<pecheck::CoffObject> objects;
    for (std::string path; std::getline(in, path);) {
        if (path.empty()) {
            continue;
        }
        const auto bytes = ReadFile(path);
        if (!bytes) {
            return std::nullopt;
        }
        try {
            objects.push_back(pecheck::ReadCoffObject(path.substr(path.find_last_of('/') + 1), *bytes));
        } catch (const pe::PeError& e) {
            std::cerr << "pecheck: " << e.what() << "\n";
            return std::nullopt;
        }
    }
    return objects;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Checks a built kernel image: PE32 i386 native driver, imports, no C++ runtime, message "
                 "table and version resources, checksum."};
    std::string image_file;
    std::string operations_file = QUAV_OPERATIONS;
    std::string objects_file;
    std::string sections_file;
    bool list = false;
    app.add_option("image", image_file, "the built driver (quav.sys)")->required();
    app.add_option("--operations", operations_file, "the names the image may import")->capture_default_str();
    app.add_option("--objects", objects_file, "a file naming the driver's objects, one a line");
    app.add_option("--sections", sections_file, "the routines expected in PAGE and INIT")->needs("--objects");
    app.add_flag("--list", list, "list the image's sections, imports and resources first");
    CLI11_PARSE(app, argc, argv);

    const auto read = ReadFile(image_file);
    if (!read) {
        return 2;
    }
    const std::vector<uint8_t>& file = *read;
    std::ifstream ops(operations_file);
    if (!ops) {
        std::cerr << "pecheck: cannot read " << operations_file << "\n";
        return 2;
    }
    pecheck::Expected expected{{}, kQuavMessages};
    try {
        expected.operations = pecheck::ReadOperations(ops);
    } catch (const std::runtime_error& e) {
        std::cerr << "pecheck: " << operations_file << ": " << e.what() << "\n";
        return 2;
    }
    std::optional<std::vector<pecheck::CoffObject>> objects;
    if (!objects_file.empty() && !(objects = ReadObjects(objects_file))) {
        return 2;
    }
    std::optional<pecheck::SectionList> sections;
    if (!sections_file.empty()) {
        std::ifstream in(sections_file);
        if (!in) {
            std::cerr << "pecheck: cannot read " << sections_file << "\n";
            return 2;
        }
        try {
            sections = pecheck::ReadSectionList(in);
        } catch (const std::runtime_error& e) {
            std::cerr << "pecheck: " << sections_file << ": " << e.what() << "\n";
            return 2;
        }
    }

    if (list) {
        std::cout << pecheck::Listing(file);
    }
    bool ok = true;
    auto results = pecheck::CheckImage(file, expected);
    const auto placement =
        pecheck::CheckSections(file, objects ? &*objects : nullptr, sections ? &*sections : nullptr);
    results.insert(results.end(), placement.begin(), placement.end());
    for (const pecheck::Result& r : results) {
        std::cout << pecheck::Format(r) << "\n";
        ok = ok && r.ok;
    }
    return ok ? 0 : 1;
}
