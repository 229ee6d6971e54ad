// pecheck against small images written here: a well-formed driver image passes every check, and each
// fault a built quav.sys could carry trips its check (and only that one); malformed files give errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "check.h"
#include "tools/pe_image.h"
#include "pe.h"
#include "quavmsg_table.h"

namespace {

using namespace pe_image;

sim::OperationList Operations()
{
    std::istringstream in("# the test's list\nKeSetEvent\n  IofCompleteRequest \r\n\nREAD_PORT_UCHAR\nmemset "
                          "runtime\nmemcpy runtime\n");
    return pecheck::ReadOperations(in);
}

std::vector<pecheck::Result> Check(const std::vector<uint8_t>& file)
{
    return pecheck::CheckImage(file, {Operations(), kQuavMessages});
}

// The failed checks, each as "NAME: DETAIL".
std::vector<std::string> Failures(const std::vector<uint8_t>& file)
{
    std::vector<std::string> out;
    for (const auto& r : Check(file)) {
        if (!r.ok) {
            out.push_back(r.name + ": " + r.detail);
        }
    }
    return out;
}

// Exactly one check failed, `name`, and its reason holds `reason`.
::testing::AssertionResult FailsOnly(const TestImage& image, const std::string& name,
                                     const std::string& reason)
{
    const auto failures = Failures(image.Build());
    if (failures.size() == 1 && failures[0].starts_with(name + ": ") &&
        failures[0].find(reason) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    auto out = ::testing::AssertionFailure()
               << "expected only \"" << name << "\" failing with \"" << reason << "\"; failed:";
    for (const auto& f : failures) {
        out << "\n  " << f;
    }
    return out;
}

TEST(PeCheck, WellFormedDriverImagePassesEveryCheck)
{
    const auto results = Check(TestImage{}.Build());
    EXPECT_EQ(results.size(), 15u);
    for (const auto& r : results) {
        EXPECT_TRUE(r.ok) << pecheck::Format(r);
    }
    EXPECT_EQ(Operations().operations,
              (std::set<std::string>{"IofCompleteRequest", "KeSetEvent", "READ_PORT_UCHAR"}));
    EXPECT_EQ(Operations().runtime, (std::set<std::string>{"memcpy", "memset"}));
    // The kernel's module names in any case; a single-byte table of the same texts.
    TestImage upper;
    upper.imports = {{"NTOSKRNL.EXE", {"KeSetEvent"}}, {"hal.DLL", {"READ_PORT_UCHAR"}}, {"WmiLib.sys", {}}};
    upper.unicode = false;
    upper.flags[".rsrc"] = 0x40000040; // read-only data, whatever else it says
    EXPECT_TRUE(Failures(upper.Build()).empty());
}

struct Fault {
    std::string check; // the one check that fails
    std::string reason;
    std::function<void(TestImage&)> spoil;
};

Fault F(const char* check, const char* reason, std::function<void(TestImage&)> spoil)
{
    return {check, reason, std::move(spoil)};
}

// Each fault in the headers, the imports, the message table and version resource or the checksum trips
// its own check and only that one.
TEST(PeCheck, EachFaultTripsOnlyItsCheck)
{
    const char* const kImports = "imported names in the operations list";
    const Fault faults[] = {
        F("machine i386", "machine 0x8664", [](TestImage& i) { i.machine = 0x8664; }),
        F("not a DLL", "0x2000", [](TestImage& i) { i.characteristics |= pe::kFileDll; }),
        F("native subsystem", "subsystem 2", [](TestImage& i) { i.subsystem = 2; }),
        // What ld writes without --wdmdriver.
        F("WDM driver", "DllCharacteristics 0x0140 lacks the WDM driver bit 0x2000",
          [](TestImage& i) { i.dll_characteristics = 0x0140; }),
        // ld's flags for .rsrc.
        F("resources read-only", ".rsrc characteristics 0xC0000040 include",
          [](TestImage& i) { i.flags[".rsrc"] = 0xC0000040; }),
        F("imports from ntoskrnl.exe, HAL.dll, WMILIB.SYS only", "USER32.dll!MessageBoxW",
          [](TestImage& i) {
              i.imports.push_back({"USER32.dll", {"MessageBoxW"}});
          }),
        F(kImports, "ntoskrnl.exe!KeBugCheckEx",
          [](TestImage& i) { i.imports[0].second.push_back("KeBugCheckEx"); }),
        // The compiler's helpers come from the kernel only.
        F(kImports, "HAL.dll!memset", [](TestImage& i) { i.imports[1].second.push_back("memset"); }),
        F("imports by name", "ntoskrnl.exe!#7", [](TestImage& i) { i.imports[0].second.push_back("#7"); }),
        F("message table", "message 0xC02A0005 is missing from the image",
          [](TestImage& i) { i.messages.erase(i.messages.begin() + 4); }),
        F("message table",
          "message 0x402A0003 differs at character 31: the image has U+0064 \"d\", the table U+0044 \"D\"",
          [](TestImage& i) { i.messages[2].text = u"Event logging enabled for QUAV driver.\r\n"; }),
        // Texts compare exactly: a message compiler that read the source with LF line ends gives LF texts.
        F("message table", "at character 22: the image has U+000A \"\\n\", the table U+000D",
          [](TestImage& i) { i.messages[0].text = u"Unknown Event logging.\n"; }),
        F("message table", "at character 22: the image has the end, the table U+000D",
          [](TestImage& i) { i.messages[0].text = u"Unknown Event logging."; }),
        F("message table", "message 0xC02A0030 is not in the simulation's table",
          [](TestImage& i) {
              i.messages.push_back({0xC02A0030, u"Extra.\r\n"});
          }),
        F("message table", "no RT_MESSAGETABLE resource in language 0x0409 (found 0x0407)",
          [](TestImage& i) { i.message_language = 0x407; }),
        // A single-byte text outside ASCII has no known code page.
        F("message table", "byte 0xE9",
          [](TestImage& i) {
              i.unicode = false;
              i.messages[1].text = u"Caf\u00E9\r\n";
          }),
        F("version resource", "no RT_VERSION resource", [](TestImage& i) { i.version = false; }),
        F("checksum", "the header's checksum is 0", [](TestImage& i) { i.checksum = 0; }),
    };
    for (const Fault& f : faults) {
        TestImage image;
        f.spoil(image);
        EXPECT_TRUE(FailsOnly(image, f.check, f.reason));
    }

    // A runtime DLL is foreign and the runtime both.
    TestImage image;
    image.imports.push_back({"msvcrt.dll", {"malloc"}});
    EXPECT_EQ(
        Failures(image.Build()),
        (std::vector<std::string>{"imports from ntoskrnl.exe, HAL.dll, WMILIB.SYS only: msvcrt.dll!malloc",
                                  "no C++ runtime DLLs: msvcrt.dll"}));
}

// The UTF-16 text with its NUL, as a driver's wide string literal lies in its data; `skip` bytes first.
std::vector<uint8_t> Wide(std::u16string_view text, size_t skip = 0)
{
    std::vector<uint8_t> b(skip);
    for (char16_t c : text) {
        b.push_back(c & 0xFF);
        b.push_back(c >> 8);
    }
    b.insert(b.end(), {0, 0});
    return b;
}

TEST(PeCheck, MofNamesInTheDataNeedTheirResource)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> rdata;
        std::vector<std::u16string> mof; // MOFDATA resources by name
        std::string failure;             // empty: passes
    };
    const std::string ascii = "MofResource";
    const Case cases[] = {
        {"a named resource missing",
         Wide(u"MofResource", 6),
         {},
         "\"MofResource\" in .rdata names no MOFDATA"},
        {"another resource carried", Wide(u"QuavMof"), {u"MOFRESOURCE"}, "\"QuavMof\" in .rdata"},
        {"names compare without case", Wide(u"MofResource"), {u"MOFRESOURCE"}, ""},
        {"nothing named, nothing carried", Wide(u"\\Device\\Quav"), {}, ""},
        {"carried and not named", Wide(u"Quav"), {u"MOFRESOURCE"}, ""},
        {"a narrow string is no resource name", {ascii.begin(), ascii.end()}, {}, ""},
    };
    for (const Case& c : cases) {
        TestImage image;
        image.extra_sections = {".rdata"};
        image.contents[".rdata"] = c.rdata;
        for (const std::u16string& name : c.mof) {
            image.mof.push_back({name, {'c', 'l', 'a', 's', 's'}});
        }
        if (c.failure.empty()) {
            EXPECT_EQ(Failures(image.Build()), std::vector<std::string>{}) << c.name;
        } else {
            EXPECT_TRUE(FailsOnly(image, "MOF resources named exist", c.failure)) << c.name;
        }
    }
}

