/* The one walk over the lines of a text, classified by the converter's own
 * rules (wt_markup_rules.h): table start and end lines, markup lines,
 * nesting depth.  The table model is built on it, and through it come what
 * the programs say about a text without changing the library's output:
 * warnings for the converter's silent cuts, the line of a nesting failure,
 * the split of a text into its top-level tables, the raw-page preparation's
 * lone markers. */
#ifndef WT_MARKUP_H
#define WT_MARKUP_H

#include <stddef.h>

#include "wt_markup_rules.h"

#ifdef __cplusplus
extern "C" {
#endif

enum wt_line_kind {
    WT_LINE_OUTSIDE,      /* outside every table, blank lines included */
    WT_LINE_TABLE_START,  /* "{|", behind optional colons */
    WT_LINE_TABLE_END,    /* "|}" inside a table */
    WT_LINE_MARKUP,       /* "|-", "|+", "|" or "!" inside a table */
    WT_LINE_OTHER         /* blank or continuation line inside a table */
};

struct wt_line {
    const char *start;   /* the raw line: no LF, no final CR */
    size_t len;
    const char *trimmed; /* the line less its leading and trailing whitespace */
    size_t trimmed_len;
    size_t number;       /* 1-based */
    enum wt_line_kind kind;
    int depth;           /* open tables before the line */
    int too_deep;        /* a table start line while 64 tables are open */
};

struct wt_line_walk {
    const char *base;
    const char *p;
    const char *end;
    size_t number;
    int depth;
};

void wt_line_walk_init(struct wt_line_walk *walk, const char *text, size_t len);

/* The next line, or 0 at the end of the text.  A too-deep table start line
 * leaves the depth at 64, as the converter stops there. */
int wt_line_walk_next(struct wt_line_walk *walk, struct wt_line *line);

/* One top-level table: its lines from the start line through the matching
 * end line (or the end of the text), nested tables inside. */
struct wt_table_span {
    size_t start;  /* offset of the start line's first byte */
    size_t end;    /* offset of the LF behind the last line, or the text's length */
    size_t line;   /* 1-based number of the start line */
};

/* The next top-level table of the walk, or 0 when there is none.  Returns -1
 * at a table start line beyond the nesting limit, where the converter fails. */
int wt_next_table(struct wt_line_walk *walk, struct wt_table_span *span);

/* What the converter silently drops from one markup line. */
struct wt_cuts {
    size_t cells;      /* pieces of the kept cell text; above 256 some were dropped */
    size_t cell_text;  /* bytes of cell text before the cut at 16383 */
    size_t row_attrs;  /* bytes of row attributes before the cut at 1022 */
};

/* A header line's cell text as the converter keeps it: "!!" becomes "||",
 * and a unit that no longer fits in 16383 bytes is dropped while the walk
 * goes on.  Returns the kept length; *wanted gets the length without the
 * cut. */
size_t wt_header_cell_text(const char *rest, size_t n, char *out, size_t *wanted);

/* Fills `cuts` for a markup line; returns 1 when something is dropped. */
int wt_markup_cuts(const struct wt_line *line, struct wt_cuts *cuts);

/* The 1-based line of the table start line that exceeds the nesting limit,
 * or 0 when there is none. */
size_t wt_too_deep_line(const char *text, size_t len);

#ifdef __cplusplus
}
#endif

#endif
