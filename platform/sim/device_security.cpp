#include "device_security.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform.h"

namespace sim {

static_assert(kPackageDeviceCharacteristics == FILE_DEVICE_SECURE_OPEN);

namespace {

struct Ace {
    bool allow;
    std::string sid;
};

constexpr std::array kKnownSids = {"SY", "BA", "BU", "WD", "AU", "IU"};
constexpr std::array kUserSids = {"BU", "WD", "AU", "IU"};

[[noreturn]] void Fail(std::string_view sddl, const std::string& what)
{
    throw std::invalid_argument("security descriptor \"" + std::string(sddl) + "\": " + what);
}

// "(A;;GA;;;SY)": type, flags, rights, object type, inherited object type, SID.
Ace ParseAce(std::string_view sddl, std::string_view ace)
{
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t end = ace.find(';', start);
        fields.emplace_back(ace.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (fields.size() != 6 || (fields[0] != "A" && fields[0] != "D") || fields[2].empty() ||
        !fields[3].empty() || !fields[4].empty()) {
        Fail(sddl, "entry (" + std::string(ace) + ") is not (A|D;flags;rights;;;SID)");
    }
    if (std::find(kKnownSids.begin(), kKnownSids.end(), fields[5]) == kKnownSids.end()) {
        Fail(sddl, "entry (" + std::string(ace) + ") names an unknown SID " + fields[5]);
    }
    return {fields[0] == "A", fields[5]};
}

bool Decide(const std::vector<Ace>& dacl, bool administrator)
{
    for (const Ace& ace : dacl) {
        const bool named = (administrator && ace.sid == "BA") ||
                           std::find(kUserSids.begin(), kUserSids.end(), ace.sid) != kUserSids.end();
        if (named) {
            return ace.allow;
        }
    }
    return false;
}

} // namespace

DeviceAccess ParseDeviceSecurity(std::string_view sddl)
{
    if (sddl.empty()) {
        return {};
    }
    if (!sddl.starts_with("D:")) {
        Fail(sddl, "no DACL (\"D:\") at the start");
    }
    std::string_view rest = sddl.substr(2);
    while (!rest.empty() && rest.front() != '(') {
        const size_t flag = rest.starts_with("P")                              ? 1
                            : rest.starts_with("AI") || rest.starts_with("AR") ? 2
                                                                               : 0;
        if (flag == 0) {
            Fail(sddl, "unknown DACL flags at \"" + std::string(rest) + "\"");
        }
        rest.remove_prefix(flag);
    }
    std::vector<Ace> dacl;
    while (!rest.empty()) {
        const size_t close = rest.find(')');
        if (rest.front() != '(' || close == std::string_view::npos) {
            Fail(sddl, "entries are not in parentheses at \"" + std::string(rest) + "\"");
        }
        dacl.push_back(ParseAce(sddl, rest.substr(1, close - 1)));
        rest.remove_prefix(close + 1);
    }
    return {Decide(dacl, true), Decide(dacl, false)};
}

} // namespace sim
