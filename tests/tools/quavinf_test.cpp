// The package: quav.inf as the build wrote it, followed the way the installer follows it (models ->
// install sections -> services -> AddReg), the generator's refusals, and quav.mof against quavpub.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "default_config.h"
#include "inf.h"
#include "platform.h"
#include "quavpub.h"
#include "sim/device_security.h"
#include "sim/registry.h"

namespace {

using Line = std::vector<std::string>;
const std::string kService(quavinf::kServiceKey);

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Upper(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// An INF line's fields, split at commas outside quotes; quotes removed, "" taken as ".
Line Fields(const std::string& line)
{
    Line fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += line[i++];
        } else if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back() += line[i];
        }
    }
    for (std::string& f : fields) {
        f = Trim(f);
    }
    return fields;
}

// quav.inf as sections of lines (names upper-cased), without comments and blank lines.
const std::map<std::string, std::vector<std::string>>& Inf()
{
    static const auto sections = [] {
        std::map<std::string, std::vector<std::string>> out;
        const std::string text = ReadText(QUAV_PACKAGE_INF);
        std::vector<std::string>* section = nullptr;
        for (size_t pos = 0; pos < text.size();) {
            const size_t end = std::min(text.find("\r\n", pos), text.size());
            std::string line = text.substr(pos, end - pos);
            pos = end + 2;
            bool quoted = false;
            for (size_t i = 0; i < line.size(); i++) {
                quoted = quoted != (line[i] == '"');
                if (line[i] == ';' && !quoted) {
                    line.resize(i);
                }
            }
            line = Trim(line);
            if (line.starts_with("[")) {
                section = &out[Upper(line.substr(1, line.size() - 2))];
            } else if (!line.empty() && section != nullptr) {
                section->push_back(line);
            }
        }
        return out;
    }();
    return sections;
}

std::vector<std::string> Section(const std::string& name)
{
    const auto it = Inf().find(Upper(name));
    EXPECT_NE(it, Inf().end()) << "no section [" << name << "]";
    return it == Inf().end() ? std::vector<std::string>{} : it->second;
}

// The value of "key = value" in a section.
std::string Entry(const std::string& section, const std::string& key)
{
    for (const std::string& line : Section(section)) {
        if (const size_t eq = line.find('='); Upper(Trim(line.substr(0, eq))) == Upper(key)) {
            return Trim(line.substr(eq + 1));
        }
    }
    ADD_FAILURE() << "no " << key << " in [" << section << "]";
    return "";
}

// The lines of the AddReg sections an install section names.
std::vector<Line> AddReg(const std::string& section)
{
    std::vector<Line> lines;
    for (const std::string& name : Fields(Entry(section, "AddReg"))) {
        for (const std::string& line : Section(name)) {
            lines.push_back(Fields(line));
        }
    }
    return lines;
}

// [Manufacturer] -> its NTx86 models -> the install section of root\QUAV, decorated as Windows finds it.
std::string InstallSection()
{
    const Line mfg = Fields(Entry("Manufacturer", "%Mfg%"));
    EXPECT_EQ(mfg.size(), 2u);
    for (const std::string& line : Section(mfg.at(0) + "." + mfg.at(1))) {
        const Line model = Fields(line.substr(line.find('=') + 1));
        if (model.size() == 2 && Upper(model[1]) == "ROOT\\QUAV") {
            return model[0] + "." + mfg[1];
        }
    }
    ADD_FAILURE() << "no model with the hardware id root\\QUAV";
    return "";
}

// An AddReg line applied below `base` as the installer would: a lone % would start a substitution.
void Apply(sim::Registry& reg, const std::string& base, const Line& f)
{
    ASSERT_GE(f.size(), 4u);
    ASSERT_EQ(f[0], "HKR");
    const std::string key = f[1].empty() ? base : base + "\\" + f[1];
    const unsigned long flags = std::stoul(f[3], nullptr, 0);
    if (flags == 0x10) {
        reg.CreateKey(key);
        return;
    }
    ASSERT_EQ(f.size(), 5u);
    std::string value;
    for (size_t i = 0; i < f[4].size(); i++) {
        value += f[4][i];
        if (f[4][i] == '%') {
            ASSERT_EQ(f[4].substr(i++, 2), "%%") << "unescaped % in " << f[4];
        }
    }
    if (flags == 0x00010001) {
        reg.SetDword(key, f[2], static_cast<uint32_t>(std::stoul(value, nullptr, 0)));
    } else {
        ASSERT_EQ(flags, 0u) << f[3];
        reg.SetString(key, f[2], value);
    }
}

