// The simulated registry: its API, .reg import and export, and the kernel's registry routines on it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "sim_test.h"

namespace {

constexpr char kQuav[] = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";
constexpr char kParams[] = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters";
constexpr WCHAR kParamsW[] = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters";

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

class RegistryTest : public SimTest {
protected:
    sim::Registry& reg() { return machine_.registry(); }
};

TEST_F(RegistryTest, KeysAndValuesKeepSpellingTypeAndOrder)
{
    EXPECT_TRUE(reg().KeyExists("\\registry\\USER"));
    reg().CreateKey(kParams);
    EXPECT_TRUE(
        reg().KeyExists("\\REGISTRY\\MACHINE\\system\\CURRENTCONTROLSET\\services\\quav\\PARAMETERS"));
    reg().SetDword(kParams, "PollSeconds", 5);
    reg().SetString(kParams, "Name", "Fan \u00C4");
    reg().SetValue(kParams, "Blob", REG_BINARY, {1, 2, 3});
    reg().SetDword(kParams, "POLLSECONDS", 7); // the same value: its first spelling stays
    EXPECT_EQ(reg().Values(kParams), (Names{"PollSeconds", "Name", "Blob"}));
    EXPECT_EQ(reg().GetDword(kParams, "pollseconds"), 7u);
    EXPECT_EQ(reg().GetDword(kParams, "Blob"), std::nullopt);
    EXPECT_EQ(reg().GetValue(kParams, "NAME"),
              (sim::Registry::Value{REG_SZ, {'F', 0, 'a', 0, 'n', 0, ' ', 0, 0xC4, 0, 0, 0}}));
    EXPECT_EQ(reg().GetString(kParams, "name"), "Fan \u00C4");
    EXPECT_EQ(reg().SubKeys(std::string(kQuav) + "\\"), Names{}); // a malformed path is missing
    EXPECT_EQ(reg().SubKeys(kQuav), Names{"Parameters"});

    EXPECT_TRUE(reg().DeleteValue(kParams, "blob"));
    EXPECT_FALSE(reg().DeleteValue(kParams, "blob"));
    EXPECT_TRUE(reg().DeleteKey("\\REGISTRY\\Machine\\SYSTEM"));
    EXPECT_FALSE(reg().KeyExists(kParams));
    EXPECT_THROW(reg().DeleteKey("\\REGISTRY\\Machine"), std::invalid_argument);
    EXPECT_THROW(reg().CreateKey("\\REGISTRY\\Other\\Key"), std::invalid_argument);
    EXPECT_EQ(reg().SubKeys("\\REGISTRY"), (Names{"Machine", "User"}));
}

// A .reg text exercising every form, in UTF-8 with a byte order mark and CRLF.
constexpr char kRegText[] = "\xEF\xBB\xBF"
                            "\r\n"
                            "Windows Registry Editor Version 5.00\r\n"
                            "; QUAV defaults\r\n"
                            "\r\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters]\r\n"
                            "\"PollSeconds\"=dword:0000000A\r\n"
                            "@=\"default \\\"quoted\\\" C:\\\\path\"\r\n"
                            "\"Table\"=hex:01,02,\\\r\n"
                            "  03,ff\r\n"
                            "\"Sensors\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n"
                            "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                            "\"Stale\"=dword:1\r\n"
                            "\"Stale\"=-\r\n"
                            "[HKLM\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Old]\r\n"
                            "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Old]\r\n"
                            "[HKEY_USERS\\.DEFAULT\\Empty\\]\r\n"; // hivexregedit's trailing backslash

void ExpectImported(const sim::Registry& reg)
{
    EXPECT_EQ(reg.Values(kParams), (Names{"PollSeconds", "", "Table", "Sensors", "Big"}));
    EXPECT_EQ(reg.GetDword(kParams, "PollSeconds"), 10u);
    EXPECT_EQ(reg.GetString(kParams, ""), "default \"quoted\" C:\\path");
    EXPECT_EQ(reg.GetValue(kParams, "Table"), (sim::Registry::Value{REG_BINARY, {1, 2, 3, 0xFF}}));
    EXPECT_EQ(reg.GetValue(kParams, "sensors")->type, REG_MULTI_SZ);
    EXPECT_EQ(reg.GetValue(kParams, "Big"), (sim::Registry::Value{REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80}}));
    EXPECT_EQ(reg.SubKeys(kQuav), Names{"Parameters"});
    EXPECT_TRUE(reg.KeyExists("\\REGISTRY\\User\\.DEFAULT\\Empty"));
}

