// The conversions of raw sensor registers, on known values: the rules that a swapped bit field, an
// off-by-one shift or a signed byte would break without any port access to show it.
#include <gtest/gtest.h>

#include "hardware/convert.h"
#include "hardware/ecregs.h"

namespace {

TEST(ConvertTest, FanDivisorsComeFromEachFansOwnThreeBits)
{
    struct Case {
        UCHAR reg;
        ULONG fan1;
        ULONG fan2;
    };
    const Case cases[] = {
        {0x00, 1, 1},     {0x09, 2, 2},   {0x2D, 32, 32}, {0x1A, 4, 8},
        {0x07, 128, 1},   {0x38, 1, 128}, {0xC0, 1, 1}, // bits 6-7 belong to neither fan
        {0xFF, 128, 128},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FanDivisorFromRegister(c.reg, 0), c.fan1) << std::hex << int(c.reg);
        EXPECT_EQ(FanDivisorFromRegister(c.reg, 1), c.fan2) << std::hex << int(c.reg);
    }
}

TEST(ConvertTest, FanRpmFromCount)
{
    struct Case {
        UCHAR low;
        UCHAR high;
        ULONG divisor;
        ULONG rpm;
    };
    const Case cases[] = {
        {0x46, 0x05, 2, 500},  // 1,350,000 / (0x0546 * 2)
        {0xFF, 0xFF, 2, 0},    // the 16-bit counter overflowed: stopped
        {0xFF, 0x00, 2, 2647}, // an 8-bit counter at 0xFF is a slow fan, not a stopped one
        {0xFF, 0x00, 128, 41}, // truncated
        {0x00, 0x00, 2, 0},    // no period to divide by
        {0x01, 0x00, 1, EC_FAN_CLOCK},
        {0x00, 0x01, 1, EC_FAN_CLOCK / 256},
        {0xFF, 0xFE, 1, EC_FAN_CLOCK / 0xFEFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FanRpmFromCount(c.low, c.high, c.divisor), c.rpm)
            << std::hex << int(c.high) << ":" << int(c.low) << " / " << std::dec << c.divisor;
    }
}

} // namespace
