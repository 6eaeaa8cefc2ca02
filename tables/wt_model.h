/* The table model: one walk over a text by the converter's own rules
 * (wt_markup_rules.h) that records every table, nested ones included, with
 * its rows and cells, and the events of the walk in document order.
 * Replaying the events over the model (wt_model_html) gives the library's
 * HTML byte for byte: that is how the tests know the model and the
 * converter agree. */
#ifndef WT_MODEL_H
#define WT_MODEL_H

#include <stddef.h>

#include "wt_bytes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WTM_NONE ((size_t)-1)

enum wtm_kind { WTM_CAPTION, WTM_DATA, WTM_HEADER };

/* Bytes in the model's arena. */
struct wtm_str {
    size_t off, len;
};

/* What follows a cell's first line while it is open: a continuation line
 * (after an LF), a blank line (an LF), or a nested table. */
enum wtm_seg_kind { WTM_SEG_LINE, WTM_SEG_BLANK, WTM_SEG_TABLE };

struct wtm_seg {
    unsigned char kind;
    struct wtm_str text; /* the raw line, for WTM_SEG_LINE */
    size_t table;        /* for WTM_SEG_TABLE */
    size_t next;         /* the next segment of the cell, or WTM_NONE */
};

struct wtm_cell {
    unsigned char kind;     /* enum wtm_kind */
    unsigned char has_attrs;
    size_t row;             /* index in the table's rows; WTM_NONE for a caption */
    struct wtm_str attrs;   /* trimmed */
    struct wtm_str content; /* the piece's content, trimmed */
    size_t first_seg, last_seg;
    size_t line;            /* 1-based line of its markup line */
    size_t source;          /* offset of that line in the text */
};

struct wtm_row {
    struct wtm_str attrs; /* as the start tag holds them: "" or " " and the attributes */
    size_t line;
};

struct wtm_table {
    size_t parent;      /* the table whose cell holds it, or WTM_NONE */
    size_t parent_cell; /* that cell, or WTM_NONE */
    size_t indent;      /* colons before "{|" */
    struct wtm_str attrs;
    size_t line;
    size_t source;
    int cut;            /* the converter's silent cuts touched it */
    struct wtm_str section; /* the headings above it, each NUL-ended, outermost first */
    size_t section_count;
    struct wtm_cell *cells;
    size_t cell_count, cell_cap;
    struct wtm_row *rows;
    size_t row_count, row_cap;
};

enum wtm_event_kind {
    WTM_EV_OUTSIDE, /* a line outside every table: `text` is its output */
    WTM_EV_OPEN,    /* table `table` starts */
    WTM_EV_ROW,     /* a row line: `text` is its kept attributes */
    WTM_EV_CELLS,   /* a cell line: cells `first` .. `first + count - 1` of `table` */
    WTM_EV_TEXT,    /* a continuation line: `text` the raw line */
    WTM_EV_BLANK,   /* a blank line inside a table */
    WTM_EV_END      /* "|}": `text` the trailing text */
};

struct wtm_event {
    unsigned char kind;
    size_t table;
    size_t first, count;
    struct wtm_str text;
};

struct wt_model {
    const char *text;
    size_t len;
    struct wt_bytes arena;
    struct wtm_table *tables;
    size_t table_count, table_cap;
    struct wtm_event *events;
    size_t event_count, event_cap;
    struct wtm_seg *segs;
    size_t seg_count, seg_cap;
    size_t too_deep_line; /* a 65th nested table start: the converter fails here */
    int no_memory;
};

void wt_model_init(struct wt_model *m);
void wt_model_free(struct wt_model *m);

/* Walks `len` bytes of `text`.  Returns 1, or 0 when memory ran out. */
int wt_model_build(struct wt_model *m, const char *text, size_t len);

static inline const char *wtm_bytes(const struct wt_model *m, struct wtm_str s)
{
    return m->arena.data + s.off;
}

/* The HTML of the walked text, as wttable_to_html (tables_only) or
 * wttable_document_to_html gives it, into `out`.  Returns 0 when memory ran
 * out, or when the converter would fail (too deep). */
int wt_model_html(const struct wt_model *m, int tables_only, struct wt_bytes *out);

#ifdef __cplusplus
}
#endif

#endif
