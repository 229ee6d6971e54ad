// The I/O manager's object namespace: device names, symbolic links and device interfaces, and how a
// path resolves to a device. Names compare case-insensitively.
#include "iomanager.h"

#include <algorithm>
#include <cstdio>

#include "iomanager_records.h"
#include "text.h"

namespace sim {

std::u16string CanonicalName(std::u16string_view path)
{
    static constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";
    if (path.size() >= kDosDevices.size() && SameName(path.substr(0, kDosDevices.size()), kDosDevices)) {
        return u"\\??\\" + std::u16string(path.substr(kDosDevices.size()));
    }
    return std::u16string(path);
}

NTSTATUS IoManager::CreateSymbolicLink(std::u16string_view link, std::u16string_view target)
{
    std::lock_guard lk(mu_);
    const std::u16string name = CanonicalName(link);
    if (!names_.try_emplace(FoldName(name), NameEntry{name, nullptr, CanonicalName(target)}).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::DeleteSymbolicLink(std::u16string_view link)
{
    std::lock_guard lk(mu_);
    auto it = names_.find(FoldName(CanonicalName(link)));
    if (it == names_.end() || it->second.target.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    names_.erase(it);
    return STATUS_SUCCESS;
}

// The shortest leading part of the path that is a name; a link's target replaces it and the search
// starts over. What follows a device's name is returned in `rest`.
bool IoManager::ResolveLocked(std::u16string path, PDEVICE_OBJECT* device, std::u16string* rest) const
{
    for (int depth = 0; depth < 16; depth++) {
        bool followed = false;
        for (size_t i = 1; i <= path.size() && !followed; i++) {
            if (i != path.size() && path[i] != u'\\') {
                continue;
            }
            auto it = names_.find(FoldName(std::u16string_view(path).substr(0, i)));
            if (it == names_.end()) {
                continue;
            }
            if (it->second.device != nullptr) {
                *device = it->second.device;
                *rest = path.substr(i);
                return true;
            }
            path = CanonicalName(it->second.target + path.substr(i));
            followed = true;
        }
        if (!followed) {
            return false;
        }
    }
    return false;
}

NTSTATUS IoManager::RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string_view reference,
                                      std::u16string* link)
{
    std::lock_guard lk(mu_);
    auto it = devices_.find(pdo);
    if (it == devices_.end() || it->second->deleted || it->second->instance.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST; // only a physical device object has a device node
    }
    std::string instance = it->second->instance;
    std::replace(instance.begin(), instance.end(), '\\', '#');
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                  guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    const std::u16string base = u"\\??\\" + Utf16FromUtf8(instance + "#" + text);
    const std::u16string full = reference.empty() ? base : base + u"\\" + std::u16string(reference);
    auto i = std::find_if(interfaces_.begin(), interfaces_.end(),
                          [&](const InterfaceRecord& r) { return SameName(r.link, full); });
    if (i == interfaces_.end()) {
        interfaces_.push_back({guid, full, base, pdo, false});
    } else {
        i->pdo = pdo;
    }
    *link = full;
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::SetInterfaceState(std::u16string_view link, bool enable)
{
    std::lock_guard lk(mu_);
    auto i = std::find_if(interfaces_.begin(), interfaces_.end(),
                          [&](const InterfaceRecord& r) { return SameName(r.link, link); });
    if (link.empty() || i == interfaces_.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!enable) {
        DisableInterfaceLocked(*i);
        return STATUS_SUCCESS;
    }
    if (i->pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    i->enabled = true;
    names_[FoldName(i->base)] = NameEntry{i->base, i->pdo, {}};
    return STATUS_SUCCESS;
}

// A physical device object's interfaces stay registered without it, disabled, until it comes back.
void IoManager::OrphanInterfacesLocked(PDEVICE_OBJECT pdo)
{
    for (InterfaceRecord& i : interfaces_) {
        if (i.pdo == pdo) {
            DisableInterfaceLocked(i);
            i.pdo = nullptr;
        }
    }
}

void IoManager::DisableInterfaceLocked(InterfaceRecord& i)
{
    i.enabled = false;
    const bool shared = std::any_of(interfaces_.begin(), interfaces_.end(), [&](const InterfaceRecord& r) {
        return r.enabled && SameName(r.base, i.base);
    });
    if (!shared) {
        names_.erase(FoldName(i.base));
    }
}

std::vector<DeviceInterface> IoManager::Interfaces() const
{
    std::lock_guard lk(mu_);
    std::vector<DeviceInterface> out;
    for (const InterfaceRecord& i : interfaces_) {
        out.push_back({i.guid, Utf8FromUtf16(i.link), i.enabled, i.pdo});
    }
    return out;
}

} // namespace sim
