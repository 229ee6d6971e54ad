#include "pe.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

namespace pe {

namespace {

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// Little-endian reads that throw when the field does not lie within the bytes.
void Need(std::span<const uint8_t> d, uint64_t offset, uint64_t size, const std::string& what)
{
    if (offset > d.size() || size > d.size() - offset) {
        throw PeError(what + ": " + Hex(size) + " bytes at offset " + Hex(offset) + " lie beyond the end (" +
                      Hex(d.size()) + " bytes)");
    }
}

uint16_t U16(std::span<const uint8_t> d, uint64_t offset, const std::string& what)
{
    Need(d, offset, 2, what);
    return static_cast<uint16_t>(d[offset] | d[offset + 1] << 8);
}

uint32_t U32(std::span<const uint8_t> d, uint64_t offset, const std::string& what)
{
    Need(d, offset, 4, what);
    return static_cast<uint32_t>(U16(d, offset, what) | static_cast<uint32_t>(U16(d, offset + 2, what))
                                                            << 16);
}

uint64_t U64(std::span<const uint8_t> d, uint64_t offset, const std::string& what)
{
    return U32(d, offset, what) | static_cast<uint64_t>(U32(d, offset + 4, what)) << 32;
}

// A NUL-terminated byte string starting at the span's first byte.
std::string CString(std::span<const uint8_t> d, const std::string& what)
{
    const auto end = std::find(d.begin(), d.end(), 0);
    if (end == d.end()) {
        throw PeError(what + ": string not terminated");
    }
    return std::string(d.begin(), end);
}

} // namespace

Image::Image(std::span<const uint8_t> file) : file_(file)
{
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        throw PeError("not a PE image: no MZ header");
    }
    const uint32_t pe = U32(file, 0x3C, "DOS header");
    if (U32(file, pe, "PE signature") != 0x00004550) {
        throw PeError("not a PE image: no PE signature at " + Hex(pe));
    }
    const uint64_t fh = pe + 4ull;
    Need(file, fh, 20, "file header");
    machine_ = U16(file, fh, "file header");
    const uint16_t section_count = U16(file, fh + 2, "file header");
    const uint32_t symbols = U32(file, fh + 8, "file header");
    const uint32_t symbol_count = U32(file, fh + 12, "file header");
    const uint16_t optional_size = U16(file, fh + 16, "file header");
    characteristics_ = U16(file, fh + 18, "file header");

    const uint64_t opt = fh + 20;
    Need(file, opt, optional_size, "optional header");
    const auto header = file.subspan(opt, optional_size);
    magic_ = U16(header, 0, "optional header");
    if (magic_ != kMagicPe32 && magic_ != kMagicPe32Plus) {
        throw PeError("optional header magic " + Hex(magic_) + " is neither PE32 nor PE32+");
    }
    // The two layouts differ after the image base; the fields read here sit at the same offsets up to
    // the stack and heap sizes, which are 64-bit in PE32+.
    const size_t directories = magic_ == kMagicPe32 ? 96 : 112;
    entry_point_ = U32(header, 16, "optional header");
    image_base_ =
        magic_ == kMagicPe32 ? U32(header, 28, "optional header") : U64(header, 24, "optional header");
    section_alignment_ = U32(header, 32, "optional header");
    size_of_image_ = U32(header, 56, "optional header");
    size_of_headers_ = U32(header, 60, "optional header");
    checksum_ = U32(header, 64, "optional header");
    checksum_offset_ = opt + 64;
    subsystem_ = U16(header, 68, "optional header");
    dll_characteristics_ = U16(header, 70, "optional header");
    const uint32_t directory_count = U32(header, directories - 4, "optional header");
    const size_t room = (optional_size - directories) / 8;
    for (size_t i = 0; i < std::min<size_t>(directory_count, room); i++) {
        directories_.push_back({U32(header, directories + 8 * i, "data directory"),
                                U32(header, directories + 8 * i + 4, "data directory")});
    }

