#include "generate.h"

static const char *const k_words[] = {
    "the", "of", "and", "in", "was", "city", "team", "season", "album", "river", "north",
    "population", "league", "station", "record", "between", "known", "school", "church",
    "district", "Zürich", "Kraków", "Ελλάδα", "Москва", "東京", "café", "naïve", "São",
    "München", "Łódź", "smörgåsbord", "résumé", "100%", "3–5", "which", "after"};
static const char *const k_places[] = {"Riga", "Cork", "Oulu", "Bergen", "Faro", "Tartu",
                                       "Graz", "Kassel", "Lund", "Évora", "Ísafjörður"};
static const char *const k_colours[] = {"#f2f2f2", "#ccccff", "#ddffdd", "silver", "#eeeeee"};
static const char *const k_list_marks[] = {"*", "**", "#", ":", ";"};

template <size_t N> static const char *pick(const char *const (&list)[N], size_t i)
{
    return list[i % N];
}

uint64_t TextGenerator::next()
{
    // xorshift64*: fast, and the same bytes on every platform.
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ULL;
}

void TextGenerator::words(std::string &out, size_t lo, size_t hi)
{
    size_t n = lo + below(hi - lo + 1);
    for (size_t i = 0; i < n; i++) {
        if (i)
            out += ' ';
        out += pick(k_words, below(1000));
    }
}

void TextGenerator::inline_text(std::string &out)
{
    size_t parts = 1 + below(4);
    for (size_t i = 0; i < parts; i++) {
        if (i)
            out += ' ';
        unsigned k = (unsigned)below(100);
        const char *place = pick(k_places, below(1000));
        if (k < 25) {
            out += "[[";
            out += place;
            if (chance(50)) {
                out += '|';
                words(out, 1, 2);
            }
            out += "]]";
        } else if (k < 32) {
            out += "'''";
            words(out, 1, 2);
            out += "'''";
        } else if (k < 36) {
            out += "{{flag|";
            out += place;
            out += "}}";
        } else if (k < 39) {
            out += "<ref>";
            words(out, 2, 4);
            out += "</ref>";
        } else {
            words(out, 1, 4);
        }
    }
}

void TextGenerator::cell_attrs(std::string &out)
{
    unsigned k = (unsigned)below(4);
    if (k == 0)
        out += "align=\"right\"";
    else if (k == 1)
        out += std::string("style=\"background:") + pick(k_colours, below(1000)) + ";\"";
    else if (k == 2)
        out += "colspan=\"" + std::to_string(2 + below(3)) + "\"";
    else
        out += std::string("bgcolor=") + pick(k_colours, below(1000)) + " width=\"" +
               std::to_string(5 + below(36)) + "%\"";
}

void TextGenerator::table(std::string &out, int depth)
{
    crlf_ = depth == 0 && chance(10);
    if (depth == 0 && chance(8))
        out += ':';
    out += chance(70) ? "{| class=\"wikitable\" style=\"width:100%\"" : "{|";
    eol(out);
    if (chance(40)) {
        out += "|+ ";
        inline_text(out);
        eol(out);
    }
    size_t columns = 2 + below(5);
    if (chance(85)) {
        out += "! ";
        for (size_t c = 0; c < columns; c++) {
            if (c)
                out += chance(80) ? " !! " : " || ";
            if (chance(20)) {
                out += "scope=\"col\" | ";
            }
            words(out, 1, 3);
        }
        eol(out);
    }
    size_t rows = 3 + below(12);
    for (size_t r = 0; r < rows; r++) {
        if (chance(30))
            out += std::string("|- style=\"background:") + pick(k_colours, below(1000)) + ";\"";
        else
            out += "|-";
        eol(out);
        if (chance(20)) {
            out += "! scope=\"row\" | ";
            inline_text(out);
            eol(out);
        }
        bool one_line = chance(50);
        for (size_t c = 0; c < columns; c++) {
            if (!one_line || c == 0)
                out += "| ";
            else
                out += " || ";
            if (chance(25)) {
                cell_attrs(out);
                out += " | ";
            }
            if (chance(60))
                inline_text(out);
            else
                out += std::to_string(below(1000000)) + "." + std::to_string(below(100));
            if (!one_line)
                eol(out);
        }
        if (one_line)
            eol(out);
        if (depth < 2 && chance(3)) {
            out += "| ";
            eol(out);
            table(out, depth + 1);
        }
    }
    out += "|}";
    eol(out);
    crlf_ = false;
}

void TextGenerator::article_block(std::string &out)
{
    unsigned k = (unsigned)below(100);
    if (k < 15) {
        out += "== ";
        words(out, 1, 3);
        out += " ==\n";
    } else if (k < 65) {
        size_t sentences = 2 + below(6);
        for (size_t i = 0; i < sentences; i++) {
            if (i)
                out += ' ';
            inline_text(out);
            out += '.';
        }
        out += "\n\n";
    } else if (k < 80) {
        size_t items = 2 + below(5);
        for (size_t i = 0; i < items; i++) {
            out += pick(k_list_marks, below(1000));
            out += ' ';
            inline_text(out);
            out += '\n';
        }
    } else {
        // An infobox: "|" lines outside any table.
        out += "{{Infobox settlement\n";
        size_t fields = 3 + below(6);
        for (size_t i = 0; i < fields; i++) {
            out += "| ";
            words(out, 1, 1);
            out += " = ";
            inline_text(out);
            out += '\n';
        }
        out += "}}\n";
    }
}

std::string TextGenerator::tables(size_t bytes)
{
    std::string out;
    out.reserve(bytes + 4096);
    while (out.size() < bytes)
        table(out, 0);
    return out;
}

std::string TextGenerator::mixed(size_t bytes)
{
    std::string out;
    out.reserve(bytes + 4096);
    size_t table_bytes = 0;
    while (out.size() < bytes) {
        if (table_bytes * 100 < out.size() * 37) {
            size_t before = out.size();
            table(out, 0);
            table_bytes += out.size() - before;
        } else {
            article_block(out);
        }
    }
    return out;
}

std::string TextGenerator::prose(size_t bytes)
{
    std::string out;
    out.reserve(bytes + 4096);
    while (out.size() < bytes)
        article_block(out);
    return out;
}