TEST(QuavInf, InstallsEveryConfigurationDefaultUnderTheServiceKey)
{
    sim::Registry from_inf;
    const Line service = Fields(Entry(InstallSection() + ".Services", "AddService"));
    ASSERT_GE(service.size(), 3u);
    for (const Line& line : AddReg(service[2])) {
        Apply(from_inf, kService, line);
    }
    sim::Registry from_reg;
    from_reg.ImportRegFile(QUAV_DEFAULT_CONFIG);
    ASSERT_TRUE(from_reg.GetDword(kService + "\\Parameters", "POLLING_INTERVAL"));
    EXPECT_EQ(from_inf.ExportReg(kService), from_reg.ExportReg(kService));
}

TEST(QuavInf, StringsEmptyKeysAndRepeatedValuesRoundTrip)
{
    const char* reg = "Windows Registry Editor Version 5.00\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters]\n"
                      "@=\"default\"\n"
                      "\"Odd, name\"=\"50% \\\"full\\\"; or not\"\n"
                      "\"LIMIT\"=dword:FFFFFFFF\n"
                      "\"LIMIT\"=dword:fffffffe\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Current\\FAN]\n";
    sim::Registry expected, back;
    expected.ImportReg(reg);
    for (const std::string& line : quavinf::ConfigAddReg(reg)) {
        Apply(back, kService, Fields(line));
    }
    EXPECT_EQ(back.ExportReg(kService), expected.ExportReg(kService));
}

TEST(QuavInf, ServiceEventLogSourceAndDeviceSecurity)
{
    EXPECT_EQ(Entry("Version", "Signature"), "\"$WINDOWS NT$\"");
    EXPECT_EQ(Entry("Version", "Class"), "System");
    EXPECT_EQ(Entry("Version", "ClassGuid"), "{4D36E97D-E325-11CE-BFC1-08002BE10318}");
    const std::string install = InstallSection();
    const std::string copy = Entry(install, "CopyFiles");
    EXPECT_EQ(Section(copy), std::vector<std::string>{"quav.sys"});
    EXPECT_EQ(Entry("DestinationDirs", copy), "12");

    const Line add = Fields(Entry(install + ".Services", "AddService"));
    ASSERT_EQ(add.size(), 6u);
    EXPECT_EQ(add[0] + " " + add[1] + " " + add[4] + " " + add[5], "QUAV 0x00000002 System QUAV");
    EXPECT_EQ(Entry(add[2], "ServiceType"), "1");
    EXPECT_EQ(Entry(add[2], "StartType"), "3");
    EXPECT_EQ(Entry(add[2], "ErrorControl"), "1");
    EXPECT_EQ(Entry(add[2], "ServiceBinary"), "%12%\\quav.sys");
    EXPECT_EQ(AddReg(add[3]),
              (std::vector<Line>{
                  {"HKR", "", "EventMessageFile", "0x00020000",
                   "%%SystemRoot%%\\System32\\IoLogMsg.dll;%%SystemRoot%%\\System32\\drivers\\quav.sys"},
                  {"HKR", "", "TypesSupported", "0x00010001", "7"}}));

    // A protected DACL giving all access to SYSTEM and Administrators and no one else, and secure opens:
    // the constants the simulation's PnP manager applies when it installs the device.
    std::map<std::string, Line> hw;
    for (const Line& f : AddReg(install + ".HW")) {
        hw[f.at(2)] = f;
    }
    ASSERT_EQ(hw.size(), 2u);
    EXPECT_EQ(hw["Security"], (Line{"HKR", "", "Security", "", "D:P(A;;GA;;;SY)(A;;GA;;;BA)"}));
    EXPECT_EQ(hw["Security"].at(4), sim::kPackageDeviceSecurity);
    EXPECT_EQ(std::stoul(hw["DeviceCharacteristics"].at(3), nullptr, 0), 0x00010001u);
    EXPECT_EQ(std::stoul(hw["DeviceCharacteristics"].at(4), nullptr, 0),
              static_cast<unsigned long>(FILE_DEVICE_SECURE_OPEN));
}