TEST(PeCheck, RuntimeSectionsAreFoundUnderTheirImageNames)
{
    // ".eh_fram" and ".gcc_exc" are the linker's eight-character cuts of the long names.
    for (const std::string name :
         {".ctors", ".dtors.1", ".eh_fram", ".gcc_exc", ".CRT", ".tls$", ".init_ar"}) {
        TestImage image;
        image.extra_sections = {".data", name};
        EXPECT_TRUE(FailsOnly(image, "no C++ runtime sections", name));
    }
    TestImage image;
    image.extra_sections = {".data", ".tlsdata", ".ctorsx"};
    EXPECT_TRUE(Failures(image.Build()).empty());
}

TEST(PeCheck, Checksum)
{
    TestImage image;
    image.checksum = 0x1234;
    const auto failures = Failures(image.Build());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_TRUE(failures[0].starts_with("checksum: the header says 0x00001234, the file sums to 0x"))
        << failures[0];

    // Worked by hand: words 0x1234 0xBBAA 0xDDCC 0x0001 and a last odd byte 3, with the carries folded
    // back in, plus the length 9; without the four bytes at offset 2 (the checksum field).
    const std::vector<uint8_t> bytes{0x34, 0x12, 0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00, 0x03};
    EXPECT_EQ(pe::Checksum(bytes, 100), 0xABAFu + 9);
    EXPECT_EQ(pe::Checksum(bytes, 2), 0x1238u + 9);
}

