#include "wt_markup.h"

#include <string.h>

void wt_line_walk_init(struct wt_line_walk *walk, const char *text, size_t len)
{
    walk->base = text;
    walk->p = text;
    walk->end = text + len;
    walk->number = 0;
    walk->depth = 0;
}

static enum wt_line_kind classify(const char *t, size_t n, int depth)
{
    size_t colons;
    const char *after;
    if (n == 0)
        return depth == 0 ? WT_LINE_OUTSIDE : WT_LINE_OTHER;
    if (wt_table_start(t, t + n, &colons, &after))
        return WT_LINE_TABLE_START;
    if (depth == 0)
        return WT_LINE_OUTSIDE;
    switch (wt_marker_of(t, n)) {
    case WT_MARK_NONE: return WT_LINE_OTHER;
    case WT_MARK_TABLE_END: return WT_LINE_TABLE_END;
    default: return WT_LINE_MARKUP;
    }
}

int wt_line_walk_next(struct wt_line_walk *walk, struct wt_line *line)
{
    if (walk->p >= walk->end)
        return 0;
    const char *start = walk->p;
    const char *lf = memchr(start, '\n', (size_t)(walk->end - start));
    const char *stop = lf != NULL ? lf : walk->end;
    walk->p = lf != NULL ? lf + 1 : walk->end;
    if (stop > start && stop[-1] == '\r')
        stop--;
    const char *t = start;
    const char *u = stop;
    while (t < u && wt_is_space((unsigned char)*t))
        t++;
    while (u > t && wt_is_space((unsigned char)u[-1]))
        u--;

    line->start = start;
    line->len = (size_t)(stop - start);
    line->trimmed = t;
    line->trimmed_len = (size_t)(u - t);
    line->number = ++walk->number;
    line->depth = walk->depth;
    line->too_deep = 0;
    line->kind = classify(t, line->trimmed_len, walk->depth);
    if (line->kind == WT_LINE_TABLE_START) {
        if (walk->depth == WTTABLE_MAX_DEPTH)
            line->too_deep = 1;
        else
            walk->depth++;
    } else if (line->kind == WT_LINE_TABLE_END) {
        walk->depth--;
    }
    return 1;
}

int wt_next_table(struct wt_line_walk *walk, struct wt_table_span *span)
{
    struct wt_line line;
    int open = 0;
    while (wt_line_walk_next(walk, &line)) {
        if (line.too_deep)
            return -1;
        if (!open) {
            if (line.kind != WT_LINE_TABLE_START)
                continue;
            open = 1;
            span->start = (size_t)(line.start - walk->base);
            span->line = line.number;
        }
        if (walk->depth == 0) {
            int after_lf = walk->p > walk->base && walk->p[-1] == '\n';
            span->end = (size_t)(walk->p - walk->base) - (size_t)after_lf;
            return 1;
        }
    }
    if (open)
        span->end = (size_t)(walk->end - walk->base);
    return open;
}

/* Pieces of a cell text split at "||"; a final "||" makes no empty piece. */
static size_t count_pieces(const char *s, size_t len)
{
    size_t pieces = 1;
    size_t pos = 0;
    for (;;) {
        const char *bar = pos < len ? memchr(s + pos, '|', len - pos) : NULL;
        while (bar != NULL && (size_t)(bar - s) + 1 < len && bar[1] != '|') {
            size_t next = (size_t)(bar - s) + 1;
            bar = memchr(s + next, '|', len - next);
        }
        if (bar == NULL || (size_t)(bar - s) + 1 >= len)
            return pieces;
        pos = (size_t)(bar - s) + 2;
        if (pos == len)
            return pieces;
        pieces++;
    }
}

size_t wt_header_cell_text(const char *rest, size_t n, char *out, size_t *wanted)
{
    size_t held = 0;
    size_t total = 0;
    for (size_t i = 0; i < n;) {
        int pair = wt_is_bang_pair(rest, i, n);
        size_t unit = pair ? 2 : 1;
        total += unit;
        if (held + unit <= WTTABLE_CELL_TEXT_KEPT) {
            out[held] = pair ? '|' : rest[i];
            if (pair)
                out[held + 1] = '|';
            held += unit;
        }
        i += unit;
    }
    *wanted = total;
    return held;
}

int wt_markup_cuts(const struct wt_line *line, struct wt_cuts *cuts)
{
    memset(cuts, 0, sizeof *cuts);
    const char *t = line->trimmed;
    size_t n = line->trimmed_len;
    if (line->kind != WT_LINE_MARKUP)
        return 0;
    enum wt_marker marker = wt_marker_of(t, n);
    if (marker == WT_MARK_ALONE)
        return 0;
    if (marker == WT_MARK_ROW) {
        size_t i = 0;
        while (i < n && wt_continues_row_marker(t[i]))
            i++;
        while (i < n && wt_is_space((unsigned char)t[i]))
            i++;
        cuts->row_attrs = n - i;
        return cuts->row_attrs > WTTABLE_ROW_ATTRS_KEPT;
    }
    size_t marker_len = wt_marker_len(marker);
    const char *rest = t + marker_len;
    size_t rest_len = n - marker_len;
    if (marker == WT_MARK_HEADER) {
        static char scratch[WTTABLE_CELL_TEXT_KEPT];
        size_t kept = wt_header_cell_text(rest, rest_len, scratch, &cuts->cell_text);
        cuts->cells = count_pieces(scratch, kept);
    } else {
        cuts->cell_text = rest_len;
        cuts->cells = count_pieces(rest, rest_len < WTTABLE_CELL_TEXT_KEPT
                                             ? rest_len : WTTABLE_CELL_TEXT_KEPT);
    }
    return cuts->cell_text > WTTABLE_CELL_TEXT_KEPT || cuts->cells > WTTABLE_MAX_CELLS;
}

size_t wt_too_deep_line(const char *text, size_t len)
{
    struct wt_line_walk walk;
    struct wt_line line;
    wt_line_walk_init(&walk, text, len);
    while (wt_line_walk_next(&walk, &line))
        if (line.too_deep)
            return line.number;
    return 0;
}
