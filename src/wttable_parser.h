/* One-pass converter from wiki table markup to HTML, and the detector that
 * tells whether a text holds any table at all. */
#ifndef WTTABLE_PARSER_H
#define WTTABLE_PARSER_H

#include <stddef.h>

#include "wt_buffer.h"

#define WTTABLE_MAX_DEPTH 64   /* open tables at once */
#define WTTABLE_MAX_CELLS 256  /* cells kept from one markup line */
#define WTTABLE_LINE_MAX 16384 /* cell text of one markup line, with its NUL */
#define WTTABLE_ATTR_MAX 1024  /* pending row attributes: SPACE, 1022 bytes, NUL */
#define WTTABLE_TAG_MAX 16     /* tag name of the open cell, with its NUL */

/* One cell's text inside wttable_ctx.scratch. */
struct wttable_span {
    const char *start;
    size_t len;
};

/* The state of one open table. */
struct wttable_frame {
    int cell_open;                   /* a caption or cell still needs its end tag */
    char cell_tag[WTTABLE_TAG_MAX];  /* "td", "th" or "caption" */
    int row_open;                    /* "<tr>" written, "</tr>" not yet */
    char row_attrs[WTTABLE_ATTR_MAX]; /* "" or " " + attributes for the next row */
    int has_rows;                    /* decides the filler row at the table's end */
    size_t indent;                   /* colons in front of "{|" */
};

/* Work area of one conversion: lives on the caller's stack (about 86 KiB)
 * and is never cleared as a whole; each part is set up before it is read. */
struct wttable_ctx {
    int depth;
    wttable_frame frames[WTTABLE_MAX_DEPTH];
    wttable_span spans[WTTABLE_MAX_CELLS];
    char scratch[WTTABLE_LINE_MAX];
};

/* TAB, LF, CR and SPACE; nothing else is whitespace to the markup. */
static inline int wt_is_space(unsigned char c)
{
    /* Bits 9, 10, 13 and 32. */
    return c <= ' ' && ((0x100002600ULL >> c) & 1) != 0;
}

/* Appends the HTML of `text` to `buf`.  A non-zero `tables_only` writes the
 * tables only; 0 copies every line outside the tables as well.  Returns 1 on
 * success, 0 for a null buffer, at a 65th nested table, or when the buffer
 * cannot grow; after a 0 the buffer holds an unfinished prefix.  A null text
 * gives 1 and leaves the buffer as it was. */
int wttable_parse_to_html(const char *text, wt_buf *buf, int tables_only);

/* 1 if some line of `text` is a table start line (whitespace, colons,
 * whitespace, "{|"), else 0; a null text gives 0.  Reads only as far as the
 * first such line. */
int wttable_detect_has_tables(const char *text);

#endif
