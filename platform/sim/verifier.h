// The verifier collects misuse found by the platform's checkers (dispatcher objects, pool, the board's
// protocol checkers). Checkers watch from outside the driver; a test fails when any report is left
// over at its end, and tools may ask for an abort at the first report instead.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct VerifierReport {
    std::string source; // "dispatcher", "pool", "superio", ...
    std::string text;
};

class Verifier {
public:
    void Report(std::string source, std::string text);
    std::vector<VerifierReport> Take();
    size_t Count() const;
    void SetAbortOnReport(bool abort_on_report);

private:
    mutable std::mutex mu_;
    std::vector<VerifierReport> reports_;
    bool abort_on_report_ = false;
};

// Misuse the simulation cannot continue from (a wait from an unknown thread, a deadlock): printed
// with the reason and the process aborts, as a bugcheck would stop a real machine.
[[noreturn]] void Fatal(const std::string& text);

} // namespace sim
