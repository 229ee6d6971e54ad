#include "pe_loader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "iomanager.h"
#include "operation_list.h"
#include "pe.h"
#include "text.h"

namespace sim {

namespace {

// The modules a kernel driver imports from.
constexpr std::string_view kModules[] = {"ntoskrnl.exe", "HAL.dll", "WMILIB.SYS"};

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

bool SameModule(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

// Whether an address can be held in the image's 32-bit words.
bool Fits32(uint64_t address)
{
    return address <= 0xFFFFFFFFu;
}

size_t PageSize()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t RoundUp(size_t n, size_t to)
{
    return (n + to - 1) / to * to;
}

// A section's extent in memory: its virtual size, or its raw size when a linker left that zero.
size_t Extent(const pe::Section& s)
{
    return s.virtual_size != 0 ? s.virtual_size : s.raw_size;
}

void CheckHeaders(const pe::Image& image, const std::string& name)
{
    std::string fault;
    if (image.magic() != pe::kMagicPe32) {
        fault = "is no PE32 image (optional header magic " + Hex(image.magic()) + ")";
    } else if (image.machine() != pe::kMachineI386) {
        fault = "is not built for i386 (machine " + Hex(image.machine()) + ")";
    } else if (image.subsystem() != pe::kSubsystemNative) {
        fault = "is no driver: its subsystem is " + std::to_string(image.subsystem()) + ", not native (1)";
    } else if (image.section_alignment() == 0 || image.section_alignment() % PageSize() != 0) {
        fault = "aligns its sections to " + Hex(image.section_alignment()) +
                ", less than a page: their protections cannot be set apart";
    } else if (image.size_of_image() < PageSize() || image.size_of_image() > 0x10000000) {
        fault = "has an image size of " + Hex(image.size_of_image());
    }
    if (!fault.empty()) {
        throw ImageError(name + " " + fault);
    }
}

int Protection(const pe::Section& s, bool resources)
{
    int prot = PROT_NONE;
    if (s.characteristics & pe::kSectionRead) {
        prot |= PROT_READ;
    }
    // The resources are only ever read, whatever the linker marked.
    if ((s.characteristics & pe::kSectionWrite) && !resources) {
        prot |= PROT_WRITE;
    }
    if (s.characteristics & pe::kSectionExecute) {
        prot |= PROT_EXEC | PROT_READ;
    }
    return prot;
}

} // namespace

ImageMessages ReadImageMessages(std::span<const uint8_t> file)
{
    const pe::Image image(file);
    const std::vector<pe::Resource> resources = image.Resources();
    const pe::Resource* table = nullptr;
    for (const pe::Resource& r : resources) {
        if (r.type == pe::ResourceId{pe::kResourceMessageTable, {}} && r.name == pe::ResourceId{1, {}} &&
            (table == nullptr || r.language == pe::ResourceId{0x409, {}})) {
            table = &r;
        }
    }
    ImageMessages out;
    if (table == nullptr) {
        return out;
    }
    for (pe::Message& m : pe::ParseMessageTable(table->data)) {
        out.texts.push_back(std::move(m.text));
        out.entries.push_back({m.id, {}});
    }
    for (size_t i = 0; i < out.entries.size(); i++) {
        out.entries[i].text = out.texts[i];
    }
    return out;
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ImageError("cannot read the driver image " + path);
    }
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const size_t slash = path.find_last_of('/');
    return Map(file, slash == std::string::npos ? path : path.substr(slash + 1));
}

std::unique_ptr<DriverImage> DriverImage::Map(std::span<const uint8_t> file, std::string name)
{
    std::unique_ptr<DriverImage> out(new DriverImage);
    out->name_ = std::move(name);
    try {
        const pe::Image image(file);
        CheckHeaders(image, out->name_);
        out->MapSections(image, file);
        out->Relocate(image);
        out->Bind(image);
        out->Protect(image);
        ImageMessages messages = ReadImageMessages(file);
        out->texts_ = std::move(messages.texts);
        out->messages_ = std::move(messages.entries);
    } catch (const pe::PeError& e) {
        throw ImageError(out->name_ + ": " + e.what());
    }
    return out;
}

void DriverImage::MapSections(const pe::Image& image, std::span<const uint8_t> file)
{
    size_ = RoundUp(image.size_of_image(), PageSize());
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(MAP_32BIT)
    // On a 64-bit host: the image's absolute addresses are 32 bits wide.
    flags |= MAP_32BIT;
#endif
    void* at = mmap(nullptr, size_, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (at == MAP_FAILED) {
        size_ = 0;
        throw ImageError("cannot map " + name_ + " (" + Hex(image.size_of_image()) +
                         " bytes): " + std::strerror(errno));
    }
    base_ = reinterpret_cast<uintptr_t>(at);
    if (!Fits32(uint64_t{base_} + size_ - 1)) {
        throw ImageError(name_ + " mapped above 4 GB, where its 32-bit addresses cannot reach");
    }
    preferred_base_ = static_cast<uint32_t>(image.image_base());
    entry_rva_ = image.entry_point();
    if (entry_rva_ == 0 || entry_rva_ >= image.size_of_image()) {
        throw ImageError(name_ + ": its entry point " + Hex(entry_rva_) + " lies outside the image");
    }
    const size_t headers = std::min<size_t>({image.size_of_headers(), file.size(), size_});
    std::memcpy(reinterpret_cast<void*>(base_), file.data(), headers);
    // The memory is fresh and zero: a section's bytes beyond its file data (.bss) stay zero.
    for (const pe::Section& s : image.sections()) {
        const size_t extent = Extent(s);
        if (s.virtual_address % PageSize() != 0 || s.virtual_address < headers ||
            s.virtual_address + uint64_t{extent} > image.size_of_image()) {
            throw ImageError(name_ + ": section " + s.name + " at RVA " + Hex(s.virtual_address) + " (" +
                             Hex(extent) + " bytes) does not fit the image's pages");
        }
        std::memcpy(reinterpret_cast<void*>(base_ + s.virtual_address), file.data() + s.raw_offset,
                    std::min<size_t>(s.raw_size, extent));
        sections_.push_back({s.name, base_ + s.virtual_address, RoundUp(extent, PageSize()), PROT_NONE,
                             (s.characteristics & pe::kSectionDiscardable) != 0});
    }
}

void DriverImage::Relocate(const pe::Image& image)
{
    const uint32_t delta = static_cast<uint32_t>(base_) - preferred_base_;
    std::vector<pe::Image::Relocation> relocations;
    try {
        relocations = image.Relocations();
    } catch (const pe::PeError& e) {
        throw ImageError(name_ + ": " + e.what() + " (the loader applies 32-bit HIGHLOW relocations only)");
    }
    if (relocations.empty() && delta != 0) {
        throw ImageError(name_ + " has no base relocations, so it cannot be moved from its preferred base " +
                         Hex(preferred_base_));
    }
    for (const pe::Image::Relocation& r : relocations) {
        if (r.site > image.size_of_image() - 4) {
            throw ImageError(name_ + ": base relocation at RVA " + Hex(r.site) + " lies outside the image");
        }
        uint32_t value;
        std::memcpy(&value, reinterpret_cast<void*>(base_ + r.site), 4);
        value += delta;
        std::memcpy(reinterpret_cast<void*>(base_ + r.site), &value, 4);
    }
    relocations_ = relocations.size();
}

void DriverImage::Bind(const pe::Image& image)
{
    const OperationList& list = PlatformOperationList();
    std::vector<std::string> refused;
    for (const pe::Import& i : image.Imports()) {
        const std::string what = name_ + " imports ";
        if (i.ordinal) {
            refused.push_back(what + "ordinal " + std::to_string(*i.ordinal) + " from " + i.dll +
                              ": imports are bound by name only");
            continue;
        }
        const bool listed = list.operations.contains(i.name) ||
                            (list.runtime.contains(i.name) && SameModule(i.dll, "ntoskrnl.exe"));
        const Binding* binding = listed ? FindBinding(i.dll, i.name) : nullptr;
        if (binding == nullptr ||
            std::ranges::none_of(kModules, [&](std::string_view m) { return SameModule(m, i.dll); })) {
            refused.push_back(what + i.name + " from " + i.dll + ", which the platform does not provide");
            continue;
        }
        if (i.slot > image.size_of_image() - 4) {
            throw ImageError(name_ + ": the import address of " + i.name + " lies outside the image");
        }
        // In the 64-bit build the routine lies beyond 32 bits: the entry stays zero, so a call faults.
        const auto address = reinterpret_cast<uintptr_t>(binding->address);
        const uint32_t entry = Fits32(address) ? static_cast<uint32_t>(address) : 0;
        std::memcpy(reinterpret_cast<void*>(base_ + i.slot), &entry, 4);
        imports_.push_back({i.dll, i.name, binding, base_ + i.slot});
    }
    if (!refused.empty()) {
        std::string text;
        for (const std::string& r : refused) {
            text += (text.empty() ? "" : "; ") + r;
        }
        throw ImageError(text);
    }
}

void DriverImage::Protect(const pe::Image& image)
{
    const auto& directories = image.directories();
    const uint32_t resources = directories.size() > 2 ? directories[2].rva : 0;
    const auto set = [&](uintptr_t at, size_t size, int prot) {
        if (mprotect(reinterpret_cast<void*>(at), size, prot) != 0) {
            throw ImageError("cannot protect " + name_ + " at " + Hex(at) + ": " + std::strerror(errno));
        }
    };
    // What no section covers stays inaccessible.
    set(base_, size_, PROT_NONE);
    set(base_, RoundUp(image.size_of_headers(), PageSize()), PROT_READ);
    for (size_t k = 0; k < sections_.size(); k++) {
        const pe::Section& s = image.sections()[k];
        sections_[k].protection = Protection(s, resources != 0 && s.Holds(resources));
        set(sections_[k].address, sections_[k].size, sections_[k].protection);
    }
}

void DriverImage::DiscardInit()
{
    for (ImageSection& s : sections_) {
        if (s.discardable && s.protection != PROT_NONE) {
            // Inaccessible, and its pages given back; the range stays reserved for the image.
            mprotect(reinterpret_cast<void*>(s.address), s.size, PROT_NONE);
            madvise(reinterpret_cast<void*>(s.address), s.size, MADV_DONTNEED);
            s.protection = PROT_NONE;
        }
    }
    init_discarded_ = true;
}

DriverImage::~DriverImage()
{
    if (size_ != 0) {
        munmap(reinterpret_cast<void*>(base_), size_);
    }
}

PDRIVER_OBJECT LoadImageDriver(IoManager& io, DriverImage& image, std::string service_name,
                               std::u16string registry_path, NTSTATUS* status)
{
    if (image.entered_) {
        throw ImageError(image.name() + " has run its DriverEntry already: each load maps a fresh image, so "
                                        "that no static data carries over");
    }
#if defined(__i386__)
    image.entered_ = true;
    const auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image.entry_point());
    PDRIVER_OBJECT driver =
        io.LoadDriver(std::move(service_name), entry, std::move(registry_path), status, image.messages());
    image.DiscardInit();
    return driver;
#else
    (void)io;
    (void)service_name;
    (void)registry_path;
    (void)status;
    throw ImageError(image.name() +
                     " is 32-bit x86 code, which only the 32-bit build of the simulation runs");
#endif
}

} // namespace sim
