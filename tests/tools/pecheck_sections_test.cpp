// pecheck's code-section checks against small images and COFF objects written here: a well-formed
// placement passes, and each fault (the entry point outside INIT, a reference into INIT from outside it,
// a section with the wrong flags, routines in the wrong section) trips its check and names the culprit.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "sections.h"
#include "tools/pe_image.h"

namespace {

using namespace pe_image;

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

// "NAME: DETAIL" of each failed check.
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
