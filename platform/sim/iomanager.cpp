// The I/O manager's own life; each concern it serves has a file of its own (iomanager_records.h).
#include "iomanager.h"

#include <utility>

#include "iomanager_records.h"
#include "verifier.h"

namespace sim {

IoManager::IoManager(Verifier& verifier, Scheduler& scheduler, Pool& pool, EventLog& eventlog)
    : verifier_(verifier), scheduler_(scheduler), pool_(pool), eventlog_(eventlog)
{
}

IoManager::~IoManager()
{
    for (auto& [device, record] : devices_) {
        ::operator delete(device, kDeviceAlignment);
    }
    for (auto& r : irp_records_) {
        ::operator delete(r->storage);
    }
}

void IoManager::Report(std::string text)
{
    verifier_.Report("io", std::move(text));
}

} // namespace sim
