// The kernel image loader: the built quav.sys mapped by sections, relocated, bound and protected (skipped
// when build-sys/quav.sys has not been built), small images it must refuse, its binding table against the
// operations list, and the system-thread start PsTerminateSystemThread leaves through.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "pe.h"
#include "quavmsg_table.h"
#include "sim/operation_list.h"
#include "sim/pe_loader.h"
#include "sim_test.h"
#include "tools/pe_image.h"

namespace {

using sim::CallingConvention;

std::vector<uint8_t> ReadQuavSys()
{
    std::ifstream in(QUAV_SYS_IMAGE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The permissions ("r-x") of the mapping holding `address`, from the kernel's own account of the process.
std::string Permissions(uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        unsigned long long low = 0, high = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &low, &high, perms) == 3 && address >= low &&
            address < high) {
            return std::string(perms, 3);
        }
    }
    return "unmapped";
}

uint32_t U32(std::span<const uint8_t> bytes, size_t at)
{
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// The sites of the image's HIGHLOW relocations, walked from the file's .reloc bytes here rather than
// through the reader the loader uses.
std::vector<uint32_t> RelocationSites(std::span<const uint8_t> file, const pe::Image& image)
{
    const pe::Image::Directory dir = image.directories().at(pe::kDirectoryRelocations);
    const pe::Section* s = image.SectionAt(dir.rva);
    const auto blocks = file.subspan(s->raw_offset + (dir.rva - s->virtual_address), dir.size);
    std::vector<uint32_t> sites;
    for (size_t b = 0; b < blocks.size(); b += U32(blocks, b + 4)) {
        for (size_t e = b + 8; e < b + U32(blocks, b + 4); e += 2) {
            const uint16_t entry = static_cast<uint16_t>(blocks[e] | blocks[e + 1] << 8);
            if (entry >> 12 == 3) {
                sites.push_back(U32(blocks, b) + (entry & 0xFFF));
            }
        }
    }
    return sites;
}

// Why the loader refuses the file, or "mapped".
std::string MapError(std::span<const uint8_t> file, const char* name = "test.sys")
{
    try {
        sim::DriverImage::Map(file, name);
    } catch (const sim::ImageError& e) {
        return e.what();
    }
    return "mapped";
}

class QuavSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        file_ = ReadQuavSys();
        if (file_.empty()) {
            GTEST_SKIP() << QUAV_SYS_IMAGE << " is not built (make sys)";
        }
        image_ = sim::DriverImage::Map(file_, "quav.sys");
    }

    const sim::ImageSection& Section(const std::string& name) const
    {
        const auto& all = image_->sections();
        const auto found = std::ranges::find(all, name, &sim::ImageSection::name);
        EXPECT_NE(found, all.end()) << name;
        return *found;
    }

    std::vector<uint8_t> file_;
    std::unique_ptr<sim::DriverImage> image_;
};

TEST_F(QuavSysTest, EveryRelocatedAddressPointsIntoTheMovedImage)
{
    const pe::Image parsed(file_);
    const std::vector<uint32_t> sites = RelocationSites(file_, parsed);
    ASSERT_GT(sites.size(), 100u);
    ASSERT_NE(image_->base(), image_->preferred_base());
    EXPECT_EQ(image_->relocations_applied(), sites.size());
    const uint32_t delta = static_cast<uint32_t>(image_->base()) - image_->preferred_base();
    for (const uint32_t site : sites) {
        uint32_t mapped;
        std::memcpy(&mapped, reinterpret_cast<const void*>(image_->base() + site), 4);
        const uint32_t in_file =
            U32(file_, parsed.SectionAt(site)->raw_offset + site - parsed.SectionAt(site)->virtual_address);
        EXPECT_EQ(mapped, in_file + delta) << "site " << site;
        EXPECT_GE(mapped, image_->base()) << "site " << site;
        EXPECT_LT(mapped, image_->base() + image_->size()) << "site " << site;
    }
    EXPECT_EQ(image_->entry_point(), image_->base() + parsed.entry_point());
}

