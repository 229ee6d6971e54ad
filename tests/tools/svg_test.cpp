// The SVG writer under the plot: numbers in tenths of a pixel, XML escaping, path data and the nesting
// of elements.
#include <gtest/gtest.h>

#include "svg.h"

namespace {

TEST(Svg, NumbersAreWrittenInTenthsWithoutAWholeFraction)
{
    const struct {
        double px;
        const char* text;
    } cases[] = {
        {0, "0"},          {12, "12"},     {12.34, "12.3"},
        {12.96, "13"},     {-0.3, "-0.3"}, {-0.5, "-0.5"},
        {-12.25, "-12.3"}, {-0.04, "0"},   {1e6 + 0.06, "1000000.1"},
        {-7, "-7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(svg::Number(c.px), c.text) << c.px;
    }
}

TEST(Svg, TextIsEscapedForXml)
{
    const struct {
        std::string_view in;
        const char* out;
    } cases[] = {
        {"a < b > c", "a &lt; b &gt; c"},
        {"R&D \"quoted\" 'single'", "R&amp;D &quot;quoted&quot; &apos;single&apos;"},
        {"line\r\nnext\tcell", "line\nnext\tcell"},                 // a CR is dropped, LF and tab kept
        {std::string_view("bell\x07nul\0end", 12), "bell nul end"}, // other controls become spaces
        {"30 \xC2\xB0"
         "C",
         "30 \xC2\xB0"
         "C"},                  // UTF-8 passes through
        {"&amp;", "&amp;amp;"}, // no entity is trusted as already escaped
    };
    for (const auto& c : cases) {
        std::string out;
        svg::AppendEscaped(out, c.in);
        EXPECT_EQ(out, c.out) << c.in;
    }
}

TEST(Svg, PathDataSharesTheCommandOfAPolylineOnly)
{
    using svg::Tenths;
    svg::PathData d;
    EXPECT_TRUE(d.empty());
    d.MoveTo(Tenths{10}, Tenths{-5})
        .LineTo(Tenths{20}, Tenths{5})
        .LineTo(Tenths{31}, Tenths{5})
        .MoveTo(1.5, 2)
        .HorizontalBy(0)
        .MoveTo(0, 0)
        .LineTo(Tenths{1}, Tenths{1})
        .HorizontalTo(3)
        .VerticalTo(Tenths{-12})
        .VerticalTo(4.04)
        .LineTo(Tenths{0}, Tenths{0})
        .HorizontalBy(18);
    EXPECT_EQ(d.str(), "M1 -0.5L2 0.5 3.1 0.5M1.5 2h0M0 0L0.1 0.1H3V-1.2V4L0 0h18");
}

TEST(Svg, ElementsNestAttributesAreEscapedAndFinishClosesTheRest)
{
    svg::Writer w;
    w.Begin(100.25, 50, {{"font-size", 11}}).EndLine();
    w.Open("g", {{"id", "a\"b"}});
    w.Empty("rect", {{"x", -1.04}, {"width", "100%"}});
    w.Element("title", {}, "x<y").Close().EndLine();
    w.Open("text").Markup("&#176;").Open("tspan");
    EXPECT_EQ(w.Finish(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100.3\" height=\"50\" "
                          "viewBox=\"0 0 100.3 50\" font-size=\"11\">\n"
                          "<g id=\"a&quot;b\"><rect x=\"-1\" width=\"100%\"/><title>x&lt;y</title></g>\n"
                          "<text>&#176;<tspan></tspan>\n</text>\n</svg>\n");
}

} // namespace
