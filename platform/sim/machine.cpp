#include "machine.h"

namespace sim {
namespace {

Machine* current_machine = nullptr;

} // namespace

Machine::Machine(MachineOptions options)
    : scheduler_(verifier_, options), pool_(verifier_),
      bus_(PortBus::Hooks{
          [this] { return scheduler_.Now(); },
          [this] { return scheduler_.CurrentId(); },
          [this](std::string source, std::string text) {
              verifier_.Report(std::move(source), std::move(text));
          },
      })
{
    if (current_machine != nullptr) {
        Fatal("a second simulated machine was created while one exists");
    }
    current_machine = this;
}

Machine::~Machine()
{
    current_machine = nullptr;
}

Machine& Machine::Current()
{
    if (current_machine == nullptr) {
        Fatal("a platform routine was called with no simulated machine");
    }
    return *current_machine;
}

Machine* Machine::TryCurrent()
{
    return current_machine;
}

} // namespace sim
