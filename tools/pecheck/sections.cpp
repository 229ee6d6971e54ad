#include "sections.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "pe.h"

namespace pecheck {

namespace {

constexpr const char* kInit = "INIT";
constexpr const char* kPage = "PAGE";
constexpr uint32_t kLinkInfo = 0x00000200;   // IMAGE_SCN_LNK_INFO: linker directives, not loaded
constexpr uint32_t kLinkRemove = 0x00000800; // IMAGE_SCN_LNK_REMOVE
constexpr uint16_t kFunctionType = 0x20;     // the COFF symbol type of a function
constexpr uint8_t kClassExternal = 2;

constexpr const char* kDirectoryNames[] = {
    "export table",       "import table",  "resource table",       "exception table", "certificate table",
    "base relocations",   "debug data",    "architecture",         "global pointer",  "TLS table",
    "load configuration", "bound imports", "import address table", "delay imports",   "CLR header"};

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

uint32_t Le(std::span<const uint8_t> d, uint64_t at, int size, const std::string& what)
{
    if (at > d.size() || static_cast<uint64_t>(size) > d.size() - at) {
        throw pe::PeError(what + ": " + std::to_string(size) + " bytes at offset " + Hex(at) +
                          " lie beyond the end");
    }
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; i--) {
        v = v << 8 | d[at + i];
    }
    return v;
}

std::string StringAt(std::span<const uint8_t> d, uint64_t at, const std::string& what)
{
    if (at >= d.size()) {
        throw pe::PeError(what + ": name at offset " + Hex(at) + " lies beyond the end");
    }
    const auto end = std::find(d.begin() + at, d.end(), 0);
    if (end == d.end()) {
        throw pe::PeError(what + ": name not terminated");
    }
    return std::string(d.begin() + at, end);
}

std::string ShortName(std::span<const uint8_t> d, uint64_t at)
{
    const auto raw = d.subspan(at, 8);
    return std::string(raw.begin(), std::find(raw.begin(), raw.end(), 0));
}

std::string Join(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& s : items) {
        out += (out.empty() ? "" : ", ") + s;
    }
    return out;
}

std::string Join(const std::set<std::string>& items)
{
    return Join(std::vector<std::string>(items.begin(), items.end()));
}

Result Verdict(std::string name, const std::vector<std::string>& problems, std::string what_passed)
{
    return problems.empty() ? Result{std::move(name), true, std::move(what_passed)}
                            : Result{std::move(name), false, Join(problems)};
}

std::string SectionName(const pe::Image& image, uint32_t rva)
{
    const pe::Section* s = image.SectionAt(rva);
    return s == nullptr ? "no section" : s->name;
}

void CheckPlacement(const pe::Image& image, std::vector<Result>& out)
{
    std::vector<std::string> foreign, flags;
    const pe::Section* init = nullptr;
    for (const pe::Section& s : image.sections()) {
        const bool code = (s.characteristics & (pe::kSectionCode | pe::kSectionExecute)) != 0;
        const bool discardable = (s.characteristics & pe::kSectionDiscardable) != 0;
        const bool ours = s.name == ".text" || s.name == kPage || s.name == kInit;
        if (code && !ours) {
            foreign.push_back(s.name);
        }
        if (s.name == kInit) {
            init = &s;
        }
        const uint32_t code_flags = pe::kSectionCode | pe::kSectionExecute | pe::kSectionRead;
        if (ours &&
            ((s.characteristics & code_flags) != code_flags || (s.characteristics & pe::kSectionWrite))) {
            flags.push_back(s.name + " is not read-only code (" + Hex(s.characteristics) + ")");
        }
        if (ours && discardable != (s.name == kInit)) {
            flags.push_back(s.name + (discardable ? " is discardable" : " is not discardable") + " (" +
                            Hex(s.characteristics) + ")");
        }
    }
    if (init == nullptr) {
        flags.push_back("no INIT section");
    }
    out.push_back(Verdict("code in .text, PAGE and INIT only", foreign, ""));
    out.push_back(Verdict("INIT discardable, PAGE and .text resident", flags, ""));
    const std::string entry = "entry point in INIT";
    out.push_back(init != nullptr && init->Holds(image.entry_point())
                      ? Result{entry, true, "RVA " + Hex(image.entry_point())}
                      : Result{entry, false,
                               "the entry point " + Hex(image.entry_point()) + " lies in " +
                                   SectionName(image, image.entry_point())});
    if (init == nullptr) {
        return;
    }
    std::vector<std::string> into;
    try {
        for (const auto& r : image.Relocations()) {
            if (!init->Holds(r.site) && init->Holds(r.target)) {
                into.push_back(SectionName(image, r.site) + " at " + Hex(r.site) + " -> INIT at " +
                               Hex(r.target));
            }
        }
    } catch (const pe::PeError& e) {
        into.push_back(e.what());
    }
    out.push_back(Verdict("no base relocation into INIT from outside it", into, ""));
    std::vector<std::string> directories;
    for (size_t i = 0; i < image.directories().size() && i < std::size(kDirectoryNames); i++) {
        const auto& d = image.directories()[i];
        const uint64_t end = static_cast<uint64_t>(d.rva) + std::max<uint32_t>(d.size, 1);
        if (i != pe::kDirectorySecurity && d.rva != 0 && d.rva < init->virtual_address + init->virtual_size &&
            end > init->virtual_address) {
            directories.push_back(std::string(kDirectoryNames[i]) + " at " + Hex(d.rva));
        }
    }
    out.push_back(Verdict("no data directory in INIT", directories, ""));
}

