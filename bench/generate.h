// Deterministic inputs for the benchmark: article-like texts with and
// without tables, and texts that stress one rule each.
#ifndef WTTABLE_BENCH_GENERATE_H
#define WTTABLE_BENCH_GENERATE_H

#include <stdint.h>

#include <string>

class TextGenerator {
public:
    explicit TextGenerator(uint64_t seed) : state_(seed * 2654435761u + 1) {}

    // Only tables: header rows, "!!" and "||" lines, captions, row and cell
    // attributes, links, indented and nested tables, some CRLF lines.
    std::string tables(size_t bytes);
    // Article material (headings, prose, lists, infobox lines starting with
    // "|" outside any table) with tables making up about a third.
    std::string mixed(size_t bytes);
    // The same article material with no table at all.
    std::string prose(size_t bytes);

private:
    uint64_t next();
    size_t below(size_t n) { return (size_t)(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    void words(std::string &out, size_t lo, size_t hi);
    void inline_text(std::string &out);
    void cell_attrs(std::string &out);
    void table(std::string &out, int depth);
    void article_block(std::string &out);
    void eol(std::string &out) { out += crlf_ ? "\r\n" : "\n"; }

    uint64_t state_;
    bool crlf_ = false;
};

#endif