TEST_F(RegistryTest, ImportsUtf8AndUtf16RegText)
{
    reg().ImportReg(kRegText);
    ExpectImported(reg());

    std::string utf16 = "\xFF\xFE";
    for (char16_t unit : sim::Utf16FromUtf8(std::string_view(kRegText).substr(3))) {
        utf16 += static_cast<char>(unit & 0xFF);
        utf16 += static_cast<char>(unit >> 8);
    }
    sim::Registry other;
    other.ImportReg(utf16);
    ExpectImported(other);
}

TEST_F(RegistryTest, MalformedRegTextNamesTheLineAndImportsNothing)
{
    const std::string head =
        "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Quav]\n\"A\"=dword:1\n";
    const struct {
        std::string text;
        int line;
        std::string what;
    } cases[] = {
        {"REGEDIT4\n[HKLM\\SOFTWARE\\Quav]\n", 1, "Windows Registry Editor Version 5.00"},
        {head + "\"B\"=dword:123456789\n", 5, "1 to 8 hex digits"},
        {head + "\"B\"=hex:01,\\\n  02,zz\n", 6, "'zz' is not a hex byte"},
        {head + "\"B\"=\"open\n", 5, "unterminated"},
        {head + "B=dword:1\n", 5, "quoted value name"},
        {head + "[HKEY_CURRENT_USER\\Quav]\n", 5, "unknown root key"},
        {head + "\"B\"=hex:01,\\\n\n\"C\"=dword:2\n", 5, "no bytes follow"},
        {"Windows Registry Editor Version 5.00\n\"A\"=dword:1\n", 2, "before the first [key]"},
        {"; nothing but a comment\n", 2, "no \"Windows Registry Editor Version 5.00\" header"},
        // Sections.
        {head + "[HKLM\\SOFTWARE\\Quav\n", 5, "must end with ']'"},
        {head + "[HKLM\\\\Quav]\n", 5, "empty key name"},
        {head + "[HKLM\\SOFTWARE\\Quav\\\\]\n", 5, "empty key name"},
        {head + "[-HKEY_LOCAL_MACHINE]\n", 5, "a hive root cannot be deleted"},
        // A lone carriage return inside a name: the export could not write it back (found by fuzzing).
        {head + "[HKLM\\SOFTWARE\\Quav\\A\rB]\n", 5, "carriage return inside a key name"},
        {head + "\"A\rB\"=dword:1\n", 5, "carriage return inside a value name"},
        // Value lines.
        {head + "\"B\" dword:1\n", 5, "expected '=' after the value name"},
        {head + "[-HKLM\\SOFTWARE\\Quav\\Old]\n\"B\"=dword:1\n", 6, "deletes the key"},
        // Value data.
        {head + "\"B\"=\"a\\qb\"\n", 5, "unknown escape"},
        {head + "\"B\"=\"a\" b\n", 5, "unexpected text after the quoted string"},
        {head + "\"B\"=hex(zz):01\n", 5, "hex(N) needs a hex type number"},
        {head + "\"B\"=hex(7:01\n", 5, "hex(N) needs a hex type number"},
        {head + "\"B\"=hex;01\n", 5, "expected ':' after hex"},
        {head + "\"B\"=hex:01,,02\n", 5, "missing byte in a hex list"},
        {head + "\"B\"=qword:1\n", 5, "unknown value data"},
        // Encodings.
        {head + "\"B\"=\"\xC3\"\n", 5, "invalid UTF-8"},
        {"\xFE\xFF" + head, 1, "big-endian"},
        {"\xFF\xFE" + head, 1, "odd number of bytes"},
    };
    for (const auto& c : cases) {
        try {
            reg().ImportReg(c.text);
            ADD_FAILURE() << "imported: " << c.text;
        } catch (const sim::RegFileError& e) {
            EXPECT_EQ(e.line(), c.line) << e.what();
            EXPECT_NE(std::string(e.what()).find("line " + std::to_string(c.line) + ": "), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
        EXPECT_FALSE(reg().KeyExists("\\REGISTRY\\Machine\\SOFTWARE\\Quav")) << c.text;
    }
}

TEST_F(RegistryTest, RegFileErrorsNameTheFileAndKeepTheLine)
{
    char dir[] = "/tmp/quav-regfile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string missing = std::string(dir) + "/missing.reg";
    const std::string bad = std::string(dir) + "/bad.reg";
    std::ofstream(bad) << "Windows Registry Editor Version 5.00\n\n[HKLM\\SOFTWARE\\Quav]\n\"A\"=dword:\n";

    const struct {
        std::string file;
        int line;
        std::string what;
    } cases[] = {
        {missing, 0, missing + ": cannot be read"},
        {bad, 4, bad + ": line 4: a dword needs"},
    };
    for (const auto& c : cases) {
        for (bool import : {true, false}) {
            try {
                if (import) {
                    reg().ImportRegFile(c.file);
                } else {
                    sim::Registry::ParseRegFile(c.file);
                }
                ADD_FAILURE() << "read " << c.file;
            } catch (const sim::RegFileError& e) {
                EXPECT_EQ(e.line(), c.line) << e.what();
                EXPECT_TRUE(std::string(e.what()).starts_with(c.what)) << e.what();
            }
        }
    }
    EXPECT_FALSE(reg().KeyExists("\\REGISTRY\\Machine\\SOFTWARE\\Quav"));
    std::remove(bad.c_str());
    rmdir(dir);
}

TEST_F(RegistryTest, ExportRoundTripsTheTree)
{
    const std::string top = "\\REGISTRY\\Machine\\SOFTWARE\\Quav";
    reg().SetDword(top, "Interval", 0xA);
    reg().SetString(top, "Say \"hi\"\\", "C:\\quav");
    reg().SetValue(top, "", REG_EXPAND_SZ, {'%', 0, 0, 0});
    reg().SetValue(top, "Odd", REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}); // an embedded NUL: not quotable
    reg().SetValue(top, "Long", REG_BINARY, Bytes(40, 0x5A));
    reg().SetValue(top, "Short", REG_DWORD, {1, 2});
    reg().CreateKey(top + "\\Empty\\Deeper");
    reg().SetValue(top + "\\Zones", "None", REG_NONE, {});

    const std::string text = reg().ExportReg(top);
    EXPECT_TRUE(text.starts_with(
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quav]\r\n"
        "\"Interval\"=dword:0000000a\r\n"
        "\"Say \\\"hi\\\"\\\\\"=\"C:\\\\quav\"\r\n"
        "@=hex(2):25,00,00,00\r\n"
        "\"Odd\"=hex(1):61,00,00,00,62,00,00,00\r\n"))
        << text;
    EXPECT_NE(text.find("\"Long\"=hex:5a,5a,"), std::string::npos);
    EXPECT_NE(text.find(",\\\r\n  5a,"), std::string::npos); // a long list wraps as regedit does
    EXPECT_NE(text.find("\"Short\"=hex(4):01,02\r\n"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quav\\Empty\\Deeper]\r\n"), std::string::npos);

    sim::Registry copy;
    copy.ImportReg(text);
    EXPECT_EQ(copy.ExportReg(top), text);
    for (const std::string& name : reg().Values(top)) {
        EXPECT_EQ(copy.GetValue(top, name), reg().GetValue(top, name)) << name;
    }
    EXPECT_EQ(copy.SubKeys(top), (Names{"Empty", "Zones"}));
    EXPECT_EQ(copy.GetValue(top + "\\Zones", "None"), (sim::Registry::Value{REG_NONE, {}}));
}

// A direct query-table entry; `type` is the default's type, with the type-check byte when wanted.
RTL_QUERY_REGISTRY_TABLE Direct(const WCHAR* name, PVOID to, ULONG flags = 0, ULONG type = REG_NONE,
                                PVOID def = nullptr)
{
    return {nullptr, RTL_QUERY_REGISTRY_DIRECT | flags, const_cast<PWSTR>(name), to, type, def, 0};
}

constexpr ULONG Expect(ULONG type)
{
    return type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}

NTSTATUS Query(const WCHAR* path, RTL_QUERY_REGISTRY_TABLE* table, PVOID context = nullptr)
{
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, context,
                                  nullptr);
}

