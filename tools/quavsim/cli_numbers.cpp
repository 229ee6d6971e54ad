#include "cli_numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "scenario.h"

namespace quavsim::cli {

namespace {

// The whole text as a finite real number; nothing for trailing text, nan, infinity or overflow.
std::optional<double> Finite(const std::string& text)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || errno == ERANGE || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

} // namespace

CLI::Validator Time(sim::Ticks min)
{
    return CLI::Validator(
        [min](std::string& text) -> std::string {
            const std::optional<sim::Ticks> t = ParseDuration(text);
            if (!t) {
                return "'" + text +
                       "' is not a time: seconds below 1e9, or a text such as \"90s\", \"15m\", \"2h\", "
                       "\"1h30m\"";
            }
            if (*t < min) {
                std::ostringstream why;
                why << "'" << text << "' is ";
                if (min == 1) {
                    why << "not more than 0";
                } else {
                    why << "less than " << static_cast<double>(min) / sim::kTicksPerSecond << " s";
                }
                return why.str();
            }
            return {};
        },
        "TIME");
}

CLI::Validator Seed()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return SeedValue(text) ? std::string()
                                   : "'" + text + "' is not a seed: an integer from 0 to " +
                                         std::to_string(std::numeric_limits<int64_t>::max());
        },
        "SEED");
}

CLI::Validator Real(double min, double max)
{
    return CLI::Validator(
        [min, max](std::string& text) -> std::string {
            const std::optional<double> v = Finite(text);
            if (v && *v >= min && *v <= max) {
                return {};
            }
            std::ostringstream range;
            range << "'" << text << "' is not a number from " << min << " to " << max;
            return range.str();
        },
        "NUMBER");
}

std::optional<sim::Ticks> TimeValue(const std::string& text)
{
    return text.empty() ? std::nullopt : ParseDuration(text);
}

std::optional<uint64_t> SeedValue(const std::string& text)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const uint64_t v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return std::nullopt;
    }
    return v;
}

std::optional<double> RealValue(const std::string& text)
{
    return Finite(text);
}

} // namespace quavsim::cli
