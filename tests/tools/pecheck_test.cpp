// pecheck against small images and COFF objects written here: a well-formed driver image passes every
// check, and each fault a built quav.sys could carry trips its check (and only that one), naming the
// culprit: among them the code sections' (the entry point outside INIT, a reference into INIT from
// outside it, a section with the wrong flags, routines in the wrong section); malformed files give errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>

#include "check.h"
#include "sections.h"
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
std::vector<std::string> Failed(const std::vector<pecheck::Result>& results)
{
    std::vector<std::string> out;
    for (const auto& r : results) {
        if (!r.ok) {
            out.push_back(r.name + ": " + r.detail);
        }
    }
    return out;
}

std::vector<std::string> Failures(const std::vector<uint8_t>& file)
{
    return Failed(Check(file));
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
    const auto table = TestImage::MessageTable({{1, u"a\r\n"}, {2, u"b\r\n"}}, true);
    EXPECT_EQ(pe::ParseMessageTable(table).size(), 2u);
    const struct {
        size_t at;
        uint32_t value;
        bool half; // a 16-bit field
    } spoils[] = {
        {16, 0, true},          // the first entry's length
        {8, 0, false},          // high id below low id
        {8, 0xFFFFFFFF, false}, // ids to the end of the range: entries run out
        {0, 0x20000000, false}, // more blocks than bytes
    };
    for (const auto& s : spoils) {
        auto bad = table;
        s.half ? Put16(bad, s.at, s.value) : Put32(bad, s.at, s.value);
        EXPECT_THROW(pe::ParseMessageTable(bad), pe::PeError) << s.at << " " << s.value;
    }
}

constexpr uint32_t kText = 0x1000, kPage = 0x4000, kInit = 0x5000;

// .text, .idata, .rsrc, PAGE, INIT: the entry point in INIT, relocations from .text to .text and from
// INIT to .text and PAGE.
TestImage Placed()
{
    TestImage image;
    image.extra_sections = {"PAGE", "INIT"};
    image.flags = {
        {".text", kCodeFlags}, {"PAGE", kCodeFlags}, {"INIT", kCodeFlags | pe::kSectionDiscardable}};
    image.entry = kInit + 4;
    image.relocations = {{kText + 4, kText}, {kInit + 8, kText + 1}, {kInit + 12, kPage}};
    return image;
}

std::vector<std::string> SectionFailures(const TestImage& image)
{
    return Failed(pecheck::CheckSections(image.Build(), nullptr, nullptr));
}

TEST(PeCheckSections, WellPlacedImagePasses)
{
    const auto file = Placed().Build();
    const auto results = pecheck::CheckSections(file, nullptr, nullptr);
    ASSERT_EQ(results.size(), 5u);
    for (const auto& r : results) {
        EXPECT_TRUE(r.ok) << pecheck::Format(r);
    }
    EXPECT_EQ(pe::Image(file).Relocations().size(), 3u);
}

struct PlacementFault {
    const char* what;
    std::function<void(TestImage&)> spoil;
    std::string failure; // the one failed check, "NAME: DETAIL"
};