// Query routine that records what it was handed, and fails on a value named "Stop".
NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry_context)
{
    const std::string n = sim::Utf8FromUtf16(name);
    static_cast<Names*>(context)->push_back(n + ":" + std::to_string(type) + ":" + std::to_string(length) +
                                            ":" + std::to_string(*static_cast<uint8_t*>(data)));
    *static_cast<int*>(entry_context) += 1;
    return n == "Stop" ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRegistryValuesDirectDefaultsAndRoutines)
{
    reg().SetDword(kParams, "Poll", 5);
    reg().SetString(kParams, "Label", "x");
    ULONG poll = 0, fallback = 0, untouched = 99, typed = 0, mismatched = 77, def = 3;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        Direct(u"POLL", &poll),
        Direct(u"Missing", &fallback, 0, REG_DWORD, &def),
        Direct(u"Missing", &untouched),
        Direct(u"Poll", &typed, RTL_QUERY_REGISTRY_TYPECHECK, Expect(REG_DWORD)),
        {},
    };
    EXPECT_EQ(Query(kParamsW, table), STATUS_SUCCESS);
    EXPECT_EQ(poll, 5u);
    EXPECT_EQ(fallback, 3u);
    EXPECT_EQ(untouched, 99u);
    EXPECT_EQ(typed, 5u);

    // A string where a DWORD is expected: refused, with TYPECHECK quietly, without it as misuse.
    table[0] = Direct(u"Label", &mismatched, RTL_QUERY_REGISTRY_TYPECHECK, Expect(REG_DWORD));
    table[1] = {};
    EXPECT_EQ(Query(kParamsW, table), STATUS_OBJECT_TYPE_MISMATCH);
    table[0] = Direct(u"Label", &mismatched);
    EXPECT_EQ(Query(kParamsW, table), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_TRUE(OneReportContaining("without RTL_QUERY_REGISTRY_TYPECHECK"));
    EXPECT_EQ(mismatched, 77u);

    // With TYPECHECK, a string comes back in a UNICODE_STRING the pool holds.
    UNICODE_STRING label = {};
    table[0] = Direct(u"Label", &label, RTL_QUERY_REGISTRY_TYPECHECK, Expect(REG_SZ));
    ASSERT_EQ(Query(kParamsW, table), STATUS_SUCCESS);
    EXPECT_EQ(label.Length, 2u);
    EXPECT_EQ(std::u16string_view(label.Buffer), u"x");
    RtlFreeUnicodeString(&label);
    EXPECT_EQ(machine_.pool().OutstandingTotal(), 0u);

    table[0] = Direct(u"Missing", &poll, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, &def);
    EXPECT_EQ(Query(kParamsW, table), STATUS_OBJECT_NAME_NOT_FOUND);
    table[0] = Direct(u"Missing", &poll, 0, REG_DWORD, &def);
    EXPECT_EQ(Query(u"\\REGISTRY\\Machine\\Nowhere", table), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"QUAV", table, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);

    // Routines: a named value, then every value of the key until a routine fails.
    reg().SetValue(kParams, "Stop", REG_BINARY, {9});
    reg().SetDword(kParams, "After", 1);
    Names seen;
    int calls = 0;
    RTL_QUERY_REGISTRY_TABLE routines[] = {
        {Record, 0, const_cast<PWSTR>(u"label"), &calls, REG_NONE, nullptr, 0},
        {Record, 0, nullptr, &calls, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(Query(kParamsW, routines, &seen), STATUS_DEVICE_BUSY);
    EXPECT_EQ(seen, (Names{"label:1:4:120", "Poll:4:4:5", "Label:1:4:120", "Stop:3:1:9"}));
    EXPECT_EQ(calls, 4);
}

// Each call a query routine got: "name type bytes..." with the bytes in hex; a call whose first byte is
// 'x' fails.
NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID)
{
    std::string call = sim::Utf8FromUtf16(name) + " " + std::to_string(type);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (ULONG i = 0; i < length; i++) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
        call += hex;
    }
    static_cast<Names*>(context)->push_back(call);
    return length > 0 && bytes[0] == 'x' ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
}

