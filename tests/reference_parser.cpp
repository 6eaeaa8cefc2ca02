#include "reference_parser.h"

#include <string.h>

#include <vector>

namespace {

struct Frame {
    bool cell_open = false;
    std::string tag;
    bool row_open = false;
    std::string row_attrs; // without the leading SPACE
    bool has_rows = false;
    size_t indent = 0;
};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string trim(const std::string &s)
{
    size_t a = 0, b = s.size();
    while (a < b && is_space(s[a]))
        a++;
    while (b > a && is_space(s[b - 1]))
        b--;
    return s.substr(a, b - a);
}

std::string trim_left(const std::string &s)
{
    size_t a = 0;
    while (a < s.size() && is_space(s[a]))
        a++;
    return s.substr(a);
}

std::string repeat(const char *unit, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; i++)
        out += unit;
    return out;
}

// Colons, then SPACE or TAB only, then "{|"; gives the colon count and
// what stands behind "{|".
bool table_start(const std::string &line, size_t *colons, std::string *after)
{
    size_t i = 0;
    while (i < line.size() && line[i] == ':')
        i++;
    size_t count = i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        i++;
    if (line.compare(i, 2, "{|") != 0)
        return false;
    *colons = count;
    *after = line.substr(i + 2);
    return true;
}

std::string header_cell_text(const std::string &rest)
{
    std::string out;
    for (size_t i = 0; i < rest.size();) {
        if (rest[i] == '!' && i + 1 < rest.size() && rest[i + 1] == '!') {
            if (out.size() + 2 <= 16383)
                out += "||";
            i += 2;
        } else {
            if (out.size() + 1 <= 16383)
                out += rest[i];
            i += 1;
        }
    }
    return out;
}

std::vector<std::string> pieces_of(const std::string &text)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t sep = text.find("||", start);
        if (sep == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, sep - start));
        if (pieces.size() == 256)
            break;
        start = sep + 2;
        if (start == text.size())
            break;
    }
    return pieces;
}

void start_tag_and_content(std::string &out, const std::string &tag, const std::string &piece)
{
    if (piece.empty()) {
        out += "<" + tag + ">";
        return;
    }
    size_t bar = piece.find('|');
    bool guarded = false;
    for (size_t i = 0; bar != std::string::npos && i + 1 < bar; i++) {
        if ((piece[i] == '[' && piece[i + 1] == '[') || (piece[i] == '-' && piece[i + 1] == '{'))
            guarded = true;
    }
    if (bar == std::string::npos || guarded) {
        out += "<" + tag + ">" + trim(piece);
        return;
    }
    std::string attrs = trim(piece.substr(0, bar));
    std::string content = trim(piece.substr(bar + 1));
    out += attrs.empty() ? "<" + tag + ">" : "<" + tag + " " + attrs + ">";
    out += content;
}

void row_line(std::string &out, Frame &f, const std::string &line)
{
    size_t i = 0;
    while (i < line.size() && (line[i] == '|' || line[i] == '-'))
        i++;
    std::string attrs = trim_left(line.substr(i));
    f.row_attrs = attrs.substr(0, 1022);
    if (f.cell_open) {
        out += "</" + f.tag + ">";
        f.cell_open = false;
        f.tag.clear();
    }
    if (f.row_open) {
        out += "</tr>\n";
        f.row_open = false;
    }
    f.has_rows = true;
}

void cell_line(std::string &out, Frame &f, char kind, const std::string &rest)
{
    std::string text = kind == '!' ? header_cell_text(rest) : rest.substr(0, 16383);
    if (text.empty())
        return;
    std::vector<std::string> pieces = pieces_of(text);
    for (size_t i = 0; i < pieces.size(); i++) {
        if (f.cell_open) {
            out += "</" + f.tag + (i == 0 ? ">\n" : ">");
            f.cell_open = false;
        }
        if (kind == '+') {
            f.tag = "caption";
        } else {
            if (!f.row_open) {
                out += f.row_attrs.empty() ? "<tr>\n" : "<tr " + f.row_attrs + ">\n";
                f.row_attrs.clear();
                f.row_open = true;
                f.has_rows = true;
            }
            f.tag = kind == '!' ? "th" : "td";
        }
        f.cell_open = true;
        start_tag_and_content(out, f.tag, pieces[i]);
    }
}

void close_body(std::string &out, Frame &f)
{
    if (f.cell_open)
        out += "</" + f.tag + ">";
    if (f.row_open)
        out += "</tr>\n";
    if (!f.has_rows)
        out += "<tr><td></td></tr>\n";
}

}  // namespace

bool reference_convert(const char *text, bool tables_only, std::string *html)
{
    std::string out;
    std::vector<Frame> frames;
    std::string all(text, strlen(text));
    size_t at = 0;
    while (at < all.size()) {
        size_t lf = all.find('\n', at);
        std::string line = all.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        at = lf == std::string::npos ? all.size() : lf + 1;
        std::string raw = line;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        std::string t = trim(raw);
        size_t colons = 0;
        std::string after;

        if (t.empty()) {
            if (frames.empty() ? !tables_only : frames.back().cell_open)
                out += "\n";
        } else if (table_start(t, &colons, &after)) {
            if (frames.size() == 64) {
                *html = out;
                return false;
            }
            frames.push_back(Frame());
            frames.back().indent = colons;
            out += repeat("<dl><dd>", colons);
            std::string attrs = trim_left(after);
            out += attrs.empty() ? "<table>\n" : "<table " + attrs + ">\n";
        } else if (frames.empty()) {
            if (!tables_only)
                out += raw + "\n";
        } else if (t.compare(0, 2, "|}") == 0) {
            Frame &f = frames.back();
            std::string trailing = trim_left(t.substr(2));
            close_body(out, f);
            out += "</table>";
            if (!trailing.empty())
                out += " " + trailing;
            out += repeat("</dd></dl>", f.indent) + "\n";
            frames.pop_back();
        } else if (t.compare(0, 2, "|-") == 0) {
            row_line(out, frames.back(), t);
        } else if (t.compare(0, 2, "|+") == 0) {
            cell_line(out, frames.back(), '+', t.substr(2));
        } else if (t[0] == '|' || t[0] == '!') {
            cell_line(out, frames.back(), t[0], t.substr(1));
        } else {
            if (frames.back().cell_open)
                out += "\n";
            out += raw;
        }
    }
    while (!frames.empty()) {
        Frame &f = frames.back();
        close_body(out, f);
        out += "</table>\n";
        if (f.indent > 0)
            out += repeat("</dd></dl>", f.indent) + "\n";
        frames.pop_back();
    }
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    *html = out;
    return true;
}
