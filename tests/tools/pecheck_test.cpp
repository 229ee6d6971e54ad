// pecheck against small images written here: a well-formed driver image passes every check, and each
// fault a built quav.sys could carry trips its check (and only that one); malformed files give errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "check.h"
#include "pe.h"
#include "quavmsg_table.h"

namespace {

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b.resize(std::max(b.size(), at + 2));
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8 & 0xFF;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

void PutString(std::vector<uint8_t>& b, size_t at, const std::string& s)
{
    b.resize(std::max(b.size(), at + s.size() + 1));
    std::copy(s.begin(), s.end(), b.begin() + at);
}

// A driver image: .text, .idata, .rsrc and any extra (empty) sections. An import name "#N" is by ordinal.
struct TestImage {
    uint16_t machine = 0x14C;
    uint16_t characteristics = 0x0102; // executable, 32-bit
    uint16_t subsystem = 1;
    std::vector<std::pair<std::string, std::vector<std::string>>> imports{
        {"ntoskrnl.exe", {"KeSetEvent", "IofCompleteRequest", "memcpy"}}, {"HAL.dll", {"READ_PORT_UCHAR"}}};
    std::vector<std::string> extra_sections;
    std::vector<sim::MessageEntry> messages{kQuavMessages.begin(), kQuavMessages.end()};
    bool unicode = true;
    uint16_t message_language = 0x409;
    bool version = true;
    std::optional<uint32_t> checksum; // the right one when unset

    static std::vector<uint8_t> MessageTable(const std::vector<sim::MessageEntry>& messages, bool unicode)
    {
        // Blocks of consecutive ids, then the entries: length, flags, text with a NUL, padded to four.
        std::vector<std::pair<uint32_t, uint32_t>> blocks;
        for (const auto& m : messages) {
            if (blocks.empty() || m.id != blocks.back().second + 1) {
                blocks.push_back({m.id, m.id});
            } else {
                blocks.back().second = m.id;
            }
        }
        std::vector<uint8_t> b;
        Put32(b, 0, blocks.size());
        size_t at = 4 + 12 * blocks.size(), next = 0;
        for (size_t i = 0; i < blocks.size(); i++) {
            Put32(b, 4 + 12 * i, blocks[i].first);
            Put32(b, 8 + 12 * i, blocks[i].second);
            Put32(b, 12 + 12 * i, at);
            for (uint32_t id = blocks[i].first; id <= blocks[i].second; id++, next++) {
                const std::u16string_view text = messages[next].text;
                const size_t size = ((text.size() + 1) * (unicode ? 2 : 1) + 3) / 4 * 4;
                Put16(b, at, 4 + size);
                Put16(b, at + 2, unicode ? 1 : 0);
                b.resize(at + 4 + size);
                for (size_t k = 0; k < text.size(); k++) {
                    unicode ? Put16(b, at + 4 + 2 * k, text[k])
                            : void(b[at + 4 + k] = static_cast<uint8_t>(text[k]));
                }
                at += 4 + size;
            }
        }
        return b;
    }

    static std::vector<uint8_t> Version()
    {
        std::vector<uint8_t> b;
        Put16(b, 0, 92);
        Put16(b, 2, 52);
        const std::u16string key = u"VS_VERSION_INFO";
        for (size_t i = 0; i < key.size(); i++) {
            Put16(b, 6 + 2 * i, key[i]);
        }
        Put32(b, 40, 0xFEEF04BD);
        Put32(b, 44, 0x10000);
        Put32(b, 48, 0x00010002);
        Put32(b, 52, 0x00030004);
        b.resize(92);
        return b;
    }

    std::vector<uint8_t> Imports(uint32_t base) const
    {
        std::vector<uint8_t> b((imports.size() + 1) * 20);
        for (size_t d = 0; d < imports.size(); d++) {
            const auto& [dll, names] = imports[d];
            const size_t lookup = b.size(), addresses = lookup + (names.size() + 1) * 4;
            b.resize(addresses + (names.size() + 1) * 4);
            Put32(b, 20 * d, base + lookup);
            Put32(b, 20 * d + 12, base + b.size());
            Put32(b, 20 * d + 16, base + addresses);
            PutString(b, b.size(), dll);
            for (size_t i = 0; i < names.size(); i++) {
                uint32_t thunk = 0x80000000u | (names[i][0] == '#' ? std::stoul(names[i].substr(1)) : 0);
                if (names[i][0] != '#') {
                    thunk = base + b.size();
                    PutString(b, b.size() + 2, names[i]);
                }
                Put32(b, lookup + 4 * i, thunk);
                Put32(b, addresses + 4 * i, thunk);
            }
        }
        return b;
    }