// Each import is bound to the platform's routine for its module and name (ImageBindings below checks
// the conventions of the table): 40 stdcall, 3 fastcall and 5 cdecl routines.
TEST_F(QuavSysTest, ImportsAreBoundByName)
{
    std::map<CallingConvention, int> count;
    for (const sim::BoundImport& i : image_->imports()) {
        ASSERT_NE(i.binding, nullptr) << i.name;
        EXPECT_EQ(i.binding, sim::FindBinding(i.module, i.name)) << i.name;
        count[i.binding->convention]++;
        // The import address table holds the routine; a 64-bit address cannot be held, and stays zero.
        const auto address = reinterpret_cast<uintptr_t>(i.binding->address);
        uint32_t entry;
        std::memcpy(&entry, reinterpret_cast<const void*>(i.slot), 4);
        EXPECT_EQ(entry, uint64_t{address} <= 0xFFFFFFFFu ? address : 0u) << i.name;
    }
    EXPECT_EQ(count, (std::map<CallingConvention, int>{{CallingConvention::Stdcall, 40},
                                                       {CallingConvention::Fastcall, 3},
                                                       {CallingConvention::Cdecl, 5}}));
}

TEST_F(QuavSysTest, SectionsAreProtectedAsTheirCharacteristicsSay)
{
    const std::map<std::string, std::string> expected = {
        {".text", "r-x"}, {"INIT", "r-x"},   {".rdata", "r--"}, {".data", "rw-"},
        {".bss", "rw-"},  {".idata", "rw-"}, {".rsrc", "r--"},  {".reloc", "r--"}};
    for (const auto& [name, perms] : expected) {
        EXPECT_EQ(Permissions(Section(name).address), perms) << name;
        EXPECT_EQ(Permissions(Section(name).address + Section(name).size - 1), perms) << name;
    }
    EXPECT_EQ(Permissions(image_->base()), "r--") << "headers";
}

using QuavSysDeathTest = QuavSysTest;

TEST_F(QuavSysDeathTest, InitIsInaccessibleOnceDriverEntryHasReturned)
{
    const sim::ImageSection& init = Section("INIT");
    ASSERT_TRUE(init.discardable);
    const auto* code = reinterpret_cast<const volatile uint8_t*>(init.address);
    EXPECT_EQ(*code, file_[pe::Image(file_).SectionAt(init.address - image_->base())->raw_offset]);
    image_->DiscardInit();
    EXPECT_EQ(Permissions(init.address), "---");
    EXPECT_EQ(Permissions(Section(".text").address), "r-x");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH((void)*code, "");
}

TEST_F(QuavSysTest, EachMappingStartsFromTheFilesData)
{
    const auto& data = Section(".data");
    const auto& bss = Section(".bss");
    std::memset(reinterpret_cast<void*>(data.address), 0xA5, data.size);
    std::memset(reinterpret_cast<void*>(bss.address), 0xA5, bss.size);
    const auto second = sim::DriverImage::Map(file_, "quav.sys");
    ASSERT_NE(second->base(), image_->base());
    // The second image's .data is the file's, relocated for where it lies; its .bss is zero.
    const pe::Image parsed(file_);
    const pe::Section& in_file = *parsed.SectionAt(data.address - image_->base());
    std::vector<uint8_t> expected(file_.begin() + in_file.raw_offset,
                                  file_.begin() + in_file.raw_offset + in_file.virtual_size);
    const uint32_t delta = static_cast<uint32_t>(second->base()) - second->preferred_base();
    for (const uint32_t site : RelocationSites(file_, parsed)) {
        if (in_file.Holds(site)) {
            const size_t at = site - in_file.virtual_address;
            const uint32_t value = U32(expected, at) + delta;
            std::memcpy(expected.data() + at, &value, 4);
        }
    }
    const auto* second_data = reinterpret_cast<const uint8_t*>(second->base() + in_file.virtual_address);
    EXPECT_EQ(std::vector<uint8_t>(second_data, second_data + expected.size()), expected);
    const auto* second_bss =
        reinterpret_cast<const uint8_t*>(second->base() + (bss.address - image_->base()));
    EXPECT_EQ(std::vector<uint8_t>(second_bss, second_bss + bss.size), std::vector<uint8_t>(bss.size, 0));
}

