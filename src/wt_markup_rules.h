/* The rules of table markup, in one place: the converter's byte walk and its
 * window path, the detector and the programs' line walk all read lines
 * through these, so they cannot disagree.  (The reference parser in tests/
 * is written apart from them on purpose: it is the oracle.)
 *
 * Plain C, so that the programs compile it too; nothing here is exported
 * from the library. */
#ifndef WT_MARKUP_RULES_H
#define WT_MARKUP_RULES_H

#include <stddef.h>

/* ---- limits ------------------------------------------------------------- */

#define WTTABLE_MAX_DEPTH 64   /* open tables at once; a 65th start line fails */
#define WTTABLE_MAX_CELLS 256  /* cells kept from one markup line */
#define WTTABLE_LINE_MAX 16384 /* cell text of one markup line, with its NUL */
#define WTTABLE_ATTR_MAX 1024  /* pending row attributes: SPACE, 1022 bytes, NUL */

/* What the silent cuts keep, in the units the programs' warnings name. */
#define WTTABLE_CELL_TEXT_KEPT (WTTABLE_LINE_MAX - 1) /* bytes of cell text */
#define WTTABLE_ROW_ATTRS_KEPT (WTTABLE_ATTR_MAX - 2) /* bytes of row attributes */

/* The error text of a failed wttable_to_html, the nesting limit being the
 * only way it fails. */
#define WTTABLE_TABLES_FAILED "Failed to parse table markup"
#define WTTABLE_DOCUMENT_FAILED "Failed to parse document tables"

/* ---- bytes -------------------------------------------------------------- */

/* TAB, LF, CR and SPACE; nothing else is whitespace to the markup. */
static inline int wt_is_space(unsigned char c)
{
    /* Bits 9, 10, 13 and 32. */
    return c <= ' ' && ((0x100002600ULL >> c) & 1) != 0;
}

/* [p, end) less its leading whitespace. */
static inline const char *wt_skip_space(const char *p, const char *end)
{
    while (p < end && wt_is_space((unsigned char)*p))
        p++;
    return p;
}

/* [start, end) less its trailing whitespace: the new end. */
static inline const char *wt_trim_end(const char *start, const char *end)
{
    while (end > start && wt_is_space((unsigned char)end[-1]))
        end--;
    return end;
}

/* A "|" in a cell separates its attributes from its content unless one of
 * these pairs lies wholly before it: the "[[" of a link or the "-{" of a
 * language variant. */
enum {
    WT_GUARD_LINK_FIRST = '[',
    WT_GUARD_LINK_SECOND = '[',
    WT_GUARD_VARIANT_FIRST = '-',
    WT_GUARD_VARIANT_SECOND = '{'
};

static inline int wt_is_guard_pair(char first, char second)
{
    return (first == WT_GUARD_LINK_FIRST && second == WT_GUARD_LINK_SECOND) ||
           (first == WT_GUARD_VARIANT_FIRST && second == WT_GUARD_VARIANT_SECOND);
}

/* In a header line "!!", paired from the left, separates cells as "||"
 * does: whether bytes i and i+1 of the n at p are such a pair. */
static inline int wt_is_bang_pair(const char *p, size_t i, size_t n)
{
    return p[i] == '!' && i + 1 < n && p[i + 1] == '!';
}

/* ---- lines -------------------------------------------------------------- */

/* Colons, then only SPACE or TAB, then "{|", on a trimmed line.  On a match
 * gives the colon count and the first byte behind "{|". */
static inline int wt_table_start(const char *line, const char *end, size_t *colons,
                                 const char **after)
{
    const char *p = line;
    while (p < end && *p == ':')
        p++;
    size_t count = (size_t)(p - line);
    while (p < end && (*p == ' ' || *p == '\t'))
        p++;
    if (end - p < 2 || p[0] != '{' || p[1] != '|')
        return 0;
    *colons = count;
    *after = p + 2;
    return 1;
}

/* What a trimmed, non-empty line inside a table is, by its first bytes.  A
 * marker alone on its line ("|", "!", "|+") has no effect, except "|-". */
enum wt_marker {
    WT_MARK_NONE,      /* a continuation of the open cell's text */
    WT_MARK_ALONE,     /* "|", "!" or "|+" and nothing else */
    WT_MARK_TABLE_END, /* "|}" */
    WT_MARK_ROW,       /* "|-", continued by any "|" and "-" */
    WT_MARK_CAPTION,   /* "|+" */
    WT_MARK_DATA,      /* "|" */
    WT_MARK_HEADER     /* "!" */
};

static inline enum wt_marker wt_marker_of(const char *line, size_t n)
{
    if (line[0] == '|') {
        if (n == 1)
            return WT_MARK_ALONE;
        switch (line[1]) {
        case '}': return WT_MARK_TABLE_END;
        case '-': return WT_MARK_ROW;
        case '+': return n == 2 ? WT_MARK_ALONE : WT_MARK_CAPTION;
        default: return WT_MARK_DATA;
        }
    }
    if (line[0] == '!')
        return n == 1 ? WT_MARK_ALONE : WT_MARK_HEADER;
    return WT_MARK_NONE;
}

/* Bytes of the marker itself, before the cell text or attributes. */
static inline size_t wt_marker_len(enum wt_marker marker)
{
    return marker == WT_MARK_DATA || marker == WT_MARK_HEADER ? 1 : 2;
}

/* The row marker goes on over any "|" and "-" ("|----", "|-|-"). */
static inline int wt_continues_row_marker(char c)
{
    return c == '|' || c == '-';
}

#endif