TEST(PeCheckSections, EachPlacementFaultTripsItsCheck)
{
    const PlacementFault faults[] = {
        {"entry in .text", [](TestImage& i) { i.entry = kText; },
         "entry point in INIT: the entry point 0x1000 lies in .text"},
        {"entry in PAGE", [](TestImage& i) { i.entry = kPage + 2; },
         "entry point in INIT: the entry point 0x4002 lies in PAGE"},
        {"a .text address of INIT code",
         [](TestImage& i) {
             i.relocations.push_back({kText + 8, kInit});
         },
         "no base relocation into INIT from outside it: .text at 0x1008 -> INIT at 0x5000"},
        {"a PAGE address into INIT",
         [](TestImage& i) {
             i.relocations.push_back({kPage + 4, kInit + 6});
         },
         "no base relocation into INIT from outside it: PAGE at 0x4004 -> INIT at 0x5006"},
        {"INIT kept", [](TestImage& i) { i.flags["INIT"] = kCodeFlags; },
         "INIT discardable, PAGE and .text resident: INIT is not discardable (0x60000020)"},
        {"PAGE discarded", [](TestImage& i) { i.flags["PAGE"] |= pe::kSectionDiscardable; },
         "INIT discardable, PAGE and .text resident: PAGE is discardable (0x62000020)"},
        {".text discarded", [](TestImage& i) { i.flags[".text"] |= pe::kSectionDiscardable; },
         "INIT discardable, PAGE and .text resident: .text is discardable (0x62000020)"},
        {"PAGE writable", [](TestImage& i) { i.flags["PAGE"] |= pe::kSectionWrite; },
         "INIT discardable, PAGE and .text resident: PAGE is not read-only code (0xE0000020)"},
        {"INIT not executable", [](TestImage& i) { i.flags["INIT"] = 0x42000040; },
         "INIT discardable, PAGE and .text resident: INIT is not read-only code (0x42000040)"},
        {"code in a misspelt section",
         [](TestImage& i) {
             i.extra_sections.push_back("PGAE");
             i.flags["PGAE"] = kCodeFlags;
         },
         "code in .text, PAGE and INIT only: PGAE"},
        {"a data directory in INIT", [](TestImage& i) { i.directories[9] = kInit + 8; },
         "no data directory in INIT: TLS table at 0x5008"},
    };
    for (const auto& f : faults) {
        TestImage image = Placed();
        f.spoil(image);
        EXPECT_EQ(SectionFailures(image), std::vector<std::string>{f.failure}) << f.what;
    }

    // No INIT at all: nothing can be discarded and the entry point has no home.
    TestImage image = Placed();
    image.extra_sections = {"PAGE"};
    image.relocations = {};
    image.entry = kText;
    EXPECT_EQ(SectionFailures(image),
              (std::vector<std::string>{"INIT discardable, PAGE and .text resident: no INIT section",
                                        "entry point in INIT: the entry point 0x1000 lies in .text"}));
}

TEST(PeCheckSections, MalformedRelocationsAreReported)
{
    auto file = Placed().Build();
    const pe::Image image(file);
    const auto reloc = std::ranges::find(image.sections(), ".reloc", &pe::Section::name);
    ASSERT_NE(reloc, image.sections().end());
    Put32(file, reloc->raw_offset + 4, 4); // a block shorter than its own header
    const auto results = pecheck::CheckSections(file, nullptr, nullptr);
    ASSERT_EQ(results.size(), 5u);
    EXPECT_FALSE(results[3].ok);
    EXPECT_EQ(results[3].detail, "base relocation block at 0x0 has size 0x4");
    Put32(file, reloc->raw_offset + 4, 12);
    Put16(file, reloc->raw_offset + 8, 0xA000 | 4); // a 64-bit relocation in a 32-bit image
    EXPECT_EQ(pecheck::CheckSections(file, nullptr, nullptr)[3].detail,
              "base relocation of type 10 at RVA 0x1004");
}

TEST(PeCheckSections, SetSectionCharacteristicsKeepsTheChecksumRight)
{
    TestImage placed = Placed();
    placed.flags["INIT"] = kCodeFlags;
    const auto before = placed.Build();
    const auto after = pe::SetSectionCharacteristics(before, "INIT", kCodeFlags | pe::kSectionDiscardable);
    EXPECT_EQ(after, Placed().Build());
    const pe::Image image(after);
    EXPECT_EQ(image.checksum(), pe::Checksum(after, image.checksum_offset()));
    EXPECT_NE(image.checksum(), pe::Image(before).checksum());
    EXPECT_THROW(pe::SetSectionCharacteristics(before, "DISCARD", 0), pe::PeError);
}

// A COFF object: sections with relocations against symbols by index; symbols with long names in the
// string table.
struct TestObject {
    struct Symbol {
        std::string name;
        int16_t section; // 1-based; 0 external
        uint16_t type;   // 0x20 a function
        uint8_t storage; // 2 external, 3 static
    };
    std::vector<std::pair<std::string, std::vector<uint32_t>>> sections; // name, symbols relocated against
    std::vector<Symbol> symbols;