TEST_F(QuavSysTest, MessageTableIsTheBuiltInOne)
{
    const auto by_id = [](std::span<const sim::MessageEntry> table) {
        std::map<uint32_t, std::u16string> out;
        for (const sim::MessageEntry& m : table) {
            EXPECT_TRUE(out.emplace(m.id, m.text).second) << std::hex << m.id << " twice";
        }
        return out;
    };
    const auto built_in = by_id(kQuavMessages);
    EXPECT_EQ(by_id(sim::ReadImageMessages(file_).entries), built_in);
    EXPECT_EQ(by_id(image_->messages()), built_in);
}

TEST_F(QuavSysTest, AnImportThePlatformLacksIsRefusedByName)
{
    std::vector<uint8_t> patched = file_;
    const std::string name = "ZwClose";
    const auto at = std::search(patched.begin(), patched.end(), name.begin(), name.end() + 1);
    ASSERT_NE(at, patched.end());
    at[6] = 'X';
    EXPECT_EQ(MapError(patched, "quav.sys"),
              "quav.sys imports ZwClosX from ntoskrnl.exe, which the platform does not provide");
}

// Every cut of the file short of its end lacks data a section holds: it is refused, never half-mapped.
TEST_F(QuavSysTest, ATruncatedCopyIsRefused)
{
    for (size_t length = 0; length < file_.size(); length += 509) {
        const std::span<const uint8_t> cut(file_.data(), length);
        EXPECT_THROW(sim::DriverImage::Map(cut, "quav.sys"), sim::ImageError) << length << " bytes";
    }
}

#if defined(__i386__)
// DriverEntry of the image itself: it runs as the built-in driver's does, logs with the image's own
// message table, and INIT is gone once it has returned. (Runs in the 32-bit build only.)
class QuavSysDriverTest : public SimTest {};