// What a query routine is handed, as the kernel prepares it: an absent value calls it only with a default,
// strings are expanded and lists split unless NOEXPAND says otherwise, and its failure ends the query.
TEST_F(RegistryTest, QueryRoutinesGetValuesAsTheKernelPreparesThem)
{
    using V = sim::Registry::Value;
    struct Case {
        const char* name;
        std::optional<V> stored; // as "V"; none: absent
        ULONG flags;
        ULONG default_type;
        NTSTATUS status;
        Names calls;
    };
    ULONG seven = 7;
    constexpr ULONG kNoExpand = RTL_QUERY_REGISTRY_NOEXPAND;
    auto row = [](const char* name, std::optional<V> stored, ULONG flags, ULONG default_type, NTSTATUS status,
                  Names calls) {
        return Case{name, std::move(stored), flags, default_type, status, std::move(calls)};
    };
    const Case cases[] = {
        row("a DWORD", V{REG_DWORD, {1, 2, 3, 4}}, 0, REG_NONE, STATUS_SUCCESS, {"V 4 01 02 03 04"}),
        row("a short DWORD", V{REG_DWORD, {1, 2}}, 0, REG_NONE, STATUS_SUCCESS, {"V 4 01 02"}),
        row("a QWORD", V{REG_QWORD, Bytes(8, 1)}, 0, REG_NONE, STATUS_SUCCESS,
            {"V 11 01 01 01 01 01 01 01 01"}),
        row("an expandable string, expanded", V{REG_EXPAND_SZ, {'%', 0, 0, 0}}, 0, REG_NONE, STATUS_SUCCESS,
            {"V 1 25 00 00 00"}),
        row("an expandable string, as stored", V{REG_EXPAND_SZ, {'%', 0, 0, 0}}, kNoExpand, REG_NONE,
            STATUS_SUCCESS, {"V 2 25 00 00 00"}),
        row("a list, a string a call", V{REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}}, 0,
            REG_NONE, STATUS_SUCCESS, {"V 1 61 00 00 00", "V 1 62 00 63 00 00 00"}),
        row("a list, whole", V{REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}}, kNoExpand, REG_NONE, STATUS_SUCCESS,
            {"V 7 61 00 00 00 00 00"}),
        row("an empty list", V{REG_MULTI_SZ, {0, 0}}, 0, REG_NONE, STATUS_SUCCESS, {}),
        row("a list whose string fails", V{REG_MULTI_SZ, {'x', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}, 0, REG_NONE,
            STATUS_DEVICE_BUSY, {"V 1 78 00 00 00"}),
        row("absent, no default", std::nullopt, 0, REG_NONE, STATUS_SUCCESS, {}),
        row("absent, a default", std::nullopt, 0, REG_DWORD, STATUS_SUCCESS, {"V 4 07 00 00 00"}),
        row("absent and required", std::nullopt, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD,
            STATUS_OBJECT_NAME_NOT_FOUND, {}),
    };
    for (const Case& c : cases) {
        reg().DeleteKey(kParams);
        reg().CreateKey(kParams);
        if (c.stored) {
            reg().SetValue(kParams, "V", c.stored->type, c.stored->data);
        }
        Names calls;
        RTL_QUERY_REGISTRY_TABLE table[] = {
            {Collect, c.flags, const_cast<PWSTR>(u"V"), nullptr, c.default_type, &seven, sizeof seven},
            {},
        };
        EXPECT_EQ(Query(kParamsW, table, &calls), c.status) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

// RtlWriteRegistryValue of a DWORD under an absolute path.
NTSTATUS WriteDword(const WCHAR* path, const WCHAR* name, ULONG value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, name, REG_DWORD, &value, sizeof value);
}

