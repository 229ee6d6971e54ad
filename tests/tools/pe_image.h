// Small PE images written byte by byte for the pecheck tests: a driver image whose every field a test
// can spoil.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pe.h"
#include "quavmsg_table.h"

namespace pe_image {

inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    b.resize(std::max(b.size(), at + 2));
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8 & 0xFF;
}

inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

inline void PutString(std::vector<uint8_t>& b, size_t at, const std::string& s)
{
    b.resize(std::max(b.size(), at + s.size() + 1));
    std::copy(s.begin(), s.end(), b.begin() + at);
}

inline constexpr uint32_t kImageBase = 0x10000;
inline constexpr uint32_t kCodeFlags = 0x60000020; // code, execute, read

// A driver image: .text, .idata, .rsrc and any extra sections (16 zero bytes each), at RVAs 0x1000 apart
// from 0x1000 in that order, then .reloc when there are relocations. An import name "#N" is by ordinal.
struct TestImage {
    uint16_t machine = 0x14C;
    uint16_t characteristics = 0x0102; // executable, 32-bit
    uint16_t subsystem = 1;
    uint16_t dll_characteristics = 0x2140; // WDM driver, NX compatible, dynamic base
    std::vector<std::pair<std::string, std::vector<std::string>>> imports{
        {"ntoskrnl.exe", {"KeSetEvent", "IofCompleteRequest", "memcpy"}}, {"HAL.dll", {"READ_PORT_UCHAR"}}};
    std::vector<std::string> extra_sections;
    std::map<std::string, std::vector<uint8_t>> contents; // of extra sections (16 zero bytes otherwise)
    std::map<std::string, uint32_t> flags;                // characteristics by section name (0 otherwise)
    uint32_t entry = 0;
    std::vector<std::pair<uint32_t, uint32_t>> relocations; // site, target (RVAs)
    std::map<size_t, uint32_t> directories;                 // more data directories: index, RVA (4 bytes)
    std::vector<sim::MessageEntry> messages{kQuavMessages.begin(), kQuavMessages.end()};
    bool unicode = true;
    uint16_t message_language = 0x409;
    bool version = true;
    std::vector<std::pair<std::u16string, std::vector<uint8_t>>> mof; // MOFDATA resources: name, data
    std::optional<uint32_t> checksum;                                 // the right one when unset

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

    // A type, a name and a language directory a resource, one entry each, then its data; names of named
    // entries (a number when empty) follow everything.
    std::vector<uint8_t> Resources(uint32_t base) const
    {
        struct Leaf {
            std::u16string type_name;
            uint32_t type;
            std::u16string name;
            std::vector<uint8_t> data;
        };
        std::vector<Leaf> leaves;
        for (const auto& [name, data] : mof) {
            leaves.push_back({u"MOFDATA", 0, name, data});
        }
        if (!messages.empty()) {
            leaves.push_back({u"", 11, u"", MessageTable(messages, unicode)});
        }
        if (version) {
            leaves.push_back({u"", 16, u"", Version()});
        }
        std::vector<std::pair<size_t, std::u16string>> names; // where each name's offset goes
        std::vector<uint8_t> b(16 + 8 * leaves.size());
        Put16(b, 12, mof.size());
        Put16(b, 14, leaves.size() - mof.size());
        for (size_t i = 0; i < leaves.size(); i++) {
            const size_t dir = b.size(), languages = dir + 24, entry = languages + 24, data = entry + 16;
            const Leaf& leaf = leaves[i];
            leaf.type_name.empty() ? Put32(b, 16 + 8 * i, leaf.type)
                                   : names.push_back({16 + 8 * i, leaf.type_name});
            Put32(b, 20 + 8 * i, 0x80000000u | dir);
            Put16(b, dir + (leaf.name.empty() ? 14 : 12), 1);
            leaf.name.empty() ? Put32(b, dir + 16, 1) : names.push_back({dir + 16, leaf.name});
            Put32(b, dir + 20, 0x80000000u | languages);
            Put16(b, languages + 14, 1);
            Put32(b, languages + 16, leaf.type == 11 ? message_language : 0x409);
            Put32(b, languages + 20, entry);
            Put32(b, entry, base + data);
            Put32(b, entry + 4, leaf.data.size());
            b.resize(data);
            b.insert(b.end(), leaf.data.begin(), leaf.data.end());
            b.resize((b.size() + 3) / 4 * 4);
        }
        for (const auto& [at, name] : names) {
            Put32(b, at, 0x80000000u | b.size());
            const size_t text = b.size();
            Put16(b, text, name.size());
            for (size_t k = 0; k < name.size(); k++) {
                Put16(b, text + 2 + 2 * k, name[k]);
            }
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
            const auto given = contents.find(name);
            sections.push_back({name, given != contents.end() ? given->second : std::vector<uint8_t>(16)});
        }
        // One block a relocation: its page, size 12, the entry (type 3, 32-bit) and a padding entry.
        std::vector<uint8_t> blocks;
        for (const auto& [site, target] : relocations) {
            auto& data = sections.at(site / 0x1000 - 1).data;
            Put32(data, site % 0x1000, kImageBase + target);
            const size_t at = blocks.size();
            Put32(blocks, at, site & ~0xFFFu);
            Put32(blocks, at + 4, 12);
            Put16(blocks, at + 8, 0x3000 | (site & 0xFFF));
            Put16(blocks, at + 10, 0);
        }
        if (!blocks.empty()) {
            sections.push_back({".reloc", blocks});
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
        Put32(f, opt + 16, entry);
        Put32(f, opt + 28, kImageBase);
        Put32(f, opt + 32, 0x1000); // section alignment
        Put32(f, opt + 36, 0x200);  // file alignment
        Put32(f, opt + 56, rva());  // size of image
        Put32(f, opt + 60, 0x400);  // size of headers
        Put16(f, opt + 68, subsystem);
        Put16(f, opt + 70, dll_characteristics);
        Put32(f, opt + 92, 16);
        Put32(f, opt + 96 + 8, 0x2000); // imports
        Put32(f, opt + 96 + 12, sections[1].data.size());
        Put32(f, opt + 96 + 16, 0x3000); // resources
        Put32(f, opt + 96 + 20, sections[2].data.size());
        if (!blocks.empty()) {
            Put32(f, opt + 96 + 40, rva() - 0x1000);
            Put32(f, opt + 96 + 44, blocks.size());
        }
        for (const auto& [index, at] : directories) {
            Put32(f, opt + 96 + 8 * index, at);
            Put32(f, opt + 96 + 8 * index + 4, 4);
        }
        for (size_t i = 0; i < sections.size(); i++) {
            const size_t s = opt + 0xE0 + 40 * i;
            const size_t raw = (sections[i].data.size() + 0x1FF) / 0x200 * 0x200;
            std::copy(sections[i].name.begin(), sections[i].name.end(), f.begin() + s);
            Put32(f, s + 8, sections[i].data.size());
            Put32(f, s + 12, 0x1000 * (i + 1));
            Put32(f, s + 16, raw);
            Put32(f, s + 20, f.size());
            if (const auto set = flags.find(sections[i].name); set != flags.end()) {
                Put32(f, s + 36, set->second);
            }
            sections[i].data.resize(raw);
            f.insert(f.end(), sections[i].data.begin(), sections[i].data.end());
        }
        Put32(f, opt + 64, checksum.value_or(pe::Checksum(f, opt + 64)));
        return f;
    }
};

} // namespace pe_image
