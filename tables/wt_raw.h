/* Preparation of raw wiki pages for the converter, which is made for text in
 * which templates are already expanded:
 * 1. comments ("<!--" through "-->", or to the end) are removed;
 * 2. every "|" and "!" inside <nowiki>, <pre>, <math>, <syntaxhighlight> and
 *    <source> elements and inside matched "{{" "}}" pairs is replaced by a
 *    mask byte (the two lowest control bytes absent from the text), so that
 *    it neither splits cells nor separates attributes;
 * 3. a lone "|" or "!" line inside a table becomes "| |" or "! |", an empty
 *    cell, as the wiki engine renders it.
 * After conversion the mask bytes in the HTML are turned back. */
#ifndef WT_RAW_H
#define WT_RAW_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct wt_raw_gap {
    size_t line; /* prepared line on which a removed comment began */
    size_t lfs;  /* line feeds it held */
};

struct wt_raw {
    char *text;       /* the prepared text, NUL-terminated */
    size_t len;
    size_t cap;
    char *work;       /* the steps' work; it and text swap at the end */
    size_t work_cap;
    char *out;        /* restored HTML */
    size_t out_cap;
    unsigned char mask_bar;  /* 0 when nothing was masked */
    unsigned char mask_bang;
    int unmasked;     /* no two free mask bytes: step 2 was left out */
    int protecting;   /* step 2 may find a protecting element */
    size_t masked;    /* bytes replaced by a mask */
    struct wt_raw_gap *gaps;
    size_t gap_count;
    size_t gap_cap;
    size_t *stack;    /* open "{{" while matching */
    size_t stack_cap;
    struct wt_raw_range { size_t start, end; } *ranges;
    size_t range_cap;
};

void wt_raw_init(struct wt_raw *raw);
void wt_raw_free(struct wt_raw *raw);

/* Prepares `len` bytes of `text` (which holds no NUL) into raw->text.
 * Returns 1, or 0 when memory ran out. */
int wt_raw_prepare(struct wt_raw *raw, const char *text, size_t len);

/* The same in the caller's buffer of *cap bytes (more than *len, which is
 * NUL-terminated), which takes the prepared text (*text, *len and *cap
 * updated: it may move to grow); raw->text is not used.  For a caller that
 * needs the text as given no more: it saves a copy of it.  On 0 (memory ran
 * out) the buffer holds no usable text. */
int wt_raw_prepare_in_place(struct wt_raw *raw, char **text, size_t *len, size_t *cap);

/* The HTML with mask bytes turned back into "|" and "!": `html` itself when
 * nothing was masked, else a copy owned by `raw`; NULL when memory ran out. */
const char *wt_raw_restore(struct wt_raw *raw, const char *html, size_t len);

/* Turns the mask bytes of `len` bytes of HTML back in place: for a caller
 * that writes the HTML through a buffer of its own. */
void wt_raw_unmask(const struct wt_raw *raw, char *bytes, size_t len);

/* The end (behind ">") of the first closing tag "</name>" in [from, end),
 * the name in any case (`name` in lower case), whitespace allowed before
 * the ">"; *close_start gets its "<".  NULL when there is none. */
const char *wt_find_closing_tag(const char *from, const char *end, const char *name,
                                const char **close_start);

/* The number, in the text as given, of prepared line `line`. */
size_t wt_raw_original_line(const struct wt_raw *raw, size_t line);

#ifdef __cplusplus
}
#endif

#endif
