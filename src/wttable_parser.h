/* One-pass converter from wiki table markup to HTML. */
#ifndef WTTABLE_PARSER_H
#define WTTABLE_PARSER_H

#include <stddef.h>
#include <stdint.h>

#include "wt_buffer.h"
#include "wt_markup_rules.h"
#include "wt_stage1.h"

#define WTTABLE_TAG_MAX 16 /* tag name of the open cell, with its NUL */

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

/* The window of text whose bytes the first stage has classified: the masks
 * of each 64-byte block, as in wt_stage1.h.  Each array keeps a zero word
 * in front of the window and two behind it, so that the 64 bits around any
 * position inside can be read without bounds tests. */
#define WTTABLE_INDEX_BLOCKS 64 /* 4 KiB: lines longer than that take the plain way */
#define WTTABLE_INDEX_WORDS (WTTABLE_INDEX_BLOCKS + 3)

struct wttable_index {
    const char *base; /* first byte of the window, 64-byte steps from the text */
    size_t len;       /* bytes in the window */
    int at_text_end;  /* the window ends where the text does */
    uint64_t line_feed[WTTABLE_INDEX_WORDS];
    uint64_t bar[WTTABLE_INDEX_WORDS];
    uint64_t space[WTTABLE_INDEX_WORDS];
    uint64_t guard[WTTABLE_INDEX_WORDS]; /* the first byte of each "[[" and "-{" */
    /* Header lines: the bars after each "!!" became "||", valid where no
     * "!!!" is; and the first byte of each "!!!". */
    uint64_t header_bar[WTTABLE_INDEX_WORDS];
    uint64_t bang_runs[WTTABLE_INDEX_WORDS];
    uint64_t bang[WTTABLE_INDEX_WORDS]; /* "!", for the two rows above */
    size_t blocks;                      /* classified blocks in the window */
    int headers_ready;                  /* the two header rows are made */
};

/* Work area of one conversion: lives on the caller's stack (about 90 KiB)
 * and is never cleared as a whole; each part is set up before it is read. */
struct wttable_ctx {
    int depth;
    wttable_frame frames[WTTABLE_MAX_DEPTH];
    wttable_span spans[WTTABLE_MAX_CELLS];
    char scratch[WTTABLE_LINE_MAX];
    wttable_index index;
};

/* Appends the HTML of `text` to `buf`.  A non-zero `tables_only` writes the
 * tables only; 0 copies every line outside the tables as well.  Returns 1 on
 * success, 0 for a null buffer, at a 65th nested table, or when the buffer
 * cannot grow; after a 0 the buffer holds an unfinished prefix.  A null text
 * gives 1 and leaves the buffer as it was. */
int wttable_parse_to_html(const char *text, wt_buf *buf, int tables_only);

#endif