TEST_F(QuavSysDriverTest, DriverEntryRunsAndInitIsDiscarded)
{
    const std::vector<uint8_t> file = ReadQuavSys();
    if (file.empty()) {
        GTEST_SKIP() << QUAV_SYS_IMAGE << " is not built (make sys)";
    }
    const auto image = sim::DriverImage::Map(file, "quav.sys");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver =
        sim::LoadImageDriver(machine_.io(), *image, "QUAV",
                             u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(image->init_discarded());
    EXPECT_EQ(Permissions(image->entry_point()), "---");
    const auto events = machine_.eventlog().Records();
    ASSERT_FALSE(events.empty());
    for (const sim::EventRecord& e : events) {
        EXPECT_EQ(e.source, "QUAV");
        EXPECT_FALSE(e.message.empty()) << std::hex << e.id;
    }
    EXPECT_THROW(sim::LoadImageDriver(machine_.io(), *image, "QUAV", u"\\x", &status), sim::ImageError);
    machine_.io().UnloadDriver(driver);
}
#else
TEST_F(QuavSysTest, TheImagesCodeRunsOnlyInThe32BitBuild)
{
    sim::Machine machine;
    sim::AttachedThread thread("test");
    NTSTATUS status = 0;
    EXPECT_THROW(sim::LoadImageDriver(machine.io(), *image_, "QUAV", u"\\x", &status), sim::ImageError);
    EXPECT_FALSE(image_->entered());
    EXPECT_TRUE(machine.verifier().Take().empty());
}
#endif

// Small images, spoiled one way each: the loader refuses them and says why.
struct Refusal {
    const char* what;
    void (*spoil)(pe_image::TestImage&);
    const char* error; // a part of the error's text
};

const Refusal kRefusals[] = {
    {"ordinal", [](auto& i) { i.imports[0].second.push_back("#7"); },
     "test.sys imports ordinal 7 from ntoskrnl.exe: imports are bound by name only"},
    {"unlisted", [](auto& i) { i.imports[0].second.push_back("KeBugCheckEx"); },
     "test.sys imports KeBugCheckEx from ntoskrnl.exe, which the platform does not provide"},
    {"runtime from HAL", [](auto& i) { i.imports[1].second.push_back("memset"); },
     "test.sys imports memset from HAL.dll, which the platform does not provide"},
    {"HAL routine from the kernel", [](auto& i) { i.imports[0].second.push_back("READ_PORT_ULONG"); },
     "test.sys imports READ_PORT_ULONG from ntoskrnl.exe, which the platform does not provide"},
    {"foreign module",
     [](auto& i) {
         i.imports.push_back({"USER32.dll", {"MessageBoxW"}});
     },
     "test.sys imports MessageBoxW from USER32.dll, which the platform does not provide"},
    {"x64", [](auto& i) { i.machine = 0x8664; }, "test.sys is not built for i386 (machine 0x8664)"},
    {"Win32 program", [](auto& i) { i.subsystem = 2; }, "test.sys is no driver: its subsystem is 2"},
    {"fixed base", [](auto& i) { i.relocations.clear(); }, "has no base relocations, so it cannot be moved"},
    {"no entry point", [](auto& i) { i.entry = 0; }, "its entry point 0x0 lies outside the image"},
};

pe_image::TestImage Loadable()
{
    pe_image::TestImage image;
    image.entry = 0x1000;
    image.relocations = {{0x1004, 0x1000}};
    return image;
}

TEST(ImageLoader, RefusesWhatItCannotLoadAndSaysWhy)
{
    // A well-formed image maps, its message table stored as single bytes read all the same.
    pe_image::TestImage single_byte = Loadable();
    single_byte.unicode = false;
    single_byte.messages = {{0x402A0001, u"Started.\r\n"}, {0xC02A0010, u"%2 failed.\r\n"}};
    const auto good = sim::DriverImage::Map(single_byte.Build(), "test.sys");
    EXPECT_EQ(good->imports().size(), 4u);
    EXPECT_EQ(good->relocations_applied(), 1u);
    ASSERT_EQ(good->messages().size(), 2u);
    EXPECT_EQ(good->messages()[1].id, 0xC02A0010u);
    EXPECT_EQ(good->messages()[1].text, u"%2 failed.\r\n");
    for (const Refusal& r : kRefusals) {
        pe_image::TestImage image = Loadable();
        r.spoil(image);
        EXPECT_NE(MapError(image.Build()).find(r.error), std::string::npos)
            << r.what << ": " << MapError(image.Build());
    }
    // A relocation of another kind than HIGHLOW: type 10 (64-bit) in place of 3.
    std::vector<uint8_t> dir64 = Loadable().Build();
    const pe::Image parsed(dir64);
    const pe::Section& reloc = *parsed.SectionAt(parsed.directories()[pe::kDirectoryRelocations].rva);
    dir64[reloc.raw_offset + 9] = static_cast<uint8_t>(0xA0 | (dir64[reloc.raw_offset + 9] & 0x0F));
    EXPECT_NE(MapError(dir64).find("HIGHLOW relocations only"), std::string::npos) << MapError(dir64);
    // Cut short, or no image at all.
    std::vector<uint8_t> file = Loadable().Build();
    EXPECT_NE(MapError({file.begin(), file.begin() + 0x500}).find("test.sys: section .text raw data"),
              std::string::npos);
    file[0] = 'X';
    EXPECT_EQ(MapError(file), "test.sys: not a PE image: no MZ header");
    EXPECT_THROW(sim::DriverImage::Load("/nonexistent/quav.sys"), sim::ImageError);
}

// The binding table and the operations list name the same routines; the kernel's fastcall exports
// and the C runtime's cdecl ones are bound so, everything else stdcall.
TEST(ImageBindings, AgreeWithTheOperationsList)
{
    const sim::OperationList& list = sim::PlatformOperationList();
    std::set<std::string> bound;
    for (const sim::Binding& b : sim::PlatformBindings()) {
        EXPECT_TRUE(bound.insert(std::string(b.name)).second) << b.name << " bound twice";
        EXPECT_NE(b.address, nullptr) << b.name;
        EXPECT_TRUE(list.Contains(std::string(b.name))) << b.name;
        if (list.runtime.contains(std::string(b.name))) {
            EXPECT_EQ(b.module, "ntoskrnl.exe") << b.name;
        }
    }
    std::set<std::string> listed = list.operations;
    listed.insert(list.runtime.begin(), list.runtime.end());
    EXPECT_EQ(bound, listed);

    const std::map<CallingConvention, std::set<std::string>> expected = {
        {CallingConvention::Fastcall,
         {"IofCallDriver", "IofCompleteRequest", "ObfDereferenceObject", "InterlockedIncrement",
          "InterlockedDecrement"}},
        {CallingConvention::Cdecl, {"swprintf", "wcslen", "wcscpy", "memset", "memcpy", "memmove", "memcmp"}},
    };
    std::map<CallingConvention, std::set<std::string>> found;
    for (const sim::Binding& b : sim::PlatformBindings()) {
        if (b.convention != CallingConvention::Stdcall) {
            found[b.convention].insert(std::string(b.name));
        }
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(sim::FindBinding("hal.DLL", "READ_PORT_UCHAR"), sim::FindBinding("HAL.dll", "READ_PORT_UCHAR"));
    EXPECT_EQ(sim::FindBinding("ntoskrnl.exe", "READ_PORT_UCHAR"), nullptr);
}

// A system thread ending by PsTerminateSystemThread from nested frames: its start routine is left at
// once (nothing after the call runs, in any frame), the thread object is signalled, and the thread's
// operations are balanced for the threads after it.
struct Nest {
    int terminate_at; // 0: the start routine returns
    int deepest = 0;
    int resumed = 0; // frames that ran on after the call below them
};

[[gnu::noinline]] void Descend(Nest* nest, int depth)
{
    nest->deepest = depth;
    if (depth == nest->terminate_at) {
        PsTerminateSystemThread(STATUS_SUCCESS);
        nest->resumed++;
        return;
    }
    if (depth < 4) {
        Descend(nest, depth + 1);
        nest->resumed++;
    }
}

VOID NTAPI NestedStart(PVOID context)
{
    Descend(static_cast<Nest*>(context), 1);
}

class SystemThreadExitTest : public SimTest, public ::testing::WithParamInterface<int> {};

TEST_P(SystemThreadExitTest, EndsTheThreadWithoutReturningThroughItsFrames)
{
    for (int round = 0; round < 2; round++) {
        Nest nest{GetParam()};
        HANDLE handle = nullptr;
        OBJECT_ATTRIBUTES attributes{};
        attributes.Attributes = OBJ_KERNEL_HANDLE;
        ASSERT_EQ(PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, NestedStart, &nest),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -sim::Ms(10);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
        ObfDereferenceObject(thread);
        ZwClose(handle);
        EXPECT_EQ(nest.deepest, GetParam() == 0 ? 4 : GetParam());
        EXPECT_EQ(nest.resumed, GetParam() == 0 ? 3 : 0);
    }
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u); // the test's own
}

INSTANTIATE_TEST_SUITE_P(Depth, SystemThreadExitTest, ::testing::Values(0, 1, 3),
                         [](const auto& info) { return "TerminateAtDepth" + std::to_string(info.param); });

} // namespace