    std::vector<uint8_t> Build() const
    {
        std::vector<uint8_t> b(20 + 40 * sections.size());
        Put16(b, 0, 0x14C);
        Put16(b, 2, sections.size());
        std::string strings(4, '\0');
        for (size_t i = 0; i < sections.size(); i++) {
            const size_t s = 20 + 40 * i;
            PutString(b, s,
                      sections[i].first.size() <= 8 ? sections[i].first
                                                    : "/" + std::to_string(strings.size()));
            if (sections[i].first.size() > 8) {
                strings += sections[i].first + '\0';
            }
            Put32(b, s + 24, b.size());
            Put16(b, s + 32, sections[i].second.size());
            for (size_t r = 0; r < sections[i].second.size(); r++) {
                const size_t at = b.size();
                Put32(b, at, 4 * r);
                Put32(b, at + 4, sections[i].second[r]);
                Put16(b, at + 8, 0x14); // REL32
            }
        }
        Put32(b, 8, b.size());
        Put32(b, 12, symbols.size());
        for (const Symbol& sym : symbols) {
            const size_t at = b.size();
            b.resize(at + 18);
            if (sym.name.size() <= 8) {
                std::copy(sym.name.begin(), sym.name.end(), b.begin() + at);
            } else {
                Put32(b, at + 4, strings.size());
                strings += sym.name + '\0';
            }
            Put16(b, at + 12, static_cast<uint16_t>(sym.section));
            Put16(b, at + 14, sym.type);
            b[at + 16] = sym.storage;
        }
        const size_t table = b.size();
        b.insert(b.end(), strings.begin(), strings.end());
        Put32(b, table, strings.size());
        return b;
    }
};

// entry.obj: DriverEntry in INIT calling AddDevice (PAGE) and a static helper of its own in INIT.
TestObject Entry()
{
    return {{{".text", {}}, {"PAGE", {}}, {"INIT", {2, 3}}},
            {{"_DriverEntry@8", 3, 0x20, 2},
             {"__Z9AddDeviceP15_DRIVER_OBJECTP14_DEVICE_OBJECT@8", 2, 0x20, 2},
             {"__ZL12InitEventLogPv", 3, 0x20, 3},
             {"INIT", 3, 0, 3}}};
}

// pnp.obj: DispatchPnp in PAGE calling StartCompletion's address (.text) and CompleteRequest (external).
TestObject Pnp()
{
    return {{{".text", {}}, {"PAGE", {0, 2}}},
            {{"__ZL15StartCompletionP14_DEVICE_OBJECTP4_IRPPv@12", 1, 0x20, 3},
             {"__Z11DispatchPnpP14_DEVICE_OBJECTP4_IRP@8", 2, 0x20, 2},
             {"__Z15CompleteRequestP4_IRPlm", 0, 0x20, 2}}};
}

const pecheck::SectionList kListed = {{"INIT", {"DriverEntry", "InitEventLog"}},
                                      {"PAGE", {"AddDevice", "DispatchPnp", "PassDown"}}};

std::vector<pecheck::Result> ObjectResults(const std::vector<TestObject>& objects,
                                           const pecheck::SectionList* listed = &kListed)
{
    std::vector<pecheck::CoffObject> read;
    for (size_t i = 0; i < objects.size(); i++) {
        read.push_back(pecheck::ReadCoffObject("o" + std::to_string(i) + ".obj", objects[i].Build()));
    }
    auto results = pecheck::CheckSections(Placed().Build(), &read, listed);
    return {results.end() - 2, results.end()};
}

