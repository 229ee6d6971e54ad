#include "check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>

#include "pe.h"

namespace pecheck {

namespace {

// The kernel modules a driver imports from.
constexpr std::string_view kKernelDlls[] = {"ntoskrnl.exe", "hal.dll", "wmilib.sys"};

// Sections that carry C++ runtime machinery: constructor and destructor lists, unwind tables, thread-
// local storage, the C runtime's initializer tables. A kernel image runs none of it. Matched as a name
// or a name followed by '.' or '$'; ".CRT" also matches any name it starts. Without a string table the
// linker cuts names to eight characters (".eh_fram"), so an eight-character name matches the names it
// starts too.
constexpr std::string_view kRuntimeSections[] = {
    ".ctors", ".dtors", ".init_array", ".fini_array", ".eh_frame", ".gcc_except_table", ".tls"};
constexpr std::string_view kRuntimeSectionPrefix = ".CRT";

// C and C++ runtime libraries, by the start of the DLL name.
constexpr std::string_view kRuntimeDlls[] = {"msvcr",     "msvcp",    "ucrtbase",        "vcruntime",
                                             "libstdc++", "libgcc_s", "api-ms-win-crt-", "libwinpthread"};

std::string Lower(std::string_view s)
{
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string Hex(uint64_t v, int digits = 1)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return buf;
}

std::string Join(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& s : items) {
        out += (out.empty() ? "" : ", ") + s;
    }
    return out;
}

std::string Quoted(std::u16string_view text)
{
    std::string out = "\"";
    for (char16_t c : text) {
        if (c == u'\r' || c == u'\n' || c == u'\t' || c == u'"' || c == u'\\') {
            out += c == u'\r' ? "\\r" : c == u'\n' ? "\\n" : c == u'\t' ? "\\t" : c == u'"' ? "\\\"" : "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

std::string Character(char16_t c)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "U+%04X ", static_cast<unsigned>(c));
    return buf + Quoted(std::u16string_view(&c, 1));
}

// Where two texts part, or nothing when they are the same.
std::optional<std::string> FirstDifference(std::u16string_view image, std::u16string_view table)
{
    const auto [a, b] = std::mismatch(image.begin(), image.end(), table.begin(), table.end());
    if (a == image.end() && b == table.end()) {
        return std::nullopt;
    }
    const size_t at = a - image.begin();
    std::string where = "differs at character " + std::to_string(at) + ": the image has ";
    where += a == image.end() ? "the end" : Character(*a);
    where += ", the table ";
    where += b == table.end() ? "the end" : Character(*b);
    return where + " (image " + Quoted(image) + ", table " + Quoted(table) + ")";
}

std::string ImportName(const pe::Import& i)
{
    return i.dll + "!" + (i.ordinal ? "#" + std::to_string(*i.ordinal) : i.name);
}

bool IsKernelDll(const std::string& dll)
{
    return std::ranges::find(kKernelDlls, Lower(dll)) != std::end(kKernelDlls);
}

bool IsRuntimeSection(const std::string& name)
{
    if (name.starts_with(kRuntimeSectionPrefix)) {
        return true;
    }
    return std::ranges::any_of(kRuntimeSections, [&](std::string_view s) {
        return name == s || (name.size() == 8 && s.starts_with(name)) ||
               (name.starts_with(s) && (name[s.size()] == '.' || name[s.size()] == '$'));
    });
}

Result Pass(std::string name, std::string detail)
{
    return {std::move(name), true, std::move(detail)};
}

Result Verdict(std::string name, const std::vector<std::string>& problems, std::string what_passed)
{
    if (problems.empty()) {
        return Pass(std::move(name), std::move(what_passed));
    }
    return {std::move(name), false, Join(problems)};
}

void CheckHeaders(const pe::Image& image, std::vector<Result>& out)
{
    out.push_back(image.magic() == pe::kMagicPe32
                      ? Pass("PE32", "optional header magic 0x10B")
                      : Result{"PE32", false, "optional header magic " + Hex(image.magic()) + " (PE32+)"});
    out.push_back(image.machine() == pe::kMachineI386
                      ? Pass("machine i386", "0x14C")
                      : Result{"machine i386", false, "machine " + Hex(image.machine(), 4)});
    out.push_back(image.subsystem() == pe::kSubsystemNative
                      ? Pass("native subsystem", "1")
                      : Result{"native subsystem", false, "subsystem " + std::to_string(image.subsystem())});
    out.push_back((image.characteristics() & pe::kFileDll) == 0
                      ? Pass("not a DLL", "")
                      : Result{"not a DLL", false,
                               "the DLL characteristic 0x2000 is set (characteristics " +
                                   Hex(image.characteristics(), 4) + ")"});
    // The platform's own linker marks every WDM driver so in the optional header.
    const std::string dll = "DllCharacteristics " + Hex(image.dll_characteristics(), 4);
    out.push_back((image.dll_characteristics() & pe::kDllWdmDriver) != 0
                      ? Pass("WDM driver", dll)
                      : Result{"WDM driver", false, dll + " lacks the WDM driver bit 0x2000"});
}

// The section holding the resource directory, or null when there is none.
const pe::Section* ResourceSection(const pe::Image& image)
{
    const auto& directories = image.directories();
    if (directories.size() <= pe::kDirectoryResources || directories[pe::kDirectoryResources].rva == 0) {
        return nullptr;
    }
    return image.SectionAt(directories[pe::kDirectoryResources].rva);
}

// The resources are read by the system (the event log's message texts, the version): their section is
// mapped read-only, so that no stray write of the driver can change them.
Result CheckResourceSection(const pe::Image& image)
{
    const std::string name = "resources read-only";
    const pe::Section* section = ResourceSection(image);
    if (section == nullptr) {
        return Pass(name, "no resource section");
    }
    const std::string flags = section->name + " characteristics " + Hex(section->characteristics, 8);
    return (section->characteristics & pe::kSectionWrite) == 0
               ? Pass(name, flags)
               : Result{name, false, flags + " include IMAGE_SCN_MEM_WRITE 0x80000000"};
}

// The NUL-terminated UTF-16 strings of at least three printable ASCII characters at even offsets.
std::vector<std::u16string> WideStrings(std::span<const uint8_t> bytes)
{
    std::vector<std::u16string> out;
    std::u16string run;
    for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
        const char16_t c = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
        if (c == 0 && run.size() >= 3) {
            out.push_back(run);
        }
        if (c >= 0x20 && c < 0x7F) {
            run += c;
        } else {
            run.clear();
        }
    }
    return out;
}

std::u16string Upper(std::u16string s)
{
    std::ranges::transform(s, s.begin(), [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 0x20 : c; });
    return s;
}

// A driver names its MOF resource in its WMI registration information, and WMI loads the resource of type
// MOFDATA by that name from the driver's image: a registration whose resource is missing fails. The name
// is a UTF-16 string among the image's data, so every such string that speaks of a MOF ("mof" in any
// case; "MofResource" is the usual name) must be the name of a MOFDATA resource. Resource names compare
// without case, as the loader's lookup does.
Result CheckMofResources(const pe::Image& image, const std::vector<pe::Resource>& resources)
{
    const std::string name = "MOF resources named exist";
    std::set<std::u16string> carried;
    for (const pe::Resource& r : resources) {
        if (Upper(r.type.name) == u"MOFDATA") {
            const std::string id = "#" + std::to_string(r.name.id);
            carried.insert(r.name.name.empty() ? std::u16string(id.begin(), id.end()) : Upper(r.name.name));
        }
    }
    const pe::Section* resource_section = ResourceSection(image);
    std::vector<std::string> problems;
    size_t named = 0;
    for (const pe::Section& s : image.sections()) {
        if (&s == resource_section) {
            continue; // the resource tree spells its own names
        }
        for (const std::u16string& text : WideStrings(image.SectionBytes(s))) {
            if (Upper(text).find(u"MOF") == std::u16string::npos) {
                continue;
            }
            named++;
            if (!carried.contains(Upper(text))) {
                problems.push_back(Quoted(text) + " in " + s.name + " names no MOFDATA resource");
            }
        }
    }
    return Verdict(name, problems,
                   std::to_string(named) + " named, " + std::to_string(carried.size()) +
                       " MOFDATA resources");
}

void CheckImports(const std::vector<pe::Import>& imports, const sim::OperationList& operations,
                  std::vector<Result>& out)
{
    std::vector<std::string> foreign, by_ordinal, unlisted, runtime;
    std::set<std::string> dlls;
    for (const pe::Import& i : imports) {
        dlls.insert(i.dll);
        if (!IsKernelDll(i.dll)) {
            foreign.push_back(ImportName(i));
        } else if (i.ordinal) {
            by_ordinal.push_back(ImportName(i));
        } else if (!operations.operations.contains(i.name) &&
                   !(Lower(i.dll) == "ntoskrnl.exe" && operations.runtime.contains(i.name))) {
            unlisted.push_back(ImportName(i));
        }
    }
    for (const std::string& dll : dlls) {
        if (std::ranges::any_of(kRuntimeDlls,
                                [&](std::string_view r) { return Lower(dll).starts_with(r); })) {
            runtime.push_back(dll);
        }
    }
    const std::string count = std::to_string(imports.size()) + " imports";
    out.push_back(Verdict("imports from ntoskrnl.exe, HAL.dll, WMILIB.SYS only", foreign,
                          count + " from " + std::to_string(dlls.size()) + " modules"));
    out.push_back(Verdict("imports by name", by_ordinal, ""));
    out.push_back(Verdict("imported names in the operations list", unlisted, count));
    out.push_back(Verdict("no C++ runtime DLLs", runtime, ""));
}

void CheckRuntimeSections(const pe::Image& image, std::vector<Result>& out)
{
    std::vector<std::string> found;
    for (const pe::Section& s : image.sections()) {
        if (IsRuntimeSection(s.name)) {
            found.push_back(s.name);
        }
    }
    out.push_back(
        Verdict("no C++ runtime sections", found, std::to_string(image.sections().size()) + " sections"));
}

Result CheckMessages(const std::vector<pe::Resource>& resources, std::span<const sim::MessageEntry> expected)
{
    const std::string name = "message table";
    std::vector<const pe::Resource*> tables;
    std::vector<std::string> other_languages;
    for (const pe::Resource& r : resources) {
        if (r.type == pe::ResourceId{pe::kResourceMessageTable, {}}) {
            if (r.language == pe::ResourceId{0x409, {}}) {
                tables.push_back(&r);
            } else {
                other_languages.push_back(r.language.name.empty() ? Hex(r.language.id, 4)
                                                                  : "a named language");
            }
        }
    }
    if (tables.size() != 1) {
        return {name, false,
                tables.empty()
                    ? "no RT_MESSAGETABLE resource in language 0x0409" +
                          (other_languages.empty() ? "" : " (found " + Join(other_languages) + ")")
                    : std::to_string(tables.size()) + " RT_MESSAGETABLE resources in language 0x0409"};
    }
    std::vector<pe::Message> messages;
    try {
        messages = pe::ParseMessageTable(tables.front()->data);
    } catch (const pe::PeError& e) {
        return {name, false, e.what()};
    }

    std::map<uint32_t, const pe::Message*> by_id;
    std::vector<std::string> problems;
    for (const pe::Message& m : messages) {
        if (!by_id.emplace(m.id, &m).second) {
            problems.push_back("message " + Hex(m.id, 8) + " appears twice in the image");
        }
    }
    for (const sim::MessageEntry& e : expected) {
        const auto found = by_id.find(e.id);
        if (found == by_id.end()) {
            problems.push_back("message " + Hex(e.id, 8) + " is missing from the image");
            continue;
        }
        if (const auto difference = FirstDifference(found->second->text, e.text)) {
            problems.push_back("message " + Hex(e.id, 8) + " " + *difference);
        }
        by_id.erase(found);
    }
    for (const auto& [id, m] : by_id) {
        problems.push_back("message " + Hex(id, 8) + " is not in the simulation's table");
    }
    if (!problems.empty()) {
        return {name, false,
                problems.front() + (problems.size() > 1
                                        ? "; and " + std::to_string(problems.size() - 1) + " more differences"
                                        : "")};
    }
    const auto unicode = std::ranges::count_if(messages, [](const pe::Message& m) { return m.unicode; });
    const char* form = unicode == std::ssize(messages) ? "UTF-16" : unicode == 0 ? "single-byte" : "mixed";
    return Pass(name, std::to_string(messages.size()) + " messages (" + form +
                          "), ids and texts identical to the simulation's");
}

Result CheckVersion(const std::vector<pe::Resource>& resources)
{
    const std::string name = "version resource";
    const auto version = std::ranges::find_if(resources, [](const pe::Resource& r) {
        return r.type == pe::ResourceId{pe::kResourceVersion, {}};
    });
    if (version == resources.end()) {
        return {name, false, "no RT_VERSION resource"};
    }
    try {
        return Pass(name, "file version " + pe::ParseVersion(version->data));
    } catch (const pe::PeError& e) {
        return {name, false, e.what()};
    }
}

Result CheckChecksum(const pe::Image& image, std::span<const uint8_t> file)
{
    const uint32_t computed = pe::Checksum(file, image.checksum_offset());
    if (image.checksum() == 0) {
        return {"checksum", false, "the header's checksum is 0 (computed " + Hex(computed, 8) + ")"};
    }
    if (image.checksum() != computed) {
        return {"checksum", false,
                "the header says " + Hex(image.checksum(), 8) + ", the file sums to " + Hex(computed, 8)};
    }
    return Pass("checksum", Hex(computed, 8));
}

} // namespace

