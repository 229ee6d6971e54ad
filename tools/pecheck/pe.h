// A reader of PE images (the Windows executable format) for checking a built kernel image on the host:
// headers, section table, imports, base relocations, the resource tree, message-table and version
// resources, and the image checksum. Every offset the file holds is bounds-checked; malformed input throws
// PeError.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pe {

struct PeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileDll = 0x2000;      // file header characteristic
constexpr uint16_t kDllWdmDriver = 0x2000; // IMAGE_DLLCHARACTERISTICS_WDM_DRIVER, an optional header bit
constexpr uint32_t kResourceMessageTable = 11;
constexpr uint32_t kResourceVersion = 16;
constexpr uint32_t kSectionCode = 0x00000020;        // IMAGE_SCN_CNT_CODE
constexpr uint32_t kSectionDiscardable = 0x02000000; // IMAGE_SCN_MEM_DISCARDABLE
constexpr uint32_t kSectionExecute = 0x20000000;     // IMAGE_SCN_MEM_EXECUTE
constexpr uint32_t kSectionRead = 0x40000000;        // IMAGE_SCN_MEM_READ
constexpr uint32_t kSectionWrite = 0x80000000;       // IMAGE_SCN_MEM_WRITE
constexpr size_t kDirectoryResources = 2;
constexpr size_t kDirectorySecurity = 4; // its "RVA" is a file offset
constexpr size_t kDirectoryRelocations = 5;

struct Section {
    std::string name; // long names ("/N") resolved through the COFF string table when it is present
    uint32_t virtual_size;
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_offset;
    uint32_t characteristics;
    size_t header_offset; // of its entry in the section table
    bool Holds(uint32_t rva) const
    {
        return rva >= virtual_address && rva - virtual_address < std::max(virtual_size, raw_size);
    }
};

struct Import {
    std::string dll;
    std::string name; // empty for an import by ordinal
    std::optional<uint16_t> ordinal;
    uint32_t slot = 0; // the RVA of its entry in the import address table, which the loader fills
};

// A resource directory entry's identifier: a number or a name.
struct ResourceId {
    uint32_t id = 0;
    std::u16string name; // non-empty for a named entry
    bool operator==(const ResourceId&) const = default;
};

// A leaf of the type / name / language tree.
struct Resource {
    ResourceId type;
    ResourceId name;
    ResourceId language;
    uint32_t codepage;
    std::span<const uint8_t> data;
};

class Image {
public:
    // Parses the DOS, file and optional headers and the section table. The file must outlive the Image.
    explicit Image(std::span<const uint8_t> file);

    uint16_t machine() const { return machine_; }
    uint16_t characteristics() const { return characteristics_; }
    uint16_t magic() const { return magic_; }
    uint16_t subsystem() const { return subsystem_; }
    uint16_t dll_characteristics() const { return dll_characteristics_; }
    uint32_t checksum() const { return checksum_; }
    size_t checksum_offset() const { return checksum_offset_; }
    uint32_t entry_point() const { return entry_point_; }
    uint64_t image_base() const { return image_base_; }
    uint32_t section_alignment() const { return section_alignment_; }
    uint32_t size_of_image() const { return size_of_image_; }
    uint32_t size_of_headers() const { return size_of_headers_; }
    const std::vector<Section>& sections() const { return sections_; }
    // The section holding an RVA, or null.
    const Section* SectionAt(uint32_t rva) const;
    // A section's bytes in the file that the loader maps (the raw data up to the virtual size).
    std::span<const uint8_t> SectionBytes(const Section& section) const;

    struct Directory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };
    const std::vector<Directory>& directories() const { return directories_; }

    // These walk their data directory on each call and throw PeError when it is malformed.
    std::vector<Import> Imports() const;
    std::vector<Resource> Resources() const;
    // The sites of the base relocations (the 32-bit addresses the loader adjusts), with the RVA each
    // address points to. PE32 images only: any other kind of relocation throws.
    struct Relocation {
        uint32_t site;
        uint32_t target;
    };
    std::vector<Relocation> Relocations() const;

private:
    // The file bytes at an RVA, up to the end of the raw data holding it.
    std::span<const uint8_t> AtRva(uint32_t rva, const char* what) const;
    std::string StringAtRva(uint32_t rva, const char* what) const;
    std::optional<Directory> DataDirectory(size_t index) const;

    std::span<const uint8_t> file_;
    uint16_t machine_ = 0;
    uint16_t characteristics_ = 0;
    uint16_t magic_ = 0;
    uint16_t subsystem_ = 0;
    uint16_t dll_characteristics_ = 0;
    uint32_t entry_point_ = 0;
    uint64_t image_base_ = 0;
    uint32_t checksum_ = 0;
    size_t checksum_offset_ = 0;
    uint32_t size_of_headers_ = 0;
    uint32_t section_alignment_ = 0;
    uint32_t size_of_image_ = 0;
    std::vector<Directory> directories_;
    std::vector<Section> sections_;
};

// The image checksum: the file summed as little-endian 16-bit words with end-around carry, the checksum
// field counted as zero, plus the file's length.
uint32_t Checksum(std::span<const uint8_t> file, size_t checksum_offset);

struct Message {
    uint32_t id;
    std::u16string text; // without the NUL padding
    bool unicode;        // stored as UTF-16LE; otherwise single bytes, widened here
};

// The file with one section's characteristics replaced and the checksum made right again. Throws when
// the image has no such section.
std::vector<uint8_t> SetSectionCharacteristics(std::span<const uint8_t> file, const std::string& section,
                                               uint32_t characteristics);

// The entries of a MESSAGE_RESOURCE_DATA resource in block order. A single-byte entry holding a byte
// above 0x7F throws: its code page is not known here.
std::vector<Message> ParseMessageTable(std::span<const uint8_t> data);

// The fixed file version of a VS_VERSIONINFO resource as "a.b.c.d".
std::string ParseVersion(std::span<const uint8_t> data);

} // namespace pe