// Each routine the objects define in PAGE or INIT is listed there, and each listed routine they define
// lies in its listed section. A listed routine the objects do not define was inlined into its callers,
// which inherit nothing: they are listed themselves.
Result CompareRoutines(const std::vector<CoffObject>& objects, SectionList& found,
                       const SectionList& expected)
{
    std::map<std::string, std::set<std::string>> where; // routine -> the sections defining it
    for (const CoffObject& o : objects) {
        for (const auto& r : o.routines) {
            where[r.name].insert(r.section);
        }
    }
    std::vector<std::string> problems;
    size_t inlined = 0;
    for (const char* section : {kPage, kInit}) {
        const auto listed = expected.find(section);
        const std::set<std::string> none;
        const std::set<std::string>& wanted = listed == expected.end() ? none : listed->second;
        for (const std::string& name : wanted) {
            const auto at = where.find(name);
            if (at == where.end()) {
                inlined++;
            } else if (at->second != std::set<std::string>{section}) {
                problems.push_back(name + " is in " + Join(at->second) + ", listed in " + section);
            }
        }
        for (const std::string& name : found[section]) {
            if (!wanted.contains(name)) {
                problems.push_back(std::string(section) + " holds " + name + ", not listed");
            }
        }
    }
    return Verdict("routines in PAGE and INIT as listed", problems,
                   "PAGE: " + Join(found[kPage]) + "; INIT: " + Join(found[kInit]) + "; " +
                       std::to_string(inlined) + " listed routines inlined into their callers");
}

void CheckObjects(const std::vector<CoffObject>& objects, const SectionList* expected,
                  std::vector<Result>& out)
{
    std::map<std::string, std::string> defined; // external symbol -> section
    SectionList found;
    for (const CoffObject& o : objects) {
        for (const auto& [symbol, section] : o.externals) {
            defined[symbol] = section;
        }
        for (const auto& r : o.routines) {
            if (r.section == kPage || r.section == kInit) {
                found[r.section].insert(r.name);
            }
        }
    }
    std::vector<std::string> into;
    for (const CoffObject& o : objects) {
        for (const auto& r : o.references) {
            const auto external = defined.find(r.symbol);
            const std::string& to =
                r.to_section.empty() && external != defined.end() ? external->second : r.to_section;
            if (to == kInit && r.from_section != kInit) {
                into.push_back(o.name + ": " + r.from_section + " -> " + RoutineName(r.symbol));
            }
        }
    }
    out.push_back(Verdict("no reference into INIT from the objects", into,
                          std::to_string(objects.size()) + " objects"));

    out.push_back(expected == nullptr
                      ? Result{"routines in PAGE and INIT", true,
                               "PAGE: " + Join(found[kPage]) + "; INIT: " + Join(found[kInit])}
                      : CompareRoutines(objects, found, *expected));
}

} // namespace

std::string RoutineName(const std::string& symbol)
{
    std::string name = symbol.starts_with('_') ? symbol.substr(1) : symbol;
    if (const size_t at = name.rfind('@');
        at != std::string::npos && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
        name.erase(at);
    }
    if (!name.starts_with("_Z")) {
        return name;
    }
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0 || demangled == nullptr) {
        return name;
    }
    const std::string text = demangled.get();
    return text.substr(0, text.find('('));
}

