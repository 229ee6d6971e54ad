// The parity comparison of the built-in driver and the loaded quav.sys must see a difference as small as
// one byte of the image: here one letter of the text the driver logs when DriverEntry succeeds, changed
// in a copy of quav.sys. Only the event log may differ (the text is not read for anything else).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/wait.h>

#include "sim/pe_loader.h"

namespace {

constexpr uint32_t kDriverInitialized = 0x402A0004; // QUAV_MSG_DRIVER_INITIALIZED

// The command's standard output and error, and its exit status.
std::pair<std::string, int> RunCommand(const std::string& command)
{
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return {"popen failed", -1};
    }
    std::array<char, 4096> chunk{};
    while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
        output.append(chunk.data(), n);
    }
    const int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(ImageParityTest, ComparisonCatchesOneChangedLetterOfAMessageText)
{
    std::ifstream in(QUAV_SYS_IMAGE, std::ios::binary);
    std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(file.empty()) << QUAV_SYS_IMAGE << " is not built (make sys)";

    // The text as the message table stores it, UTF-16LE, found once in the file.
    const sim::ImageMessages messages = sim::ReadImageMessages(file);
    std::u16string_view text;
    for (const sim::MessageEntry& entry : messages.entries) {
        if (entry.id == kDriverInitialized) {
            text = entry.text;
        }
    }
    ASSERT_GE(text.size(), 4u);
    std::vector<uint8_t> pattern;
    for (char16_t c : text) {
        pattern.push_back(static_cast<uint8_t>(c & 0xFF));
        pattern.push_back(static_cast<uint8_t>(c >> 8));
    }
    const auto at = std::search(file.begin(), file.end(), pattern.begin(), pattern.end());
    ASSERT_NE(at, file.end());
    ASSERT_EQ(std::search(at + 1, file.end(), pattern.begin(), pattern.end()), file.end());
    // Flip the case of its first letter.
    auto letter = at;
    while (!std::isalpha(*letter)) {
        letter += 2;
    }
    *letter ^= 0x20;
    const std::string patched = std::string(QUAV_WORK) + "/quav-patched.sys";
    std::ofstream(patched, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

    const auto [output, status] = RunCommand(std::string(QUAV_COMPARE) +
                                             " " QUAV_QUAVSIM " " QUAV_QUAVSIM " " QUAV_SCENARIOS
                                             "/voltage-sag.json " QUAV_WORK "/parity-patched --image " +
                                             patched);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("voltage-sag: events.jsonl differs"), std::string::npos) << output;
    for (const char* same : {"registry.reg", "trace.csv", "actions.jsonl", "run failed"}) {
        EXPECT_EQ(output.find(same), std::string::npos) << same << "\n" << output;
    }
}

} // namespace