    // Type, then name 1, then language directories, one entry each, then the data.
    std::vector<uint8_t> Resources(uint32_t base) const
    {
        std::vector<std::pair<uint32_t, std::vector<uint8_t>>> leaves;
        if (!messages.empty()) {
            leaves.push_back({11, MessageTable(messages, unicode)});
        }
        if (version) {
            leaves.push_back({16, Version()});
        }
        std::vector<uint8_t> b(16 + 8 * leaves.size());
        Put16(b, 14, leaves.size());
        for (size_t i = 0; i < leaves.size(); i++) {
            const size_t names = b.size(), languages = names + 24, entry = languages + 24, data = entry + 16;
            Put32(b, 16 + 8 * i, leaves[i].first);
            Put32(b, 20 + 8 * i, 0x80000000u | names);
            Put16(b, names + 14, 1);
            Put32(b, names + 16, 1);
            Put32(b, names + 20, 0x80000000u | languages);
            Put16(b, languages + 14, 1);
            Put32(b, languages + 16, leaves[i].first == 11 ? message_language : 0x409);
            Put32(b, languages + 20, entry);
            Put32(b, entry, base + data);
            Put32(b, entry + 4, leaves[i].second.size());
            b.resize(data);
            b.insert(b.end(), leaves[i].second.begin(), leaves[i].second.end());
            b.resize((b.size() + 3) / 4 * 4);
        }
        return b;
    }

    std::vector<uint8_t> Build() const
    {
        struct Sec {
            std::string name;
            std::vector<uint8_t> data;
        };
        std::vector<Sec> sections{{".text", {0xC2, 0x08, 0x00}}};
        const auto rva = [&] { return static_cast<uint32_t>(0x1000 * (sections.size() + 1)); };
        sections.push_back({".idata", Imports(rva())});
        sections.push_back({".rsrc", Resources(rva())});
        for (const auto& name : extra_sections) {
            sections.push_back({name, {0}});
        }
        std::vector<uint8_t> f(0x400);
        f[0] = 'M';
        f[1] = 'Z';
        Put32(f, 0x3C, 0x40);
        PutString(f, 0x40, "PE");
        Put16(f, 0x44, machine);
        Put16(f, 0x46, sections.size());
        Put16(f, 0x54, 0xE0);
        Put16(f, 0x56, characteristics);
        const size_t opt = 0x58;
        Put16(f, opt, 0x10B);
        Put32(f, opt + 32, 0x1000); // section alignment
        Put32(f, opt + 36, 0x200);  // file alignment
        Put32(f, opt + 56, rva());  // size of image
        Put32(f, opt + 60, 0x400);  // size of headers
        Put16(f, opt + 68, subsystem);
        Put32(f, opt + 92, 16);
        Put32(f, opt + 96 + 8, 0x2000); // imports
        Put32(f, opt + 96 + 12, sections[1].data.size());
        Put32(f, opt + 96 + 16, 0x3000); // resources
        Put32(f, opt + 96 + 20, sections[2].data.size());
        for (size_t i = 0; i < sections.size(); i++) {
            const size_t s = opt + 0xE0 + 40 * i;
            const size_t raw = (sections[i].data.size() + 0x1FF) / 0x200 * 0x200;
            std::copy(sections[i].name.begin(), sections[i].name.end(), f.begin() + s);
            Put32(f, s + 8, sections[i].data.size());
            Put32(f, s + 12, 0x1000 * (i + 1));
            Put32(f, s + 16, raw);
            Put32(f, s + 20, f.size());
            sections[i].data.resize(raw);
            f.insert(f.end(), sections[i].data.begin(), sections[i].data.end());
        }
        Put32(f, opt + 64, checksum.value_or(pe::Checksum(f, opt + 64)));
        return f;
    }
};

std::set<std::string> Operations()
{
    std::istringstream in("# the test's list\nKeSetEvent\n  IofCompleteRequest \r\n\nREAD_PORT_UCHAR\n");
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
    EXPECT_EQ(results.size(), 12u);
    for (const auto& r : results) {
        EXPECT_TRUE(r.ok) << pecheck::Format(r);
    }
    EXPECT_EQ(Operations(), (std::set<std::string>{"IofCompleteRequest", "KeSetEvent", "READ_PORT_UCHAR"}));
    // The kernel's module names in any case; a single-byte table of the same texts.
    TestImage upper;
    upper.imports = {{"NTOSKRNL.EXE", {"KeSetEvent"}}, {"hal.DLL", {"READ_PORT_UCHAR"}}, {"WmiLib.sys", {}}};
    upper.unicode = false;
    EXPECT_TRUE(Failures(upper.Build()).empty());
}

TEST(PeCheck, HeaderFaults)
{
    TestImage image;
    image.machine = 0x8664;
    EXPECT_TRUE(FailsOnly(image, "machine i386", "machine 0x8664"));
    image = {};
    image.characteristics |= pe::kFileDll;
    EXPECT_TRUE(FailsOnly(image, "not a DLL", "0x2000"));
    image = {};
    image.subsystem = 2;
    EXPECT_TRUE(FailsOnly(image, "native subsystem", "subsystem 2"));
}

TEST(PeCheck, ImportFaultsNameTheImport)
{
    TestImage image;
    image.imports.push_back({"USER32.dll", {"MessageBoxW"}});
    EXPECT_TRUE(
        FailsOnly(image, "imports from ntoskrnl.exe, HAL.dll, WMILIB.SYS only", "USER32.dll!MessageBoxW"));
    image = {};
    image.imports[0].second.push_back("KeBugCheckEx");
    EXPECT_TRUE(FailsOnly(image, "imported names in the operations list", "ntoskrnl.exe!KeBugCheckEx"));
    // The compiler's helpers come from the kernel only.
    image = {};
    image.imports[1].second.push_back("memset");
    EXPECT_TRUE(FailsOnly(image, "imported names in the operations list", "HAL.dll!memset"));
    image = {};
    image.imports[0].second.push_back("#7");
    EXPECT_TRUE(FailsOnly(image, "imports by name", "ntoskrnl.exe!#7"));
    // A runtime DLL is foreign and the runtime both.
    image = {};
    image.imports.push_back({"msvcrt.dll", {"malloc"}});
    const auto failures = Failures(image.Build());
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0], "imports from ntoskrnl.exe, HAL.dll, WMILIB.SYS only: msvcrt.dll!malloc");
    EXPECT_EQ(failures[1], "no C++ runtime DLLs: msvcrt.dll");
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

