// The platform's text module: UTF-8 <-> UTF-16 on ill-formed input, and how names fold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/text.h"

namespace {

TEST(Text, Utf8DecodesEachIllFormedSequenceToReplacementCharacters)
{
    const struct {
        const char* name;
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"one to three bytes", "A\u00C4\u20AC", u"A\u00C4\u20AC"},
        {"four bytes: a surrogate pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"stray continuation byte", "a\x80z", u"a\uFFFDz"},
        {"truncated at the end", "a\xE2\x82", u"a\uFFFD\uFFFD"},
        {"truncated by an ASCII byte", "\xC3z", u"\uFFFDz"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"no lead byte is five bytes long", "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim::Utf16FromUtf8(c.utf8), c.utf16) << c.name;
    }
}

TEST(Text, Utf16EncodesPairsAndReplacesLoneSurrogates)
{
    const struct {
        const char* name;
        std::u16string utf16;
        std::string utf8;
    } cases[] = {
        {"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
        {"lone high surrogate", u"\xD800x", "\xEF\xBF\xBDx"},
        {"lone low surrogate", u"x\xDC00", "x\xEF\xBF\xBD"},
        {"pair in the wrong order", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"high surrogate at the end", u"\xD83D", "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim::Utf8FromUtf16(c.utf16), c.utf8) << c.name;
    }
}

TEST(Text, ValidUtf8PrefixStopsAtTheFirstIllFormedSequence)
{
    const struct {
        std::string text;
        size_t valid;
    } cases[] = {
        {"", 0},         {"plain \u00C4\U0001F600", 12}, {"ab\xFF", 2}, {"\u00C4\xC0\xAF", 2},
        {"\xE2\x82", 0}, {"x\xED\xA0\x80y", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim::ValidUtf8Prefix(c.text), c.valid) << c.text;
    }
}

TEST(Text, Utf16LittleEndianDataKeepsItsNulAndDropsAnOddByte)
{
    EXPECT_EQ(sim::Utf16LeWithNul("A\u00C4\U0001F600"),
              (std::vector<uint8_t>{'A', 0, 0xC4, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
    const std::vector<uint8_t> odd{'A', 0, 0xC4, 0x20, 0x7F};
    EXPECT_EQ(sim::Utf16FromLe(odd), u"A\u20C4");
}

TEST(Text, NamesFoldAsciiLettersOnly)
{
    EXPECT_TRUE(sim::SameName("Parameters", "pARAMETERs"));
    EXPECT_TRUE(sim::SameName(u"\\DosDevices\\QuavDsl", u"\\DOSDEVICES\\quavdsl"));
    EXPECT_FALSE(sim::SameName("Param", "Params"));
    // The characters beside the letters in ASCII, which a fold by bit 0x20 would confuse.
    EXPECT_FALSE(sim::SameName("@[", "`{"));
    EXPECT_FALSE(sim::SameName(u"@[", u"`{"));
    // Nothing beyond ASCII folds.
    EXPECT_FALSE(sim::SameName("\u00C4", "\u00E4"));
    EXPECT_FALSE(sim::SameName(u"\u00C4", u"\u00E4"));
    EXPECT_EQ(sim::FoldName(u"\\??\\quav-\u00E4@`{z"), u"\\??\\QUAV-\u00E4@`{Z");
}

} // namespace