CoffObject ReadCoffObject(const std::string& name, std::span<const uint8_t> d)
{
    CoffObject out{name, {}, {}, {}};
    if (Le(d, 0, 2, name) != pe::kMachineI386) {
        throw pe::PeError(name + ": not an i386 COFF object");
    }
    const uint32_t section_count = Le(d, 2, 2, name);
    const uint64_t symbols = Le(d, 8, 4, name);
    const uint64_t symbol_count = Le(d, 12, 4, name);
    const uint64_t strings = symbols + 18 * symbol_count;
    const uint64_t table = 20 + Le(d, 16, 2, name);
    Le(d, table, 0, name + " section table");
    Le(d, strings, 4, name + " string table");

    std::vector<std::string> sections(section_count);
    for (uint32_t i = 0; i < section_count; i++) {
        const uint64_t s = table + 40ull * i;
        Le(d, s, 40, name + " section table");
        sections[i] = ShortName(d, s);
        if (sections[i].starts_with('/')) {
            sections[i] = StringAt(d, strings + std::strtoull(sections[i].c_str() + 1, nullptr, 10), name);
        }
    }
    // The symbols: a name of eight bytes or, when its first four are zero, an offset into the string table.
    struct Symbol {
        std::string name;
        int16_t section;
    };
    std::vector<Symbol> symtab(symbol_count);
    for (uint64_t i = 0; i < symbol_count; i++) {
        const uint64_t s = symbols + 18 * i;
        const std::string what = name + " symbol " + std::to_string(i);
        Le(d, s, 18, what);
        const std::string sym =
            Le(d, s, 4, what) == 0 ? StringAt(d, strings + Le(d, s + 4, 4, what), what) : ShortName(d, s);
        const auto number = static_cast<int16_t>(Le(d, s + 12, 2, what));
        symtab[i] = {sym, number};
        if (number > 0 && number <= static_cast<int>(section_count)) {
            const std::string& section = sections[number - 1];
            if (Le(d, s + 14, 2, what) == kFunctionType) {
                out.routines.push_back({RoutineName(sym), section});
            }
            if (d[s + 16] == kClassExternal) {
                out.externals[sym] = section;
            }
        }
        i += d[s + 17]; // auxiliary records
    }
    for (uint32_t i = 0; i < section_count; i++) {
        const uint64_t s = table + 40ull * i;
        if ((Le(d, s + 36, 4, name) & (kLinkInfo | kLinkRemove)) || sections[i].starts_with(".debug")) {
            continue;
        }
        const uint64_t relocations = Le(d, s + 24, 4, name);
        for (uint32_t r = 0, count = Le(d, s + 32, 2, name); r < count; r++) {
            const uint32_t index = Le(d, relocations + 10ull * r + 4, 4, name + " relocation");
            if (index >= symbol_count) {
                throw pe::PeError(name + ": relocation " + std::to_string(r) + " of " + sections[i] +
                                  " names symbol " + std::to_string(index) + " of " +
                                  std::to_string(symbol_count));
            }
            const Symbol& sym = symtab[index];
            const bool local = sym.section > 0 && sym.section <= static_cast<int>(section_count);
            out.references.push_back({sections[i], sym.name, local ? sections[sym.section - 1] : ""});
        }
    }
    return out;
}

SectionList ReadSectionList(std::istream& in)
{
    SectionList out;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#') {
            continue;
        }
        char section[8] = {}, routine[128] = {}, rest[2] = {};
        if (std::sscanf(line.c_str(), " %7s %127s %1s", section, routine, rest) != 2 ||
            (std::string(section) != kPage && std::string(section) != kInit)) {
            throw std::runtime_error("line " + std::to_string(number) +
                                     ": not \"PAGE name\" or \"INIT name\": " + line);
        }
        out[section].insert(routine);
    }
    return out;
}

std::vector<Result> CheckSections(std::span<const uint8_t> file, const std::vector<CoffObject>* objects,
                                  const SectionList* expected)
{
    std::vector<Result> out;
    try {
        CheckPlacement(pe::Image(file), out);
    } catch (const pe::PeError& e) {
        out.push_back({"sections", false, e.what()});
    }
    if (objects != nullptr) {
        CheckObjects(*objects, expected, out);
    }
    return out;
}

} // namespace pecheck