TEST(PeCheckSections, ObjectsNameTheirRoutinesAndReferences)
{
    const auto o = pecheck::ReadCoffObject("entry.obj", Entry().Build());
    ASSERT_EQ(o.routines.size(), 3u);
    EXPECT_EQ(o.routines[0].name + " " + o.routines[0].section, "DriverEntry INIT");
    EXPECT_EQ(o.routines[1].name + " " + o.routines[1].section, "AddDevice PAGE");
    EXPECT_EQ(o.routines[2].name + " " + o.routines[2].section, "InitEventLog INIT");
    ASSERT_EQ(o.references.size(), 2u);
    EXPECT_EQ(o.references[0].from_section + " " + o.references[0].to_section, "INIT INIT");
    EXPECT_EQ(o.externals.size(), 2u); // the statics stay out

    const auto results = ObjectResults({Entry(), Pnp()});
    for (const auto& r : results) {
        EXPECT_TRUE(r.ok) << pecheck::Format(r);
    }
    EXPECT_EQ(results[1].detail, "PAGE: AddDevice, DispatchPnp; INIT: DriverEntry, InitEventLog; 1 listed "
                                 "routines inlined into their callers");
    EXPECT_EQ(ObjectResults({Entry(), Pnp()}, nullptr)[1].detail,
              "PAGE: AddDevice, DispatchPnp; INIT: DriverEntry, InitEventLog");
}

struct ObjectFault {
    const char* what;
    std::function<void(TestObject& entry, TestObject& pnp)> spoil;
    std::string failure;
};

TEST(PeCheckSections, ObjectFaultsNameTheRoutine)
{
    const ObjectFault faults[] = {
        {"PAGE calls DriverEntry in another object",
         [](TestObject&, TestObject& p) {
             p.symbols.push_back({"_DriverEntry@8", 0, 0x20, 2});
             p.sections[1].second.push_back(3);
         },
         "no reference into INIT from the objects: o1.obj: PAGE -> DriverEntry"},
        {".text calls a static INIT routine of its own object",
         [](TestObject& e, TestObject&) { e.sections[0].second.push_back(3); },
         "no reference into INIT from the objects: o0.obj: .text -> INIT"},
        {"an INIT routine left in .text", [](TestObject& e, TestObject&) { e.symbols[2].section = 1; },
         "routines in PAGE and INIT as listed: InitEventLog is in .text, listed in INIT"},
        {"a PAGE routine not listed", [](TestObject&, TestObject& p) { p.symbols[0].section = 2; },
         "routines in PAGE and INIT as listed: PAGE holds StartCompletion, not listed"},
    };
    for (const auto& f : faults) {
        TestObject entry = Entry(), pnp = Pnp();
        f.spoil(entry, pnp);
        EXPECT_EQ(Failed(ObjectResults({entry, pnp})), std::vector<std::string>{f.failure}) << f.what;
    }
}

TEST(PeCheckSections, NamesListsAndMalformedObjects)
{
    const std::pair<std::string, std::string> names[] = {
        {"_DriverEntry@8", "DriverEntry"},
        {"__ZL8PassDownP14_DEVICE_OBJECTP4_IRP@8", "PassDown"},
        {"__Z11StartDeviceP17_DEVICE_EXTENSION", "StartDevice"},
        {"__ZL8PassDownP14_DEVICE_OBJECTP4_IRP.part.0", "PassDown"},
        {"_memcpy", "memcpy"},
        {"@IofCallDriver@8", "@IofCallDriver"},
    };
    for (const auto& [symbol, name] : names) {
        EXPECT_EQ(pecheck::RoutineName(symbol), name) << symbol;
    }

    std::istringstream list("# comment\n\nPAGE DispatchPnp\n  INIT DriverEntry \r\nPAGE AddDevice\n");
    EXPECT_EQ(pecheck::ReadSectionList(list),
              (pecheck::SectionList{{"INIT", {"DriverEntry"}}, {"PAGE", {"AddDevice", "DispatchPnp"}}}));
    for (const char* bad : {"TEXT Foo\n", "PAGE\n", "PAGE Foo Bar\n"}) {
        std::istringstream in(bad);
        EXPECT_THROW(pecheck::ReadSectionList(in), std::runtime_error) << bad;
    }

    const auto good = Entry().Build();
    for (size_t size : {size_t{0}, size_t{19}, size_t{100}, good.size() - 1}) {
        EXPECT_THROW(pecheck::ReadCoffObject("cut.obj", {good.begin(), good.begin() + size}), pe::PeError)
            << size;
    }
    TestObject stray = Entry();
    stray.sections[2].second.push_back(40); // a symbol beyond the table
    EXPECT_THROW(pecheck::ReadCoffObject("stray.obj", stray.Build()), pe::PeError);
}

} // namespace