    const uint64_t table = opt + optional_size;
    Need(file, table, section_count * 40ull, "section table");
    for (uint64_t s = table; s < table + section_count * 40ull; s += 40) {
        Section sec{};
        const auto raw_name = file.subspan(s, 8);
        sec.name.assign(raw_name.begin(), std::find(raw_name.begin(), raw_name.end(), 0));
        sec.virtual_size = U32(file, s + 8, "section table");
        sec.virtual_address = U32(file, s + 12, "section table");
        sec.raw_size = U32(file, s + 16, "section table");
        sec.raw_offset = U32(file, s + 20, "section table");
        sec.characteristics = U32(file, s + 36, "section table");
        sec.header_offset = s;
        // A long name is "/" and a decimal offset into the string table after the symbol table.
        if (sec.name.size() > 1 && sec.name[0] == '/' && symbols != 0 &&
            std::all_of(sec.name.begin() + 1, sec.name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            const uint64_t at = symbols + symbol_count * 18ull + std::stoull(sec.name.substr(1));
            if (at < file.size()) {
                sec.name = CString(file.subspan(at), "long section name " + sec.name);
            }
        }
        if (sec.raw_size != 0) {
            Need(file, sec.raw_offset, sec.raw_size, "section " + sec.name + " raw data");
        }
        sections_.push_back(std::move(sec));
    }
}

std::span<const uint8_t> Image::SectionBytes(const Section& s) const
{
    const uint32_t size = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
    return size == 0 ? std::span<const uint8_t>() : file_.subspan(s.raw_offset, size);
}

std::span<const uint8_t> Image::AtRva(uint32_t rva, const char* what) const
{
    if (rva < size_of_headers_ && rva < file_.size()) {
        return file_.subspan(rva, std::min<size_t>(size_of_headers_, file_.size()) - rva);
    }
    for (const Section& s : sections_) {
        // Bytes past the virtual size are never mapped; a zero virtual size means the raw size.
        const uint32_t size = s.virtual_size != 0 ? std::min(s.raw_size, s.virtual_size) : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < size) {
            return file_.subspan(s.raw_offset + (rva - s.virtual_address), size - (rva - s.virtual_address));
        }
    }
    throw PeError(std::string(what) + " at RVA " + Hex(rva) + " lies in no section's file data");
}

const Section* Image::SectionAt(uint32_t rva) const
{
    const auto found = std::ranges::find_if(sections_, [&](const Section& s) { return s.Holds(rva); });
    return found == sections_.end() ? nullptr : &*found;
}

std::vector<Image::Relocation> Image::Relocations() const
{
    std::vector<Relocation> out;
    const auto dir = DataDirectory(kDirectoryRelocations);
    if (!dir) {
        return out;
    }
    const auto blocks = AtRva(dir->rva, "base relocations");
    Need(blocks, 0, dir->size, "base relocations");
    // Blocks of one 4 KB page each: the page's RVA, the block's size, then 16-bit entries of a type (high
    // four bits) and an offset in the page. Type 0 pads a block to four bytes.
    for (uint64_t b = 0; b < dir->size;) {
        const uint32_t page = U32(blocks, b, "base relocation block");
        const uint32_t size = U32(blocks, b + 4, "base relocation block");
        if (size < 8 || b + size > dir->size) {
            throw PeError("base relocation block at " + Hex(b) + " has size " + Hex(size));
        }
        for (uint64_t e = b + 8; e + 2 <= b + size; e += 2) {
            const uint16_t entry = U16(blocks, e, "base relocation");
            const uint32_t site = page + (entry & 0xFFF);
            if (entry >> 12 == 0) {
                continue;
            }
            if (entry >> 12 != 3 || magic_ != kMagicPe32) {
                throw PeError("base relocation of type " + std::to_string(entry >> 12) + " at RVA " +
                              Hex(site));
            }
            const uint32_t address =
                U32(AtRva(site, "relocated address"), 0, "relocated address at " + Hex(site));
            out.push_back({site, static_cast<uint32_t>(address - image_base_)});
        }
        b += size;
    }
    return out;
}

std::string Image::StringAtRva(uint32_t rva, const char* what) const
{
    return CString(AtRva(rva, what), std::string(what) + " at RVA " + Hex(rva));
}

std::optional<Image::Directory> Image::DataDirectory(size_t index) const
{
    if (index >= directories_.size() || directories_[index].rva == 0) {
        return std::nullopt;
    }
    return directories_[index];
}

