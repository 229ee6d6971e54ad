// Keys hundreds of levels deep: the registry holds 512 levels, a .reg text with a deeper key is refused
// whole, and export walks a deep tree without recursing on the stack.
#include <gtest/gtest.h>

#include <string>

#include "sim/registry.h"

namespace {

constexpr char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// "HKEY_LOCAL_MACHINE\k\k...": a key `levels` deep, the hive counted as the first level.
std::string DeepRegPath(size_t levels)
{
    std::string path = "HKEY_LOCAL_MACHINE";
    for (size_t i = 1; i < levels; i++) {
        path += "\\k";
    }
    return path;
}

std::string DeepKeyText(size_t levels)
{
    return std::string(kHeader) + "[" + DeepRegPath(levels) + "]\r\n\"X\"=dword:00000001\r\n";
}

TEST(RegistryDepth, ImportTakesKeysUpTo512LevelsAndRefusesDeeperOnes)
{
    const struct {
        size_t levels;
        const char* error; // empty: imported
    } cases[] = {
        {511, ""},
        {512, ""},
        {513, "line 3: the key is 513 levels deep; the registry holds keys 512 levels deep at most"},
        {5006, "line 3: the key is 5006 levels deep; the registry holds keys 512 levels deep at most"},
    };
    for (const auto& c : cases) {
        sim::Registry registry;
        registry.SetDword("\\REGISTRY\\Machine\\Before", "V", 7);
        const std::string kernel_path = "\\REGISTRY\\Machine" + DeepRegPath(c.levels).substr(18);
        if (*c.error == '\0') {
            registry.ImportReg(DeepKeyText(c.levels));
            EXPECT_EQ(registry.GetDword(kernel_path, "X"), 1u) << c.levels;
            continue;
        }
        try {
            registry.ImportReg(DeepKeyText(c.levels) + "[HKEY_LOCAL_MACHINE\\After]\r\n");
            ADD_FAILURE() << c.levels << " levels imported";
        } catch (const sim::RegFileError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
            EXPECT_EQ(e.line(), 3);
        }
        // Refused whole: nothing of the text is applied.
        EXPECT_EQ(registry.SubKeys("\\REGISTRY\\Machine"), std::vector<std::string>{"Before"}) << c.levels;
    }
}

TEST(RegistryDepth, TheApiRefusesKeysDeeperThan512Levels)
{
    sim::Registry registry;
    const std::string at_limit = "\\REGISTRY\\Machine" + DeepRegPath(512).substr(18);
    registry.CreateKey(at_limit);
    EXPECT_TRUE(registry.KeyExists(at_limit));
    EXPECT_THROW(registry.CreateKey(at_limit + "\\deeper"), std::invalid_argument);
    EXPECT_THROW(registry.SetDword(at_limit + "\\deeper", "X", 1), std::invalid_argument);
    EXPECT_FALSE(registry.KeyExists(at_limit + "\\deeper"));
}

// Each key before its subkeys, subkeys in creation order, and the walk comes back up from 512 levels
// down to the siblings it left: the text is exactly regedit's, and it imports back to the same tree.
TEST(RegistryDepth, ExportOfADeepTreeIsExactAndRoundTrips)
{
    sim::Registry registry;
    const std::string hive = "\\REGISTRY\\Machine";
    registry.SetDword(hive + "\\a\\b", "B", 2);
    registry.SetDword(hive + DeepRegPath(512).substr(18), "X", 1); // below \k, a sibling of a
    registry.SetDword(hive + "\\a\\c", "C", 3);
    registry.SetDword(hive + "\\k\\k\\side", "S", 4); // a sibling met on the way back up

    std::string expected = std::string(kHeader) + "[HKEY_LOCAL_MACHINE]\r\n\r\n" +
                           "[HKEY_LOCAL_MACHINE\\a]\r\n\r\n" +
                           "[HKEY_LOCAL_MACHINE\\a\\b]\r\n\"B\"=dword:00000002\r\n\r\n" +
                           "[HKEY_LOCAL_MACHINE\\a\\c]\r\n\"C\"=dword:00000003\r\n\r\n";
    for (size_t levels = 2; levels <= 512; levels++) {
        expected +=
            "[" + DeepRegPath(levels) + "]\r\n" + (levels == 512 ? "\"X\"=dword:00000001\r\n" : "") + "\r\n";
    }
    expected += "[" + DeepRegPath(3) + "\\side]\r\n\"S\"=dword:00000004\r\n\r\n";
    const std::string text = registry.ExportReg(hive);
    EXPECT_EQ(text, expected);

    sim::Registry copy;
    copy.ImportReg(text);
    EXPECT_EQ(copy.ExportReg(hive), text);
}

TEST(RegistryDepth, TheReproducedDeepKeyFileIsRefusedNamingFileAndLine)
{
    sim::Registry registry;
    try {
        registry.ImportRegFile(QUAV_TEST_DATA "/repro/deep-key-5000.reg");
        ADD_FAILURE() << "imported";
    } catch (const sim::RegFileError& e) {
        EXPECT_NE(std::string(e.what()).find("deep-key-5000.reg: line 132: the key is 5006 levels deep"),
                  std::string::npos)
            << e.what();
    }
}

} // namespace