TEST(QuavInf, IsAsciiWithCrlfLineEnds)
{
    const std::string text = ReadText(QUAV_PACKAGE_INF);
    ASSERT_TRUE(text.ends_with("\r\n"));
    for (size_t i = 0; i < text.size(); i++) {
        const unsigned char c = text[i];
        ASSERT_TRUE((c >= 0x20 && c <= 0x7E) || c == '\t' || (c == '\r' && text[i + 1] == '\n') ||
                    (c == '\n' && i > 0 && text[i - 1] == '\r'))
            << "byte " << i;
    }
}

TEST(QuavInf, RefusesWhatAnInfCannotInstallNamingTheLine)
{
    const std::string head = "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters]\n";
    const std::pair<std::string, int> cases[] = {
        {head + "\"A\"=dword:1\n\"B\"=hex:01,02\n", 5}, // binary
        {head + "\"A\"=hex(2):41,00,00,00\n", 4},       // expandable
        {head + "\"A\"=-\n", 4},                        // value deletion
        {head + "\"A\"=\"caf\xC3\xA9\"\n", 4},          // not ASCII
        {head + "\"A\"\n", 4},                          // syntax
        {head + "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Old]\n", 4}, // key deletion
        {head + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAVX]\n", 4}, // another service
        {head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUAV]\n", 4},                             // elsewhere
    };
    for (const auto& [text, line] : cases) {
        try {
            quavinf::ConfigAddReg(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const sim::RegFileError& e) {
            EXPECT_EQ(e.line(), line) << e.what();
            EXPECT_TRUE(std::string(e.what()).starts_with("line " + std::to_string(line) + ": ")) << e.what();
        }
    }
    EXPECT_THROW(quavinf::ConfigAddReg("Windows Registry Editor Version 5.00\n"), sim::RegFileError);
}

TEST(QuavInf, FillsTheTemplatePlaceholders)
{
    const std::string reg = "Windows Registry Editor Version 5.00\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QUAV\\Parameters]\n"
                            "\"POLLING_INTERVAL\"=dword:5\n";
    const quavinf::DriverVersion v{"12/06/2026", "0.1.0.0"};
    const std::string security = "S = @DEVICE_SECURITY@,@DEVICE_CHARACTERISTICS@\n";
    EXPECT_EQ(
        quavinf::GenerateInf(
            "[Version]\nDriverVer = @DRIVER_DATE@,@DRIVER_VERSION@\n[A]\r\n@CONFIG_ADDREG@\n" + security, reg,
            v),
        "[Version]\r\nDriverVer = 12/06/2026,0.1.0.0\r\n[A]\r\n"
        "HKR,Parameters,POLLING_INTERVAL,0x00010001,0x00000005\r\n"
        "S = D:P(A;;GA;;;SY)(A;;GA;;;BA),0x00000100\r\n");
    EXPECT_EQ(ErrorOf<quavinf::TemplateError>([&] {
                  quavinf::GenerateInf("[A]\n@CONFIG_ADDREG@\nx = @DRIVER_DATA@\n" + security, reg, v);
              }),
              "line 3: unknown placeholder @DRIVER_DATA@");
    // The device security once each, or the INF and the simulation would part.
    for (const std::string& bad : std::vector<std::string>{
             "[A]\n" + security, "@CONFIG_ADDREG@\n@CONFIG_ADDREG@\n" + security,
             "[A] @CONFIG_ADDREG@\n" + security, "; caf\xC3\xA9\n@CONFIG_ADDREG@\n" + security,
             std::string("@CONFIG_ADDREG@\n"), "@CONFIG_ADDREG@\n" + security + security,
             std::string("@CONFIG_ADDREG@\nS = @DEVICE_SECURITY@\n")}) {
        EXPECT_THROW(quavinf::GenerateInf(bad, reg, v), quavinf::TemplateError) << bad;
    }
    for (const quavinf::DriverVersion& bad : {quavinf::DriverVersion{"13/06/2026", "0.1.0.0"},
                                              {"1/6/2026", "0.1.0.0"},
                                              {"12/06/2026", "0.1.0"},
                                              {"12/06/2026", "0.1.0.65536"}}) {
        EXPECT_THROW(quavinf::GenerateInf("@CONFIG_ADDREG@\n", reg, bad), std::invalid_argument) << bad.date;
    }
}

// The text of a MOF class: its qualifiers and body, from the line naming it to its "};".
std::string MofClass(const std::string& mof, const std::string& guid)
{
    const size_t at = mof.find("guid(\"" + guid + "\")");
    return at == std::string::npos ? "" : mof.substr(at, mof.find("};", at) - at);
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

TEST(QuavMof, DescribesTheDataBlockAndMethodsOfTheSharedHeader)
{
    const std::string mof = ReadText(QUAV_PACKAGE_SOURCE "/quav.mof");
    const std::string data = MofClass(mof, GuidText(QUAV_SENSOR_DATA_GUID_INIT));
    const std::string event = MofClass(mof, GuidText(QUAV_SENSOR_EVENT_GUID_INIT));
    EXPECT_NE(event.find(": WMIEvent"), std::string::npos) << event;

    // One item: SENSOR_COUNT entries of a class whose items are SENSOR_DATA_ENTRY's three sint32, in order.
    ASSERT_NE(data.find("[WmiDataId(1)"), std::string::npos);
    EXPECT_EQ(data.find("[WmiDataId(2)"), std::string::npos);
    EXPECT_NE(data.find("Quav_SensorEntry Sensor[" + std::to_string(SENSOR_COUNT) + "];"), std::string::npos);
    const size_t entry_at = mof.find("class Quav_SensorEntry");
    const std::string entry = mof.substr(entry_at, mof.find("};", entry_at) - entry_at);
    size_t items = 0;
    for (const char* field : {"CurrentValue", "CriticalUpper", "CriticalLower"}) {
        const size_t at = entry.find("[WmiDataId(" + std::to_string(++items) + ")");
        ASSERT_NE(at, std::string::npos) << field;
        EXPECT_EQ(entry.substr(entry.find(']', at) + 1, entry.find(';', at) - entry.find(']', at) - 1),
                  std::string(" sint32 ") + field);
    }
    EXPECT_EQ(entry.find("WmiDataId(4)"), std::string::npos);
    EXPECT_EQ(items * 4, sizeof(SENSOR_DATA_ENTRY));

    // Methods 1 and 2, each taking SENSOR_METHOD_INPUT: the sensor number, then the value.
    for (const auto& [id, name] : {std::pair{WMI_METHOD_SET_CRITICAL_UPPER, "SetCriticalUpper"},
                                   std::pair{WMI_METHOD_SET_CRITICAL_LOWER, "SetCriticalLower"}}) {
        const size_t at = data.find("WmiMethodId(" + std::to_string(id) + ")");
        ASSERT_NE(at, std::string::npos) << name;
        const std::string method = data.substr(at, data.find(");", at) + 1 - at);
        const size_t number = method.find("[in, WmiDataId(1)");
        const size_t value = method.find("[in, WmiDataId(2)");
        EXPECT_NE(method.find(std::string("void ") + name + "("), std::string::npos) << method;
        EXPECT_NE(method.find("] uint32 SensorNumber,", number), std::string::npos) << method;
        EXPECT_NE(method.find("] sint32 Value)", value), std::string::npos) << method;
        EXPECT_TRUE(number < value && value != std::string::npos) << method;
    }
    EXPECT_EQ(data.find("WmiMethodId(3)"), std::string::npos);
}

} // namespace