TEST_F(RegistryTest, WriteRegistryValueCreatesOnlyTheFinalKeyAndHonoursTheFaultKnob)
{
    reg().CreateKey(kQuav);
    EXPECT_EQ(WriteDword(kParamsW, u"Interval", 10), STATUS_SUCCESS);
    EXPECT_EQ(reg().GetDword(kParams, "INTERVAL"), 10u);
    const WCHAR text[] = u"on";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kParamsW, u"Mode",
                                    REG_EXPAND_SZ, (PVOID)text, sizeof text),
              STATUS_SUCCESS);
    EXPECT_EQ(reg().GetValue(kParams, "Mode"), (sim::Registry::Value{REG_EXPAND_SZ, {'o', 0, 'n', 0, 0, 0}}));
    EXPECT_EQ(WriteDword(u"\\REGISTRY\\Machine\\SOFTWARE\\Gone\\Params", u"X", 10),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg().KeyExists("\\REGISTRY\\Machine\\SOFTWARE\\Gone"));
    EXPECT_EQ(reg().Writes(), 2u);

    reg().FailWrites(1);
    EXPECT_EQ(WriteDword(kParamsW, u"Interval", 11), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reg().GetDword(kParams, "Interval"), 10u);
    EXPECT_EQ(WriteDword(kParamsW, u"Interval", 11), STATUS_SUCCESS);
    reg().FailWrites(-1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(WriteDword(kParamsW, u"Interval", 10), STATUS_INSUFFICIENT_RESOURCES);
    }
    reg().FailWrites(0);
    EXPECT_EQ(WriteDword(kParamsW, u"Other", 10), STATUS_SUCCESS);
    EXPECT_EQ(reg().GetDword(kParams, "Interval"), 11u);
    EXPECT_EQ(reg().Writes(), 4u);
    EXPECT_EQ(reg().FailedWrites(), 4u);
}