TEST(PeCheck, MalformedFilesGiveErrors)
{
    const std::vector<uint8_t> good = TestImage{}.Build();
    // Every truncation fails in the headers: the last section's data runs past the end.
    for (size_t size = 0; size < good.size(); size += size < 0x200 ? 1 : 7) {
        const auto results = Check({good.begin(), good.begin() + size});
        ASSERT_EQ(results.size(), 1u) << size;
        EXPECT_EQ(results[0].name, "PE headers");
        EXPECT_FALSE(results[0].ok);
    }
    EXPECT_EQ(Failures(std::vector<uint8_t>(good.begin(), good.begin() + 0x700)),
              std::vector<std::string>{"PE headers: section .idata raw data: 0x200 bytes at offset 0x600 lie "
                                       "beyond the end (0x700 bytes)"});

    // Any byte of the headers, imports or resources overwritten: never a crash, and the checksum (at
    // least) fails.
    for (size_t at = 0; at < good.size(); at += at < 0x200 || (at >= 0x600 && at < 0x800) ? 1 : 3) {
        for (uint8_t value : {0x00, 0x7F, 0xFF}) {
            if (good[at] == value) {
                continue;
            }
            std::vector<uint8_t> bad = good;
            bad[at] = value;
            EXPECT_FALSE(Failures(bad).empty()) << at;
        }
    }

    // A resource directory that leads back to itself.
    std::vector<uint8_t> cycle = good;
    const pe::Image image(good);
    const size_t rsrc = image.sections()[2].raw_offset;
    Put32(cycle, rsrc + 20, 0x80000000u);
    EXPECT_NE(Failures(cycle)[0].find("resources: resource name directory at 0x0 is reached twice"),
              std::string::npos);
}

TEST(PeCheck, MalformedMessageTables)
{
    auto table = TestImage::MessageTable({{1, u"a\r\n"}, {2, u"b\r\n"}}, true);
    EXPECT_EQ(pe::ParseMessageTable(table).size(), 2u);
    auto bad = table;
    Put16(bad, 16, 0); // the first entry's length
    EXPECT_THROW(pe::ParseMessageTable(bad), pe::PeError);
    bad = table;
    Put32(bad, 8, 0); // high id below low id
    EXPECT_THROW(pe::ParseMessageTable(bad), pe::PeError);
    bad = table;
    Put32(bad, 8, 0xFFFFFFFF); // ids to the end of the range: entries run out
    EXPECT_THROW(pe::ParseMessageTable(bad), pe::PeError);
    bad = table;
    Put32(bad, 0, 0x20000000); // more blocks than bytes
    EXPECT_THROW(pe::ParseMessageTable(bad), pe::PeError);
}

} // namespace