std::vector<Import> Image::Imports() const
{
    std::vector<Import> imports;
    const auto dir = DataDirectory(1);
    if (!dir) {
        return imports;
    }
    const auto descriptors = AtRva(dir->rva, "import directory");
    const size_t width = magic_ == kMagicPe32 ? 4 : 8;
    const uint64_t ordinal_flag = width == 4 ? 0x80000000u : 0x8000000000000000u;
    for (uint64_t d = 0;; d += 20) {
        Need(descriptors, d, 20, "import directory (not terminated by an empty descriptor)");
        const uint32_t lookup = U32(descriptors, d, "import descriptor");
        const uint32_t name = U32(descriptors, d + 12, "import descriptor");
        const uint32_t addresses = U32(descriptors, d + 16, "import descriptor");
        if (lookup == 0 && name == 0 && addresses == 0) {
            break;
        }
        const std::string dll = StringAtRva(name, "import DLL name");
        const std::string where = "imports of " + dll;
        // The lookup table survives binding; the address table is its copy in images without one.
        const auto thunks = AtRva(lookup != 0 ? lookup : addresses, where.c_str());
        for (uint64_t t = 0;; t += width) {
            const uint64_t thunk = width == 4 ? U32(thunks, t, where) : U64(thunks, t, where);
            if (thunk == 0) {
                break;
            }
            const auto slot = static_cast<uint32_t>(addresses + t);
            if (thunk & ordinal_flag) {
                imports.push_back({dll, "", static_cast<uint16_t>(thunk & 0xFFFF), slot});
                continue;
            }
            const auto hint_name = AtRva(static_cast<uint32_t>(thunk & 0x7FFFFFFF), where.c_str());
            Need(hint_name, 0, 2, where + " hint");
            imports.push_back({dll, CString(hint_name.subspan(2), where), std::nullopt, slot});
        }
    }
    return imports;
}

namespace {

// The type / name / language tree under the resource directory. Offsets in it are relative to its
// start; a directory reached twice would make the walk loop or multiply, so it is an error.
class ResourceWalk {
public:
    ResourceWalk(std::span<const uint8_t> root, std::function<std::span<const uint8_t>(uint32_t)> at_rva)
        : root_(root), at_rva_(std::move(at_rva))
    {
    }

    std::vector<Resource> Walk()
    {
        Directory(0, 0);
        return out_;
    }

private:
    void Directory(uint32_t offset, int level)
    {
        static const char* const kLevel[] = {"type", "name", "language"};
        const std::string what = std::string("resource ") + kLevel[level] + " directory at " + Hex(offset);
        if (!visited_.insert(offset).second) {
            throw PeError(what + " is reached twice");
        }
        const uint32_t count = U16(root_, offset + 12ull, what) + U16(root_, offset + 14ull, what);
        Need(root_, offset + 16ull, count * 8ull, what);
        for (uint32_t i = 0; i < count; i++) {
            const uint64_t entry = offset + 16ull + 8ull * i;
            const uint32_t name = U32(root_, entry, what);
            const uint32_t target = U32(root_, entry + 4, what);
            path_[level] = Id(name, what);
            const bool subdirectory = (target & 0x80000000u) != 0;
            if (subdirectory != (level < 2)) {
                throw PeError(what + ": entry " + std::to_string(i) +
                              (subdirectory ? " nests too deep" : " is a leaf"));
            }
            if (subdirectory) {
                Directory(target & 0x7FFFFFFF, level + 1);
            } else {
                Leaf(target);
            }
        }
    }

    ResourceId Id(uint32_t name, const std::string& what)
    {
        if ((name & 0x80000000u) == 0) {
            return {name & 0xFFFF, {}};
        }
        const uint32_t at = name & 0x7FFFFFFF;
        const uint16_t length = U16(root_, at, what + " entry name");
        Need(root_, at + 2ull, length * 2ull, what + " entry name");
        ResourceId id;
        for (uint32_t i = 0; i < length; i++) {
            id.name += static_cast<char16_t>(U16(root_, at + 2ull + 2ull * i, what));
        }
        return id;
    }

    void Leaf(uint32_t offset)
    {
        const std::string what = "resource data entry at " + Hex(offset);
        const uint32_t rva = U32(root_, offset, what);
        const uint32_t size = U32(root_, offset + 4ull, what);
        const uint32_t codepage = U32(root_, offset + 8ull, what);
        const auto data = at_rva_(rva);
        Need(data, 0, size, what + ": data at RVA " + Hex(rva));
        out_.push_back({path_[0], path_[1], path_[2], codepage, data.first(size)});
    }

