// pecheck: checks a built quav.sys, one line a check, exit status 1 when one fails (2 when the image or
// the operations list cannot be read).
//
// Usage: pecheck QUAV.SYS [--operations platform/operations.txt] [--list]
//
// The checks (check.h): PE32, machine i386, native subsystem, not a DLL; imports only from the kernel's
// modules, by name, of listed operations (and the compiler's memory helpers from ntoskrnl.exe); no C++
// runtime sections or DLLs; the English message table identical to the simulation's (kQuavMessages, built
// from the same quavmsg.mc) and a version resource; the header checksum equal to the file's.
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include <CLI/CLI.hpp>

#include "check.h"
#include "quavmsg_table.h"

int main(int argc, char** argv)
{
    CLI::App app{"Checks a built kernel image: PE32 i386 native driver, imports, no C++ runtime, message "
                 "table and version resources, checksum."};
    std::string image_file;
    std::string operations_file = QUAV_OPERATIONS;
    bool list = false;
    app.add_option("image", image_file, "the built driver (quav.sys)")->required();
    app.add_option("--operations", operations_file, "the names the image may import")->capture_default_str();
    app.add_flag("--list", list, "list the image's sections, imports and resources first");
    CLI11_PARSE(app, argc, argv);

    std::ifstream in(image_file, std::ios::binary);
    if (!in) {
        std::cerr << "pecheck: cannot read " << image_file << "\n";
        return 2;
    }
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ifstream ops(operations_file);
    if (!ops) {
        std::cerr << "pecheck: cannot read " << operations_file << "\n";
        return 2;
    }
    const pecheck::Expected expected{pecheck::ReadOperations(ops), kQuavMessages};

    if (list) {
        std::cout << pecheck::Listing(file);
    }
    bool ok = true;
    for (const pecheck::Result& r : pecheck::CheckImage(file, expected)) {
        std::cout << pecheck::Format(r) << "\n";
        ok = ok && r.ok;
    }
    return ok ? 0 : 1;
}
