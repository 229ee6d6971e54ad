#include "verifier.h"

#include <cstdio>
#include <utility>
#include <cstdlib>

namespace sim {

void Verifier::Report(std::string source, std::string text)
{
    std::lock_guard lk(mu_);
    if (abort_on_report_) {
        Fatal("verifier (" + source + "): " + text);
    }
    reports_.push_back({std::move(source), std::move(text)});
}

std::vector<VerifierReport> Verifier::Take()
{
    std::lock_guard lk(mu_);
    return std::exchange(reports_, {});
}

size_t Verifier::Count() const
{
    std::lock_guard lk(mu_);
    return reports_.size();
}

void Verifier::SetAbortOnReport(bool abort_on_report)
{
    std::lock_guard lk(mu_);
    abort_on_report_ = abort_on_report;
}

void Fatal(const std::string& text)
{
    std::fprintf(stderr, "\n*** simulation stopped: %s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace sim
