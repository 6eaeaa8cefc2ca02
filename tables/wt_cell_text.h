/* A cell's wikitext as plain text, with what the text leaves out beside it:
 * link targets, references, a sort key and the names of templates that
 * have no rendering here.  The rules, in order: comments go and <nowiki>
 * content stays as written; references go to `refs`; the common formatting
 * templates render as the wiki shows them (the registry in wt_cell_text.c),
 * others go; links give their text; quotes and tags go (<br> gives a line
 * feed); character references are decoded; whitespace folds. */
#ifndef WT_CELL_TEXT_H
#define WT_CELL_TEXT_H

#include <stddef.h>

#include "wt_bytes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Strings side by side in one buffer, each ended by a NUL. */
struct wt_strings {
    struct wt_bytes bytes;
    size_t count;
};

struct wt_cell_text {
    struct wt_bytes text;
    struct wt_strings links; /* target, then text: two strings a link */
    struct wt_strings refs;
    struct wt_strings templates;
    struct wt_bytes sort;    /* valid when has_sort */
    int has_sort;
    int br_space;            /* <br> gives a space, not a line feed */
    /* Kept from one cell to the next. */
    struct wt_bytes work;
    void *pairs;
    size_t pair_cap;
    size_t *stack;
    size_t stack_cap;
};

void wt_cell_text_init(struct wt_cell_text *ct);
void wt_cell_text_free(struct wt_cell_text *ct);

/* Renders `len` bytes of wikitext into ct (emptied first). */
void wt_cell_text_render(struct wt_cell_text *ct, const char *wikitext, size_t len);

/* The value of attribute `name` in an attribute string (quoted with " or ',
 * or bare), as the HTML parser reads it; 0 when it is absent. */
int wt_attr_value(const char *attrs, size_t len, const char *name, const char **value,
                  size_t *value_len);

#ifdef __cplusplus
}
#endif

#endif
