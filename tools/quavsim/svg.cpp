#include "svg.h"

#include <cmath>

namespace svg {

Tenths Tenths::Of(double px)
{
    return {std::lround(px * 10)};
}

void AppendNumber(std::string& out, Tenths t)
{
    long tenths = t.value;
    if (tenths < 0) {
        out += '-';
        tenths = -tenths;
    }
    out += std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        out += '.';
        out += static_cast<char>('0' + tenths % 10);
    }
}

std::string Number(double px)
{
    std::string text;
    AppendNumber(text, Tenths::Of(px));
    return text;
}

void AppendEscaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\r':
                break;
            default:
                out += static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' ? ' ' : c;
        }
    }
}

// --- PathData ---

PathData& PathData::Command(char command)
{
    d_ += command;
    last_ = command;
    return *this;
}

PathData& PathData::MoveTo(Tenths x, Tenths y)
{
    Command('M');
    AppendNumber(d_, x);
    d_ += ' ';
    AppendNumber(d_, y);
    return *this;
}

PathData& PathData::LineTo(Tenths x, Tenths y)
{
    if (last_ == 'L') {
        d_ += ' ';
    } else {
        Command('L');
    }
    AppendNumber(d_, x);
    d_ += ' ';
    AppendNumber(d_, y);
    return *this;
}

PathData& PathData::HorizontalTo(Tenths x)
{
    Command('H');
    AppendNumber(d_, x);
    return *this;
}

PathData& PathData::VerticalTo(Tenths y)
{
    Command('V');
    AppendNumber(d_, y);
    return *this;
}

PathData& PathData::HorizontalBy(double dx)
{
    Command('h');
    AppendNumber(d_, Tenths::Of(dx));
    return *this;
}

// --- Writer ---

void Attribute::AppendTo(std::string& out) const
{
    out += ' ';
    out += name_;
    out += "=\"";
    if (is_number_) {
        AppendNumber(out, Tenths::Of(number_));
    } else {
        AppendEscaped(out, text_);
    }
    out += '"';
}

void Writer::Tag(std::string_view name, Attributes attributes)
{
    out_ += '<';
    out_ += name;
    for (const Attribute& attribute : attributes) {
        attribute.AppendTo(out_);
    }
}

Writer& Writer::Begin(double width, double height, Attributes attributes)
{
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string view_box = "0 0 " + Number(width) + " " + Number(height);
    Tag("svg", {{"xmlns", "http://www.w3.org/2000/svg"},
                {"width", width},
                {"height", height},
                {"viewBox", view_box}});
    for (const Attribute& attribute : attributes) {
        attribute.AppendTo(out_);
    }
    out_ += '>';
    open_.emplace_back("svg");
    return *this;
}

Writer& Writer::Open(std::string_view name, Attributes attributes)
{
    Tag(name, attributes);
    out_ += '>';
    open_.emplace_back(name);
    return *this;
}

Writer& Writer::Close()
{
    out_ += "</";
    out_ += open_.back();
    out_ += '>';
    open_.pop_back();
    return *this;
}

Writer& Writer::Empty(std::string_view name, Attributes attributes)
{
    Tag(name, attributes);
    out_ += "/>";
    return *this;
}

Writer& Writer::Element(std::string_view name, Attributes attributes, std::string_view text)
{
    return Open(name, attributes).Text(text).Close();
}

Writer& Writer::Text(std::string_view text)
{
    AppendEscaped(out_, text);
    return *this;
}

Writer& Writer::Markup(std::string_view xml)
{
    out_ += xml;
    return *this;
}

Writer& Writer::EndLine()
{
    out_ += '\n';
    return *this;
}

std::string Writer::Finish()
{
    while (!open_.empty()) {
        Close().EndLine();
    }
    return std::move(out_);
}

} // namespace svg