TEST(PeCheck, MessageTableMustEqualTheSimulations)
{
    TestImage image;
    image.messages.erase(image.messages.begin() + 4);
    EXPECT_TRUE(FailsOnly(image, "message table", "message 0xC02A0005 is missing from the image"));

    image = {};
    image.messages[2].text = u"Event logging enabled for QUAV driver.\r\n";
    EXPECT_TRUE(FailsOnly(image, "message table",
                          "message 0x402A0003 differs at character 31: the image has U+0064 \"d\", the table "
                          "U+0044 \"D\""));

    // Texts compare exactly: a message compiler that read the source with LF line ends gives LF texts.
    image = {};
    const std::u16string lf = u"Unknown Event logging.\n";
    image.messages[0].text = lf;
    EXPECT_TRUE(
        FailsOnly(image, "message table", "at character 22: the image has U+000A \"\\n\", the table U+000D"));
    image.messages[0].text = u"Unknown Event logging.";
    EXPECT_TRUE(
        FailsOnly(image, "message table", "at character 22: the image has the end, the table U+000D"));

    image = {};
    image.messages.push_back({0xC02A0030, u"Extra.\r\n"});
    EXPECT_TRUE(FailsOnly(image, "message table", "message 0xC02A0030 is not in the simulation's table"));

    image = {};
    image.message_language = 0x407;
    EXPECT_TRUE(
        FailsOnly(image, "message table", "no RT_MESSAGETABLE resource in language 0x0409 (found 0x0407)"));

    image = {};
    image.version = false;
    EXPECT_TRUE(FailsOnly(image, "version resource", "no RT_VERSION resource"));

    // A single-byte text outside ASCII has no known code page.
    const std::u16string accented = u"Caf\u00E9\r\n";
    image = {};
    image.unicode = false;
    image.messages[1].text = accented;
    EXPECT_TRUE(FailsOnly(image, "message table", "byte 0xE9"));
}

TEST(PeCheck, Checksum)
{
    TestImage image;
    image.checksum = 0;
    EXPECT_TRUE(FailsOnly(image, "checksum", "the header's checksum is 0"));
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
