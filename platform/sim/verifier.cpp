#include "verifier.h"

#include <cstdio>
#include <utility>
#include <cstdlib>

#include "time.h"

namespace sim {

std::string FormatTicks(Ticks t)
{
    char buf[48];
    const char* sign = t < 0 ? "-" : "";
    uint64_t a = t < 0 ? -static_cast<uint64_t>(t) : static_cast<uint64_t>(t);
    std::snprintf(buf, sizeof buf, "%s%llu.%07llu s", sign,
                  static_cast<unsigned long long>(a / kTicksPerSecond),
                  static_cast<unsigned long long>(a % kTicksPerSecond));
    return buf;
}

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
