// A small writer of SVG documents: elements with attributes, character data escaped for XML, and the d
// attribute of paths. Positions and lengths are written in tenths of a pixel, without a fraction when
// whole ("12", "12.5", "-0.3"): finer than any screen shows, and equal drawings give equal files.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace svg {

// A position or length rounded to tenths of a pixel, for drawings that compare points after rounding.
struct Tenths {
    long value = 0;

    static Tenths Of(double px);
    Tenths operator+(Tenths other) const { return {value + other.value}; }
    auto operator<=>(const Tenths&) const = default;
};

// `px` as written in a document.
std::string Number(double px);
void AppendNumber(std::string& out, Tenths t);

// `text` as XML character data or attribute value: the markup characters as entities, a carriage return
// dropped, and the other control characters but line feed and tab, which XML has no place for, as spaces.
void AppendEscaped(std::string& out, std::string_view text);

// The d attribute of a path. Consecutive LineTo share one L, as a polyline's points.
class PathData {
public:
    PathData& MoveTo(double x, double y) { return MoveTo(Tenths::Of(x), Tenths::Of(y)); }
    PathData& MoveTo(Tenths x, Tenths y);
    PathData& LineTo(Tenths x, Tenths y);
    PathData& HorizontalTo(double x) { return HorizontalTo(Tenths::Of(x)); }
    PathData& HorizontalTo(Tenths x);
    PathData& VerticalTo(double y) { return VerticalTo(Tenths::Of(y)); }
    PathData& VerticalTo(Tenths y);
    PathData& HorizontalBy(double dx);

    bool empty() const { return d_.empty(); }
    const std::string& str() const { return d_; }

private:
    PathData& Command(char command);

    std::string d_;
    char last_ = 0;
};

// An attribute: a number (in pixels, written in tenths) or text (escaped). It refers to its name and text,
// so it is made for the one call that writes it.
class Attribute {
public:
    Attribute(std::string_view name, double px) : name_(name), number_(px), is_number_(true) {}
    Attribute(std::string_view name, std::string_view text) : name_(name), text_(text) {}
    Attribute(std::string_view name, const PathData& d) : name_(name), text_(d.str()) {}

    void AppendTo(std::string& out) const;

private:
    std::string_view name_;
    std::string_view text_;
    double number_ = 0;
    bool is_number_ = false;
};

using Attributes = std::initializer_list<Attribute>;

// Writes a document front to back. Nothing is indented; the caller ends the lines where it wants them.
class Writer {
public:
    // The XML declaration and the root svg element in its namespace, `width` by `height` pixels with a
    // view box to match, left open.
    Writer& Begin(double width, double height, Attributes attributes);
    // <name ...>, closed by the matching Close.
    Writer& Open(std::string_view name, Attributes attributes = {});
    // </name> of the innermost open element.
    Writer& Close();
    // <name .../>
    Writer& Empty(std::string_view name, Attributes attributes);
    // <name ...>text</name>, the text escaped.
    Writer& Element(std::string_view name, Attributes attributes, std::string_view text);
    // Escaped character data.
    Writer& Text(std::string_view text);
    // Text that is markup already, such as a character reference or a style sheet.
    Writer& Markup(std::string_view xml);
    Writer& EndLine();

    // Closes what is still open, each followed by a line end, and hands the document over.
    std::string Finish();

private:
    void Tag(std::string_view name, Attributes attributes);

    std::string out_;
    std::vector<std::string> open_; // innermost last
};

} // namespace svg