// The keys of the driver's paths are remembered and names found through an index: paths that share
// their start, are prefixes of one another or differ in case only, keys deleted and made again, values
// and keys removed from the middle of their lists, and more paths than are remembered at once.
TEST_F(RegistryTest, KernelWritesLandWhereTheirPathsLeadThroughRemovals)
{
    reg().CreateKey(kParams);
    const std::string p(kParams);
    struct Write {
        const WCHAR* path;
        const WCHAR* name;
        ULONG value;
        std::string key;
        const char* read_as;
    };
    const Write writes[] = {
        {u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters\\Thermal", u"T", 1,
         p + "\\Thermal", "t"},
        {u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters\\Therm", u"T", 2,
         p + "\\Therm", "T"},
        {u"\\registry\\machine\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters\\THERMAL", u"t", 3,
         p + "\\Thermal", "T"},
        {kParamsW, u"T", 4, p, "T"},
        {u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters\\Volt", u"V\u00C4", 5,
         p + "\\Volt", "v\u00C4"},
    };
    for (const Write& w : writes) {
        EXPECT_EQ(WriteDword(w.path, w.name, w.value), STATUS_SUCCESS) << w.key;
    }
    for (const auto& [key, name, value] :
         {std::tuple{p + "\\Thermal", "T", 3u}, std::tuple{p + "\\Therm", "T", 2u}, std::tuple{p, "T", 4u},
          std::tuple{p + "\\Volt", "V\u00C4", 5u}}) {
        EXPECT_EQ(reg().Values(key), Names{name}) << key;
        EXPECT_EQ(reg().GetDword(key, name), value) << key;
    }
    // The key goes with its node: a write on the same path makes it again.
    EXPECT_TRUE(reg().DeleteKey(p + "\\Thermal"));
    EXPECT_EQ(WriteDword(writes[0].path, u"Again", 6), STATUS_SUCCESS);
    EXPECT_EQ(reg().Values(p + "\\Thermal"), Names{"Again"});
    EXPECT_EQ(reg().SubKeys(p), (Names{"Therm", "Volt", "Thermal"}));

    // Removals from the front of a list move the rest up; the index follows.
    reg().SetDword(p, "A", 1);
    reg().SetDword(p, "B", 2);
    EXPECT_TRUE(reg().DeleteValue(p, "t"));
    EXPECT_TRUE(reg().DeleteKey(p + "\\therm"));
    EXPECT_EQ(WriteDword(kParamsW, u"b", 7), STATUS_SUCCESS);
    reg().SetDword(p, "T", 8);
    EXPECT_EQ(reg().Values(p), (Names{"A", "B", "T"}));
    EXPECT_EQ(reg().GetDword(p, "B"), 7u);
    EXPECT_EQ(reg().SubKeys(p), (Names{"Volt", "Thermal"}));
    EXPECT_TRUE(reg().KeyExists(p + "\\VOLT"));

    // Twenty keys written twice round: more than are remembered at once.
    for (ULONG round = 0; round < 2; round++) {
        for (ULONG k = 0; k < 20; k++) {
            const std::u16string path =
                kParamsW + (u"\\K" + std::u16string(1, static_cast<char16_t>(u'a' + k)));
            EXPECT_EQ(WriteDword(path.c_str(), u"N", round * 100 + k), STATUS_SUCCESS);
        }
    }
    for (ULONG k = 0; k < 20; k++) {
        EXPECT_EQ(reg().GetDword(p + "\\K" + static_cast<char>('a' + k), "n"), 100 + k);
    }
}

} // namespace
