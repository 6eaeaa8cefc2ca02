#include "wt_markup.h"

#include <string.h>

static int is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void wt_line_walk_init(struct wt_line_walk *walk, const char *text, size_t len)
{
    walk->base = text;
    walk->p = text;
    walk->end = text + len;
    walk->number = 0;
    walk->depth = 0;
}

/* Colons, then spaces or tabs, then "{|". */
static int is_table_start(const char *s, size_t len)
{
    size_t i = 0;
    while (i < len && s[i] == ':')
        i++;
    while (i < len && (s[i] == ' ' || s[i] == '\t'))
        i++;
    return len - i >= 2 && s[i] == '{' && s[i + 1] == '|';
}

static enum wt_line_kind classify(const char *t, size_t n, int depth, int *starts)
{
    *starts = 0;
    if (n == 0)
        return depth == 0 ? WT_LINE_OUTSIDE : WT_LINE_OTHER;
    if (is_table_start(t, n)) {
        *starts = 1;
        return WT_LINE_TABLE_START;
    }
    if (depth == 0)
        return WT_LINE_OUTSIDE;
    if (n >= 2 && t[0] == '|' && t[1] == '}')
        return WT_LINE_TABLE_END;
    if (t[0] == '|' || t[0] == '!')
        return WT_LINE_MARKUP;
    return WT_LINE_OTHER;
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
    while (t < u && is_space((unsigned char)*t))
        t++;
    while (u > t && is_space((unsigned char)u[-1]))
        u--;

    line->start = start;
    line->len = (size_t)(stop - start);
    line->trimmed = t;
    line->trimmed_len = (size_t)(u - t);
    line->number = ++walk->number;
    line->depth = walk->depth;
    line->too_deep = 0;
    int starts;
    line->kind = classify(t, line->trimmed_len, walk->depth, &starts);
    if (line->kind == WT_LINE_TABLE_START) {
        if (walk->depth == WT_MAX_DEPTH)
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

/* A header line's cell text: "!!" becomes "||", and a unit that no longer
 * fits in 16383 bytes is dropped while the walk goes on.  Returns the kept
 * length; *wanted gets the length without the cut. */
static size_t header_cell_text(const char *rest, size_t n, char *out, size_t *wanted)
{
    size_t held = 0;
    size_t total = 0;
    for (size_t i = 0; i < n;) {
        int pair = rest[i] == '!' && i + 1 < n && rest[i + 1] == '!';
        size_t unit = pair ? 2 : 1;
        total += unit;
        if (held + unit <= WT_LINE_MAX) {
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
    if (n >= 2 && t[0] == '|' && t[1] == '-') {
        size_t i = 0;
        while (i < n && (t[i] == '|' || t[i] == '-'))
            i++;
        while (i < n && is_space((unsigned char)t[i]))
            i++;
        cuts->row_attrs = n - i;
        return cuts->row_attrs > WT_ATTR_MAX;
    }
    size_t marker = n >= 2 && t[0] == '|' && t[1] == '+' ? 2 : 1;
    const char *rest = t + marker;
    size_t rest_len = n - marker;
    if (rest_len == 0)
        return 0;
    if (t[0] == '!') {
        static char scratch[WT_LINE_MAX];
        size_t kept = header_cell_text(rest, rest_len, scratch, &cuts->cell_text);
        cuts->cells = count_pieces(scratch, kept);
    } else {
        cuts->cell_text = rest_len;
        cuts->cells = count_pieces(rest, rest_len < WT_LINE_MAX ? rest_len : WT_LINE_MAX);
    }
    return cuts->cell_text > WT_LINE_MAX || cuts->cells > WT_MAX_CELLS;
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