    std::span<const uint8_t> root_;
    std::function<std::span<const uint8_t>(uint32_t)> at_rva_;
    std::set<uint32_t> visited_;
    ResourceId path_[3];
    std::vector<Resource> out_;
};

} // namespace

std::vector<Resource> Image::Resources() const
{
    const auto dir = DataDirectory(2);
    if (!dir) {
        return {};
    }
    return ResourceWalk(AtRva(dir->rva, "resource directory"),
                        [this](uint32_t rva) { return AtRva(rva, "resource data"); })
        .Walk();
}

uint32_t Checksum(std::span<const uint8_t> file, size_t checksum_offset)
{
    const auto byte = [&](size_t i) -> uint32_t {
        return i >= file.size() || (i >= checksum_offset && i - checksum_offset < 4) ? 0 : file[i];
    };
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byte(i) | byte(i + 1) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + static_cast<uint32_t>(file.size());
}

std::vector<uint8_t> SetSectionCharacteristics(std::span<const uint8_t> file, const std::string& section,
                                               uint32_t characteristics)
{
    const Image image(file);
    const auto found = std::ranges::find(image.sections(), section, &Section::name);
    if (found == image.sections().end()) {
        throw PeError("no section " + section);
    }
    std::vector<uint8_t> out(file.begin(), file.end());
    for (int i = 0; i < 4; i++) {
        out[found->header_offset + 36 + i] = static_cast<uint8_t>(characteristics >> 8 * i);
    }
    const uint32_t sum = Checksum(out, image.checksum_offset());
    for (int i = 0; i < 4; i++) {
        out[image.checksum_offset() + i] = static_cast<uint8_t>(sum >> 8 * i);
    }
    return out;
}

std::vector<Message> ParseMessageTable(std::span<const uint8_t> data)
{
    std::vector<Message> out;
    const uint32_t blocks = U32(data, 0, "message table");
    Need(data, 4, blocks * 12ull, "message table blocks");
    for (uint32_t b = 0; b < blocks; b++) {
        const std::string what = "message table block " + std::to_string(b);
        const uint32_t low = U32(data, 4 + 12ull * b, what);
        const uint32_t high = U32(data, 8 + 12ull * b, what);
        uint64_t at = U32(data, 12 + 12ull * b, what);
        if (high < low) {
            throw PeError(what + ": ids " + Hex(low) + " to " + Hex(high) + " run backwards");
        }
        // Each entry takes at least its four-byte header, so the walk ends within the data.
        for (uint64_t id = low; id <= high; id++) {
            const std::string entry = "message " + Hex(id);
            const uint16_t length = U16(data, at, entry);
            const uint16_t flags = U16(data, at + 2, entry);
            if (length < 4) {
                throw PeError(entry + ": entry length " + std::to_string(length) +
                              " is shorter than its header");
            }
            Need(data, at, length, entry);
            const auto bytes = data.subspan(at + 4, length - 4);
            Message m{static_cast<uint32_t>(id), {}, (flags & 1) != 0};
            if (m.unicode) {
                for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
                    m.text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
                }
            } else {
                for (uint8_t c : bytes) {
                    if (c > 0x7F) {
                        throw PeError(entry + ": single-byte text holds byte " + Hex(c) +
                                      ", whose code page is unknown (store the table as UTF-16)");
                    }
                    m.text += static_cast<char16_t>(c);
                }
            }
            m.text.erase(m.text.find_last_not_of(u'\0') + 1);
            out.push_back(std::move(m));
            at += length;
        }
    }
    return out;
}

std::string ParseVersion(std::span<const uint8_t> data)
{
    static const std::u16string_view kKey = u"VS_VERSION_INFO";
    for (size_t i = 0; i <= kKey.size(); i++) {
        const char16_t expected = i < kKey.size() ? kKey[i] : u'\0';
        if (U16(data, 6 + 2 * i, "version resource") != expected) {
            throw PeError("version resource: key is not VS_VERSION_INFO");
        }
    }
    // The fixed file information follows the key, aligned to four bytes.
    const uint16_t value_length = U16(data, 2, "version resource");
    const uint32_t signature = U32(data, 40, "version resource");
    if (value_length < 52 || signature != 0xFEEF04BD) {
        throw PeError("version resource: no fixed file information");
    }
    const uint32_t ms = U32(data, 48, "version resource");
    const uint32_t ls = U32(data, 52, "version resource");
    char buf[48];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF);
    return buf;
}

} // namespace pe