sim::OperationList ReadOperations(std::istream& in)
{
    return sim::ParseOperationList(in);
}

std::vector<Result> CheckImage(std::span<const uint8_t> file, const Expected& expected)
{
    std::optional<pe::Image> image;
    try {
        image.emplace(file);
    } catch (const pe::PeError& e) {
        return {{"PE headers", false, e.what()}};
    }
    std::vector<Result> out;
    CheckHeaders(*image, out);
    try {
        CheckImports(image->Imports(), expected.operations, out);
    } catch (const pe::PeError& e) {
        out.push_back({"import table", false, e.what()});
    }
    CheckRuntimeSections(*image, out);
    out.push_back(CheckResourceSection(*image));
    try {
        const std::vector<pe::Resource> resources = image->Resources();
        out.push_back(CheckMessages(resources, expected.messages));
        out.push_back(CheckVersion(resources));
        out.push_back(CheckMofResources(*image, resources));
    } catch (const pe::PeError& e) {
        out.push_back({"resources", false, e.what()});
    }
    out.push_back(CheckChecksum(*image, file));
    return out;
}

std::string Format(const Result& result)
{
    return std::string(result.ok ? "ok      " : "FAILED  ") + result.name +
           (result.detail.empty() ? "" : ": " + result.detail);
}

std::string Listing(std::span<const uint8_t> file)
{
    std::string out;
    try {
        const pe::Image image(file);
        char line[160];
        for (const pe::Section& s : image.sections()) {
            std::snprintf(line, sizeof line, "section %-10s rva 0x%08X size 0x%08X file 0x%08X+0x%X\n",
                          s.name.c_str(), s.virtual_address, s.virtual_size, s.raw_offset, s.raw_size);
            out += line;
        }
        for (const pe::Import& i : image.Imports()) {
            out += "import  " + ImportName(i) + "\n";
        }
        for (const pe::Resource& r : image.Resources()) {
            const auto id = [](const pe::ResourceId& id) {
                return id.name.empty() ? std::to_string(id.id) : Quoted(id.name);
            };
            out += "resource type " + id(r.type) + " name " + id(r.name) + " language " + id(r.language) +
                   ", " + std::to_string(r.data.size()) + " bytes\n";
        }
    } catch (const pe::PeError& e) {
        out += std::string("error: ") + e.what() + "\n";
    }
    return out;
}

} // namespace pecheck
