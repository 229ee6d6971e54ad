// Counted strings and the kernel's wide-string helpers.
#include <climits>

#include "sim_test.h"

namespace {

constexpr ULONG kTag = 0x53545351; // "QSTS"

class StringsTest : public SimTest {};

// What swprintf wrote, checked against what it says it wrote.
std::u16string Printed(WCHAR* buffer, int returned)
{
    EXPECT_EQ(static_cast<size_t>(returned), wcslen(buffer));
    return std::u16string(buffer, wcslen(buffer));
}

TEST_F(StringsTest, CountedStringsCountBytesAndFreeTheirPool)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, WSTR("QUAV"));
    EXPECT_EQ(s.Length, 8u); // bytes, without the NUL
    EXPECT_EQ(s.MaximumLength, 10u);
    EXPECT_EQ(std::u16string_view(s.Buffer), u"QUAV");
    RtlInitUnicodeString(&s, WSTR(""));
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 2u);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 0u);
    EXPECT_EQ(s.Buffer, nullptr);
    RtlFreeUnicodeString(&s); // a null buffer: nothing to free
    EXPECT_EQ(machine_.pool().OutstandingTotal(), 0u);

    // A string the platform hands out lives in the pool; freeing it returns the allocation.
    auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, kTag));
    ASSERT_NE(name, nullptr);
    wcscpy(name, WSTR("\\??\\Q1"));
    RtlInitUnicodeString(&s, name);
    EXPECT_EQ(machine_.pool().Outstanding(kTag), 1u);
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(machine_.pool().Outstanding(kTag), 0u);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 0u);

    // A literal is no pool allocation: the pool says so.
    RtlInitUnicodeString(&s, WSTR("static"));
    RtlFreeUnicodeString(&s);
    EXPECT_TRUE(OneReportContaining("not a live pool allocation"));
}

TEST_F(StringsTest, SwprintfFormatsIntegersAsTheKernelDoes)
{
    WCHAR b[64];
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("%d"), INT_MIN)), u"-2147483648");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("%d|%i|%d"), -42, 7, 0)), u"-42|7|0");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("%u %x %X %lx"), 4294967295u, 0xBEEFu, 0xBEEFu, 0x10u)),
              u"4294967295 beef BEEF 10");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("[%5d][%-5d][%05d][%05d][%08X]"), 42, 42, 42, -42, 0xABCu)),
              u"[   42][42   ][00042][-0042][00000ABC]");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("%2d"), 12345)), u"12345"); // a width is a minimum
}

TEST_F(StringsTest, SwprintfBuildsTheDriversNames)
{
    WCHAR b[64];
    for (int i : {0, 3, 12}) {
        const std::u16string expected = u"FANCNTL_RU_PWM_" + sim::Utf16FromUtf8(std::to_string(i));
        EXPECT_EQ(Printed(b, swprintf(b, WSTR("FANCNTL_RU_PWM_%d"), i)), expected);
    }
    // A fixed text is its own format.
    EXPECT_EQ(swprintf(b, WSTR("QUAV Hardware Monitor")), 21);
    EXPECT_EQ(std::u16string_view(b), u"QUAV Hardware Monitor");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("\\Device\\%s%d"), WSTR("Quav"), 0)), u"\\Device\\Quav0");
    EXPECT_EQ(
        Printed(b, swprintf(b, WSTR("<%-6ls|%6s|%s>"), WSTR("ab"), WSTR("cd"), static_cast<WCHAR*>(nullptr))),
        u"<ab    |    cd|(null)>");
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("%c%c 100%%"), u'\u00C4', 'Z')), u"\u00C4Z 100%");

    // A conversion the kernel form lacks is reported, and the rest is left as it stands.
    EXPECT_EQ(Printed(b, swprintf(b, WSTR("T=%d %.1f C"), 5, 1.5)), u"T=5 %.1f C");
    EXPECT_TRUE(OneReportContaining("unsupported conversion in \"%.1f C\""));
}

TEST_F(StringsTest, WcslenAndWcscpy)
{
    EXPECT_EQ(wcslen(WSTR("")), 0u);
    EXPECT_EQ(wcslen(WSTR("SENSOR\u00C4")), 7u);
    EXPECT_EQ(wcslen(WSTR("\U0001F321")), 2u); // UTF-16 code units, as the kernel counts
    WCHAR b[16];
    for (WCHAR& c : b) {
        c = u'#';
    }
    EXPECT_EQ(wcscpy(b, WSTR("Fan1")), b);
    EXPECT_EQ(std::u16string(b, 6), std::u16string(u"Fan1\0#", 6)); // the NUL is copied, no more
}

} // namespace
