// The kernel's image loader for a built quav.sys: maps the i386 driver image into the simulation's
// process by sections at an address of the simulation's choosing, applies its base relocations, binds its
// imports by name to the routines the platform provides (pe_bindings.h), refusing any other, and sets each
// section's protection from its characteristics. Once DriverEntry has returned, the discardable sections
// (INIT) are unmapped as the kernel frees them, so INIT code called later faults at once.
//
// Each load maps a fresh copy of the file: a driver's static data starts as the file holds it on every
// simulated machine. The image's code runs only in the 32-bit build; the 64-bit build maps, relocates
// and checks an image, and reads its message table, but cannot call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "eventlog.h"
#include "pe_bindings.h"
#include "platform.h"

namespace pe {
class Image;
}

namespace sim {

class IoManager;

// A file that is no loadable driver image, or one importing what the platform does not provide. The
// text names the file and the fault.
struct ImageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ImageSection {
    std::string name;
    uintptr_t address; // where it is mapped
    size_t size;       // its pages' extent
    int protection;    // PROT_* as mapped
    bool discardable;  // INIT: unmapped once DriverEntry has returned
};

struct BoundImport {
    std::string module;
    std::string name;
    const Binding* binding;
    uintptr_t slot; // the mapped address of its import address table entry
};

class DriverImage {
public:
    // Reads and maps the file at `path`; ImageError when it cannot be read, is not a PE32 i386 native
    // image, or cannot be mapped, relocated or bound.
    static std::unique_ptr<DriverImage> Load(const std::string& path);
    // The same from the file's bytes; `name` ("quav.sys") names the image in errors.
    static std::unique_ptr<DriverImage> Map(std::span<const uint8_t> file, std::string name);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    const std::string& name() const { return name_; }
    uintptr_t base() const { return base_; }
    size_t size() const { return size_; }
    uint32_t preferred_base() const { return preferred_base_; }
    uintptr_t entry_point() const { return base_ + entry_rva_; } // DriverEntry's mapped address
    size_t relocations_applied() const { return relocations_; }
    const std::vector<ImageSection>& sections() const { return sections_; }
    const std::vector<BoundImport>& imports() const { return imports_; }
    // The image's own message table (RT_MESSAGETABLE, name 1, English or its only language), in the
    // form the event log takes.
    std::span<const MessageEntry> messages() const { return messages_; }

    // Unmaps the discardable sections; a second call does nothing.
    void DiscardInit();
    bool init_discarded() const { return init_discarded_; }
    // Whether DriverEntry has been entered (a mapped image runs it once).
    bool entered() const { return entered_; }

private:
    DriverImage() = default;
    void MapSections(const pe::Image& image, std::span<const uint8_t> file);
    void Relocate(const pe::Image& image);
    void Bind(const pe::Image& image);
    void Protect(const pe::Image& image);
    friend PDRIVER_OBJECT LoadImageDriver(IoManager& io, DriverImage& image, std::string service_name,
                                          std::u16string registry_path, NTSTATUS* status);

    std::string name_;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint32_t preferred_base_ = 0;
    uint32_t entry_rva_ = 0;
    size_t relocations_ = 0;
    std::vector<ImageSection> sections_;
    std::vector<BoundImport> imports_;
    std::vector<std::u16string> texts_;
    std::vector<MessageEntry> messages_;
    bool init_discarded_ = false;
    bool entered_ = false;
};

// Loads the image's driver as IoManager::LoadDriver loads a built-in one: the driver object for
// `service_name`, the image's message table as the event log's source, DriverEntry on the calling thread;
// then the image's INIT is discarded. Returns null when DriverEntry fails (`status` says why). ImageError
// when the image has already been entered (map a fresh one), or in the 64-bit build, which cannot call
// 32-bit code.
PDRIVER_OBJECT LoadImageDriver(IoManager& io, DriverImage& image, std::string service_name,
                               std::u16string registry_path, NTSTATUS* status);

// An image's RT_MESSAGETABLE resource as the event log takes it: the texts, and entries viewing them.
struct ImageMessages {
    std::vector<std::u16string> texts;
    std::vector<MessageEntry> entries;
};
ImageMessages ReadImageMessages(std::span<const uint8_t> file);

} // namespace sim
