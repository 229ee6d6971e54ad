// The configuration through another implementation of the registry's formats: Debian's hivexregedit
// (libwin-hivex-perl) merges .reg text into a binary hive and exports it back, in its own layout (keys
// and values sorted, the root written "[HKEY_LOCAL_MACHINE\SYSTEM\]"). What comes back must run the
// driver exactly as the text that went in.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "default_config.h"
#include "tools/pe_image.h"

namespace {

namespace fs = std::filesystem;
using pe_image::Put32; // little-endian, as the hive's fields are

// A hive with nothing but its root key: a 4 KiB base block, then one 4 KiB bin holding the root's key
// cell, the security cell every key refers to, and the bin's free rest. hivexsh and hivexregedit open
// hives but do not make them; this is the least a hive can be.
std::vector<uint8_t> EmptyHive()
{
    std::vector<uint8_t> hive(8192, 0);
    constexpr size_t kBin = 4096;
    constexpr uint32_t kRoot = 0x20;     // cell offsets count from the first bin
    constexpr uint32_t kSecurity = 0x80; // after the root's 0x60-byte cell
    constexpr uint32_t kFree = 0xA0;     // after the security cell's 0x20 bytes
    auto cell = [&](uint32_t offset) { return kBin + offset; };
    // Base block: "regf", both sequence numbers 1, version 1.3, primary file, root cell, bins' size.
    std::memcpy(hive.data(), "regf", 4);
    Put32(hive, 4, 1);
    Put32(hive, 8, 1);
    Put32(hive, 0x14, 1);
    Put32(hive, 0x18, 3);
    Put32(hive, 0x20, 1);
    Put32(hive, 0x24, kRoot);
    Put32(hive, 0x28, kBin);
    Put32(hive, 0x2C, 1);
    uint32_t checksum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) {
        checksum ^= static_cast<uint32_t>(hive[i] | hive[i + 1] << 8 | hive[i + 2] << 16 | hive[i + 3] << 24);
    }
    Put32(hive, 0x1FC, checksum);
    // The bin.
    std::memcpy(&hive[kBin], "hbin", 4);
    Put32(hive, kBin + 8, kBin);
    // The root key: allocated (negative size), "nk", root flags, no subkeys or values, named "ROOT".
    Put32(hive, cell(kRoot), static_cast<uint32_t>(-0x60));
    std::memcpy(&hive[cell(kRoot) + 4], "nk", 2);
    hive[cell(kRoot) + 6] = 0x2C;                         // hive entry, no delete, ASCII name
    for (uint32_t field : {0x20u, 0x24u, 0x2Cu, 0x34u}) { // subkey lists, value list, class: none
        Put32(hive, cell(kRoot) + field, 0xFFFFFFFF);
    }
    Put32(hive, cell(kRoot) + 0x30, kSecurity);
    hive[cell(kRoot) + 0x4C] = 4;
    std::memcpy(&hive[cell(kRoot) + 0x50], "ROOT", 4);
    // The security cell: a list of itself, used once, with an empty self-relative descriptor.
    Put32(hive, cell(kSecurity), static_cast<uint32_t>(-0x20));
    std::memcpy(&hive[cell(kSecurity) + 4], "sk", 2);
    Put32(hive, cell(kSecurity) + 8, kSecurity);
    Put32(hive, cell(kSecurity) + 12, kSecurity);
    Put32(hive, cell(kSecurity) + 16, 1);
    Put32(hive, cell(kSecurity) + 20, 20);
    hive[cell(kSecurity) + 24] = 1;    // revision
    hive[cell(kSecurity) + 27] = 0x80; // self-relative
    Put32(hive, cell(kFree), kBin - kFree);
    return hive;
}

// hivexregedit makes no parent keys: the text with a section for each parent of a key not made before.
std::string WithParents(const std::string& text)
{
    std::istringstream lines(text);
    std::set<std::string> made;
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            const std::string key = line.substr(1, line.size() - 2);
            for (size_t at = key.find('\\', key.find('\\', key.find('\\') + 1) + 1); at != std::string::npos;
                 at = key.find('\\', at + 1)) {
                if (made.insert(key.substr(0, at)).second) {
                    out += "[" + key.substr(0, at) + "]\n\n";
                }
            }
            made.insert(key);
        }
        out += line + "\n";
    }
    return out;
}

class Hivex : public ScratchDirTest {
protected:
    void SetUp() override
    {
        if (std::system("command -v hivexregedit >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "hivexregedit is not installed (Debian: libwin-hivex-perl)";
        }
        ScratchDirTest::SetUp();
    }

    // The .reg file merged into a fresh hive under `prefix` and exported back.
    fs::path RoundTrip(const fs::path& reg, const std::string& prefix, const std::string& name)
    {
        const fs::path hive = dir_ / (name + ".hive");
        const std::vector<uint8_t> bytes = EmptyHive();
        std::ofstream(hive, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(dir_ / (name + ".in.reg")) << WithParents(ReadText(reg));
        const fs::path back = dir_ / (name + ".back.reg");
        const std::string merge = "hivexregedit --merge --prefix '" + prefix + "' " + hive.string() + " " +
                                  (dir_ / (name + ".in.reg")).string();
        const std::string exported =
            "hivexregedit --export --prefix '" + prefix + "' " + hive.string() + " '\\' > " + back.string();
        EXPECT_EQ(std::system(merge.c_str()), 0) << merge;
        EXPECT_EQ(std::system(exported.c_str()), 0) << exported;
        return back;
    }

    // A short run on the configuration; its outputs in dir_/name.
    Outcome Run(const fs::path& config, const std::string& name)
    {
        return Quavsim("run " QUAV_SCENARIOS "/fan-failure.json --duration 10m --config " + config.string() +
                       " --out " + (dir_ / name).string());
    }
};

TEST_F(Hivex, AConfigurationRoundTrippedThroughHivexRunsIdentically)
{
    ASSERT_EQ(Run(QUAV_DEFAULT_CONFIG, "first").exit, 0);
    const struct {
        fs::path reg;
        const char* prefix;
        const char* name;
    } cases[] = {
        {QUAV_DEFAULT_CONFIG, "HKEY_LOCAL_MACHINE\\SYSTEM", "default"},
        {dir_ / "first/registry.reg", "HKEY_LOCAL_MACHINE", "registry"}, // the whole machine a run leaves
    };
    for (const auto& c : cases) {
        const fs::path back = RoundTrip(c.reg, c.prefix, c.name);
        EXPECT_NE(ReadText(back).find("[" + std::string(c.prefix) + "\\]"), std::string::npos)
            << ReadText(back);
        const Outcome as_written = Run(c.reg, std::string(c.name) + "-as-written");
        const Outcome tripped = Run(back, std::string(c.name) + "-tripped");
        ASSERT_EQ(tripped.exit, 0) << tripped.out;
        ASSERT_EQ(as_written.exit, 0) << as_written.out;
        for (const char* output : {"events.txt", "trace.csv", "actions.jsonl"}) {
            EXPECT_EQ(ReadText(dir_ / (std::string(c.name) + "-tripped") / output),
                      ReadText(dir_ / (std::string(c.name) + "-as-written") / output))
                << c.name << " " << output;
        }
    }
}

} // namespace
