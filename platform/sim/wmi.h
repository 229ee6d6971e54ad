// WMI as providers and consumers see it. A driver registers a device (IoWMIRegistrationControl); the
// service then asks the device for its registration information (IRP_MN_REGINFO_EX) and records the
// GUIDs it provides. As on Windows, that request does not come inside the registration call: WMI sends it
// later from a system thread of its own (here one started by the registration, which runs as soon as the
// registering thread blocks or yields), so it may reach the device before or after its start, after a
// stop or during its removal. A device whose answer fails keeps its registration with no GUIDs: its
// blocks are not found. A refusal is the driver's choice and not reported; a success with registration
// information that cannot be read is. Consumers (tests, tools) query and change data blocks, call methods and
// switch events and collection by GUID: each call builds the WNODE, sends the system-control request to the
// top of the registered device's stack on the calling thread and returns the final status
// (STATUS_PENDING for a request the provider never completed).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform.h"

namespace sim {

class IoManager;
class PnpManager;
class Verifier;

struct WmiGuidInfo {
    GUID guid{};
    uint32_t flags = 0; // the GUID's own flags with the registration's (WMIREG_FLAG_*)
    uint32_t instance_count = 0;
    std::u16string base_name;     // WMIREG_FLAG_INSTANCE_BASENAME
    PDEVICE_OBJECT pdo = nullptr; // WMIREG_FLAG_INSTANCE_PDO
    // As WMI names them: the base name followed by the index ("Quav0"), or the PDO's device node and
    // the index ("ROOT\QUAV\0000_0"); none when the provider gave neither.
    std::vector<std::u16string> instance_names;
};

struct WmiRegistration {
    PDEVICE_OBJECT device = nullptr;
    uint64_t serial = 0;       // tells a registration from an earlier one of a device at the same address
    bool reginfo_sent = false; // the registration-information request has been sent
    // The registration-information request's final status; STATUS_PENDING until it is sent, and while it
    // never came back (the provider abandoned it).
    NTSTATUS reginfo_status = STATUS_PENDING;
    std::u16string registry_path;
    std::u16string mof_resource;
    std::vector<WmiGuidInfo> guids; // empty when the registration information could not be had
};

// When the registration-information request is sent.
enum class RegInfoDelivery {
    Late,      // from the service's thread, as Windows does (the default)
    Held,      // from the service's thread, once ReleaseRegInfo lets it: a test picks the moment
    Immediate, // inside IoWMIRegistrationControl, on the registering thread
};

class WmiService {
public:
    // The first registration-information request offers this many bytes; a bigger one follows when
    // the provider says it needs more.
    static constexpr uint32_t kRegInfoFirstSize = 256;

    WmiService(Verifier& verifier, IoManager& io, PnpManager& pnp) : verifier_(verifier), io_(io), pnp_(pnp)
    {
    }
    WmiService(const WmiService&) = delete;
    WmiService& operator=(const WmiService&) = delete;

    // IoWMIRegistrationControl.
    NTSTATUS RegistrationControl(PDEVICE_OBJECT device, ULONG action);

    void SetRegInfoDelivery(RegInfoDelivery delivery);
    void ReleaseRegInfo(); // held deliveries go on when their threads next run
    // Deliveries started and not yet ended (their threads must have run before the machine goes).
    size_t PendingRegInfo() const;

    std::vector<WmiRegistration> Registered() const;
    std::optional<WmiRegistration> Registration(PDEVICE_OBJECT device) const;

    // Data queries. On STATUS_BUFFER_TOO_SMALL (the provider answered with a WNODE_TOO_SMALL),
    // *size_needed is the buffer_size that would do.
    NTSTATUS QueryAllData(const GUID& guid, std::vector<uint8_t>* data, uint32_t buffer_size = 4096,
                          uint32_t* size_needed = nullptr);
    NTSTATUS QuerySingleInstance(const GUID& guid, uint32_t instance, std::vector<uint8_t>* data,
                                 uint32_t buffer_size = 4096, uint32_t* size_needed = nullptr);
    NTSTATUS SetSingleInstance(const GUID& guid, uint32_t instance, std::span<const uint8_t> data);
    NTSTATUS SetSingleItem(const GUID& guid, uint32_t instance, uint32_t item_id,
                           std::span<const uint8_t> data);

    // The method's output has room for the larger of out_size and the input's size (it is written
    // where the input was). On STATUS_BUFFER_TOO_SMALL, *size_needed is the output size that would do.
    NTSTATUS ExecuteMethod(const GUID& guid, uint32_t instance, uint32_t method_id,
                           std::span<const uint8_t> in, uint32_t out_size, std::vector<uint8_t>* out,
                           uint32_t* size_needed = nullptr);

    NTSTATUS EnableEvents(const GUID& guid) { return Control(guid, IRP_MN_ENABLE_EVENTS); }
    NTSTATUS DisableEvents(const GUID& guid) { return Control(guid, IRP_MN_DISABLE_EVENTS); }
    NTSTATUS EnableCollection(const GUID& guid) { return Control(guid, IRP_MN_ENABLE_COLLECTION); }
    NTSTATUS DisableCollection(const GUID& guid) { return Control(guid, IRP_MN_DISABLE_COLLECTION); }

private:
    PDEVICE_OBJECT ProviderOf(const GUID& guid) const;
    // Sends one system-control request for `device` with `buffer` as its WNODE (or registration
    // information); returns the final status and the request's Information, or STATUS_PENDING when the
    // provider abandoned the request.
    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR minor, const void* data_path, std::vector<uint8_t>& buffer,
                  ULONG_PTR* information);
    void DeliverRegInfo(PDEVICE_OBJECT device, uint64_t serial, bool held);
    void QueryRegInfo(PDEVICE_OBJECT device, uint64_t serial);
    void NameInstances(WmiRegistration& registration) const;
    bool ParseRegInfo(const std::vector<uint8_t>& buffer, ULONG_PTR information, WmiRegistration* out);
    NTSTATUS Control(const GUID& guid, UCHAR minor);

    Verifier& verifier_;
    IoManager& io_;
    PnpManager& pnp_;
    mutable std::mutex mu_;
    std::vector<WmiRegistration> registrations_;
    uint64_t next_serial_ = 0;
    RegInfoDelivery delivery_ = RegInfoDelivery::Late;
    KEVENT release_{}; // set by ReleaseRegInfo; reset when deliveries are held
    bool release_ready_ = false;
    size_t pending_ = 0;
};

} // namespace sim
