#include "wt_model.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "wt_markup.h"
#include "wt_markup_rules.h"

void wt_model_init(struct wt_model *m)
{
    memset(m, 0, sizeof *m);
}

static void free_tables(struct wt_model *m)
{
    for (size_t i = 0; i < m->table_count; i++) {
        free(m->tables[i].cells);
        free(m->tables[i].rows);
    }
}

void wt_model_free(struct wt_model *m)
{
    free_tables(m);
    free(m->tables);
    free(m->events);
    free(m->segs);
    wt_bytes_free(&m->arena);
    wt_model_init(m);
}

/* Grows *items to hold one more of `size` bytes; returns the new one, or
 * NULL when memory ran out. */
static void *grow(void *items, size_t *count, size_t *cap, size_t size)
{
    void **block = items;
    if (*count == *cap) {
        size_t want = *cap < 8 ? 8 : *cap * 2;
        if (want > SIZE_MAX / size)
            return NULL;
        void *bigger = realloc(*block, want * size);
        if (bigger == NULL)
            return NULL;
        *block = bigger;
        *cap = want;
    }
    char *item = (char *)*block + size * (*count)++;
    memset(item, 0, size);
    return item;
}

static struct wtm_str keep(struct wt_model *m, const char *bytes, size_t len)
{
    struct wtm_str s = {m->arena.len, len};
    wt_bytes_append(&m->arena, bytes, len);
    return s;
}

/* ---- the walk ------------------------------------------------------------ */

/* What the converter keeps of one open table. */
struct frame {
    size_t table;
    int cell_open;
    size_t open_cell; /* index in the table's cells */
    int row_open;
    int has_rows;
    struct wtm_str row_attrs; /* for the next row start tag */
};

struct heading {
    size_t level;
    const char *text;
    size_t len;
};

enum { MAX_HEADINGS = 6 };

struct walk {
    struct wt_model *m;
    struct frame frames[WTTABLE_MAX_DEPTH];
    int depth;
    struct heading headings[MAX_HEADINGS];
    size_t heading_count;
    char *scratch; /* one line's cell text */
};

static int add_event(struct walk *w, enum wtm_event_kind kind, size_t table, size_t first,
                     size_t count, struct wtm_str text)
{
    struct wt_model *m = w->m;
    struct wtm_event *ev = grow(&m->events, &m->event_count, &m->event_cap, sizeof *ev);
    if (ev == NULL)
        return 0;
    ev->kind = (unsigned char)kind;
    ev->table = table;
    ev->first = first;
    ev->count = count;
    ev->text = text;
    return 1;
}

/* Appends a segment to the open cell of frame f. */
static int add_seg(struct walk *w, struct frame *f, enum wtm_seg_kind kind, struct wtm_str text,
                   size_t table)
{
    struct wt_model *m = w->m;
    size_t index = m->seg_count;
    struct wtm_seg *seg = grow(&m->segs, &m->seg_count, &m->seg_cap, sizeof *seg);
    if (seg == NULL)
        return 0;
    seg->kind = (unsigned char)kind;
    seg->text = text;
    seg->table = table;
    seg->next = WTM_NONE;
    struct wtm_cell *cell = &m->tables[f->table].cells[f->open_cell];
    if (cell->first_seg == WTM_NONE)
        cell->first_seg = index;
    else
        m->segs[cell->last_seg].next = index;
    cell->last_seg = index;
    return 1;
}

/* "== X ==" and deeper, outside tables: the section of the tables below. */
static void note_heading(struct walk *w, const char *line, const char *stop)
{
    size_t n = (size_t)(stop - line);
    size_t lead = 0, trail = 0;
    while (lead < n && line[lead] == '=')
        lead++;
    while (trail < n - lead && line[n - 1 - trail] == '=')
        trail++;
    size_t level = lead < trail ? lead : trail;
    if (level < 2 || lead == n)
        return;
    const char *text = wt_skip_space(line + level, stop - level);
    const char *text_end = wt_trim_end(text, stop - level);
    while (w->heading_count > 0 && w->headings[w->heading_count - 1].level >= level)
        w->heading_count--;
    if (w->heading_count == MAX_HEADINGS)
        return;
    struct heading *h = &w->headings[w->heading_count++];
    h->level = level;
    h->text = text;
    h->len = (size_t)(text_end - text);
}

static int open_table(struct walk *w, size_t colons, const char *attrs, const char *stop,
                      size_t line_no, size_t source)
{
    struct wt_model *m = w->m;
    size_t index = m->table_count;
    struct wtm_table *t = grow(&m->tables, &m->table_count, &m->table_cap, sizeof *t);
    if (t == NULL)
        return 0;
    attrs = wt_skip_space(attrs, stop);
    t->attrs = keep(m, attrs, (size_t)(stop - attrs));
    t->indent = colons;
    t->line = line_no;
    t->source = source;
    t->parent = t->parent_cell = WTM_NONE;
    t->section.off = m->arena.len;
    for (size_t i = 0; i < w->heading_count; i++) {
        keep(m, w->headings[i].text, w->headings[i].len);
        wt_bytes_append(&m->arena, "", 1);
    }
    t->section.len = m->arena.len - t->section.off;
    t->section_count = w->heading_count;
    if (w->depth > 0) {
        struct frame *outer = &w->frames[w->depth - 1];
        struct wtm_str none = {0, 0};
        t->parent = outer->table;
        if (outer->cell_open) {
            t->parent_cell = outer->open_cell;
            if (!add_seg(w, outer, WTM_SEG_TABLE, none, index))
                return 0;
        }
        t = &m->tables[index];
    }
    struct frame *f = &w->frames[w->depth++];
    memset(f, 0, sizeof *f);
    f->table = index;
    struct wtm_str none = {0, 0};
    return add_event(w, WTM_EV_OPEN, index, 0, 0, none);
}

static int row_line(struct walk *w, struct frame *f, const char *rest, const char *stop)
{
    struct wt_model *m = w->m;
    const char *attrs = rest;
    while (attrs < stop && wt_continues_row_marker(*attrs))
        attrs++;
    attrs = wt_skip_space(attrs, stop);
    size_t len = (size_t)(stop - attrs);
    struct wtm_str kept = {m->arena.len, 0};
    if (len > 0) {
        size_t n = len < WTTABLE_ROW_ATTRS_KEPT ? len : WTTABLE_ROW_ATTRS_KEPT;
        if (n < len)
            m->tables[f->table].cut = 1;
        wt_bytes_append(&m->arena, " ", 1);
        wt_bytes_append(&m->arena, attrs, n);
        kept.len = n + 1;
    }
    f->row_attrs = kept;
    f->cell_open = 0;
    f->row_open = 0;
    f->has_rows = 1;
    return add_event(w, WTM_EV_ROW, f->table, 0, 0, kept);
}

static int has_guard_pair(const char *p, size_t n)
{
    for (size_t i = 0; i + 1 < n; i++)
        if (wt_is_guard_pair(p[i], p[i + 1]))
            return 1;
    return 0;
}

/* One piece of a cell line as a cell of table t. */
static int add_cell(struct walk *w, struct frame *f, int kind, const char *start, size_t len,
                    size_t first_bar, size_t line_no, size_t source)
{
    struct wt_model *m = w->m;
    struct wtm_table *t = &m->tables[f->table];
    struct wtm_cell *cell = grow(&t->cells, &t->cell_count, &t->cell_cap, sizeof *cell);
    if (cell == NULL)
        return 0;
    const char *end = start + len;
    const char *content = start;
    cell->kind = (unsigned char)kind;
    cell->row = kind == WTM_CAPTION ? WTM_NONE : t->row_count - 1;
    cell->first_seg = cell->last_seg = WTM_NONE;
    cell->line = line_no;
    cell->source = source;
    cell->attrs.off = m->arena.len;
    if (first_bar < len && !has_guard_pair(start, first_bar)) {
        const char *attrs = wt_skip_space(start, start + first_bar);
        const char *attrs_end = wt_trim_end(attrs, start + first_bar);
        cell->has_attrs = attrs < attrs_end;
        cell->attrs = keep(m, attrs, (size_t)(attrs_end - attrs));
        content = start + first_bar + 1;
    }
    content = wt_skip_space(content, end);
    cell->content = keep(m, content, (size_t)(wt_trim_end(content, end) - content));
    return 1;
}

static int cell_line(struct walk *w, struct frame *f, int kind, const char *rest,
                     const char *stop, size_t line_no, size_t source)
{
    struct wt_model *m = w->m;
    size_t n = (size_t)(stop - rest);
    size_t len;
    if (kind == WTM_HEADER) {
        size_t wanted;
        len = wt_header_cell_text(rest, n, w->scratch, &wanted);
    } else {
        len = n < WTTABLE_CELL_TEXT_KEPT ? n : WTTABLE_CELL_TEXT_KEPT;
        memcpy(w->scratch, rest, len);
    }
    if (len < n)
        m->tables[f->table].cut = 1;
    if (len == 0)
        return 1;
    if (kind != WTM_CAPTION && !f->row_open) {
        struct wtm_table *t = &m->tables[f->table];
        struct wtm_row *row = grow(&t->rows, &t->row_count, &t->row_cap, sizeof *row);
        if (row == NULL)
            return 0;
        row->attrs = f->row_attrs;
        row->line = line_no;
        f->row_attrs.len = 0;
        f->row_open = 1;
        f->has_rows = 1;
    }
    size_t first = m->tables[f->table].cell_count;
    /* The converter's split: each "||" ends a piece, a final one gives no
     * empty piece, and pieces past the limit are dropped. */
    const char *text = w->scratch, *end = text + len;
    const char *start = text, *first_bar = NULL, *p = text;
    size_t count = 0;
    for (;;) {
        const char *bar = memchr(p, '|', (size_t)(end - p));
        if (bar == NULL)
            bar = end;
        if (bar + 1 < end && bar[1] == '|') {
            size_t fb = first_bar ? (size_t)(first_bar - start) : (size_t)(bar - start);
            if (!add_cell(w, f, kind, start, (size_t)(bar - start), fb, line_no, source))
                return 0;
            count++;
            start = bar + 2;
            if (start == end)
                break;
            if (count == WTTABLE_MAX_CELLS) {
                m->tables[f->table].cut = 1;
                break;
            }
            first_bar = NULL;
            p = start;
        } else if (bar < end) {
            if (first_bar == NULL)
                first_bar = bar;
            p = bar + 1;
        } else {
            size_t fb = first_bar ? (size_t)(first_bar - start) : (size_t)(end - start);
            if (!add_cell(w, f, kind, start, (size_t)(end - start), fb, line_no, source))
                return 0;
            count++;
            break;
        }
    }
    f->cell_open = 1;
    f->open_cell = first + count - 1;
    struct wtm_str none = {0, 0};
    return add_event(w, WTM_EV_CELLS, f->table, first, count, none);
}

static int table_line(struct walk *w, const char *raw, const char *raw_end, const char *line,
                      const char *stop, size_t line_no)
{
    struct wt_model *m = w->m;
    struct frame *f = &w->frames[w->depth - 1];
    enum wt_marker marker = wt_marker_of(line, (size_t)(stop - line));
    const char *rest = line + wt_marker_len(marker);
    size_t source = (size_t)(raw - m->text);
    switch (marker) {
    case WT_MARK_NONE: {
        struct wtm_str s = {source, (size_t)(raw_end - raw)};
        if (f->cell_open && !add_seg(w, f, WTM_SEG_LINE, s, WTM_NONE))
            return 0;
        return add_event(w, WTM_EV_TEXT, f->table, 0, 0, s);
    }
    case WT_MARK_ALONE:
        return 1;
    case WT_MARK_TABLE_END: {
        const char *trailing = wt_skip_space(rest, stop);
        struct wtm_str s = {(size_t)(trailing - m->text), (size_t)(stop - trailing)};
        w->depth--;
        return add_event(w, WTM_EV_END, f->table, 0, 0, s);
    }
    case WT_MARK_ROW:
        return row_line(w, f, rest, stop);
    case WT_MARK_CAPTION:
        return cell_line(w, f, WTM_CAPTION, rest, stop, line_no, source);
    case WT_MARK_DATA:
        return cell_line(w, f, WTM_DATA, rest, stop, line_no, source);
    case WT_MARK_HEADER:
        return cell_line(w, f, WTM_HEADER, rest, stop, line_no, source);
    }
    return 1;
}

/* The lines come from the one line walk (wt_markup.h) that the programs'
 * split into tables, their warnings and the raw-page preparation use too. */
static int walk_text(struct walk *w, const char *text, size_t len)
{
    struct wt_model *m = w->m;
    struct wt_line_walk lines;
    struct wt_line ln;
    wt_line_walk_init(&lines, text, len);
    while (wt_line_walk_next(&lines, &ln)) {
        const char *p = ln.start;
        const char *raw_end = ln.start + ln.len;
        const char *next = lines.p;
        int has_lf = next > p && next[-1] == '\n';
        const char *line = ln.trimmed, *stop = ln.trimmed + ln.trimmed_len;
        int ok = 1;
        if (ln.too_deep) {
            m->too_deep_line = ln.number;
            return 1;
        }
        if (ln.kind == WT_LINE_TABLE_START) {
            size_t colons = 0;
            const char *after = NULL;
            wt_table_start(line, stop, &colons, &after);
            ok = open_table(w, colons, after, stop, ln.number, (size_t)(p - text));
        } else if (ln.kind == WT_LINE_OUTSIDE) {
            /* Its output in document mode: the line itself, or its bytes
             * less CR and whitespace-only content, and an LF. */
            const char *line_end = has_lf ? next - 1 : next;
            int verbatim = has_lf && (line_end == p || (line < stop && raw_end == line_end));
            struct wtm_str s = {(size_t)(p - text), 0};
            size_t with_lf = 0;
            if (verbatim) {
                s.len = (size_t)(next - p);
            } else {
                s.len = line < stop ? (size_t)(raw_end - p) : 0;
                with_lf = 1;
            }
            if (line < stop && line[0] == '=')
                note_heading(w, line, stop);
            /* Runs of lines that are their own output make one event:
             * prose is most of a page. */
            struct wtm_event *last = m->event_count > 0 ? &m->events[m->event_count - 1] : NULL;
            if (last != NULL && last->kind == WTM_EV_OUTSIDE && last->table == 0 && with_lf == 0 &&
                last->text.off + last->text.len == s.off)
                last->text.len += s.len;
            else
                ok = add_event(w, WTM_EV_OUTSIDE, with_lf, 0, 0, s);
        } else if (line == stop) {
            struct frame *f = &w->frames[w->depth - 1];
            struct wtm_str none = {0, 0};
            if (f->cell_open)
                ok = add_seg(w, f, WTM_SEG_BLANK, none, WTM_NONE);
            ok = ok && add_event(w, WTM_EV_BLANK, f->table, 0, 0, none);
        } else {
            ok = table_line(w, p, raw_end, line, stop, ln.number);
        }
        if (!ok || m->arena.failed)
            return 0;
    }
    return 1;
}

int wt_model_build(struct wt_model *m, const char *text, size_t len)
{
    free_tables(m);
    m->table_count = m->event_count = m->seg_count = 0;
    m->arena.len = 0;
    m->arena.failed = 0;
    m->too_deep_line = 0;
    m->text = text;
    m->len = len;
    struct walk *w = calloc(1, sizeof *w);
    if (w == NULL)
        return 0;
    w->m = m;
    w->scratch = malloc(WTTABLE_LINE_MAX);
    /* The arena must not be empty: strings are offsets into it. */
    wt_bytes_reserve(&m->arena, 64);
    int ok = w->scratch != NULL && !m->arena.failed && walk_text(w, text, len);
    free(w->scratch);
    free(w);
    m->no_memory = !ok;
    return ok;
}

/* ---- the model as HTML --------------------------------------------------- */

static const char *const k_open[3] = {"<caption", "<td", "<th"};
static const char *const k_close[3] = {"</caption>", "</td>", "</th>"};

struct render_frame {
    size_t table;
    int cell_open;
    int kind; /* of the open cell */
    int row_open;
    int has_rows;
};

static void put(struct wt_bytes *out, const char *s, size_t n)
{
    wt_bytes_append(out, s, n);
}

static void put_str(struct wt_bytes *out, const char *s)
{
    wt_bytes_append_str(out, s);
}

static void put_repeated(struct wt_bytes *out, const char *s, size_t count)
{
    for (size_t i = 0; i < count; i++)
        put_str(out, s);
}

static void close_body(struct wt_bytes *out, struct render_frame *f)
{
    if (f->cell_open)
        put_str(out, k_close[f->kind]);
    if (f->row_open)
        put_str(out, "</tr>\n");
    if (!f->has_rows)
        put_str(out, "<tr><td></td></tr>\n");
    f->cell_open = f->row_open = 0;
}

static void render_cells(const struct wt_model *m, const struct wtm_event *ev,
                         struct render_frame *f, struct wt_bytes *out)
{
    const struct wtm_table *t = &m->tables[ev->table];
    const struct wtm_cell *first = &t->cells[ev->first];
    if (f->cell_open) {
        put_str(out, k_close[f->kind]);
        put_str(out, "\n");
    }
    if (first->kind != WTM_CAPTION && !f->row_open) {
        const struct wtm_row *row = &t->rows[first->row];
        put_str(out, "<tr");
        put(out, wtm_bytes(m, row->attrs), row->attrs.len);
        put_str(out, ">\n");
        f->row_open = 1;
        f->has_rows = 1;
    }
    for (size_t i = 0; i < ev->count; i++) {
        const struct wtm_cell *c = first + i;
        if (i > 0)
            put_str(out, k_close[c->kind]);
        put_str(out, k_open[c->kind]);
        if (c->has_attrs) {
            put_str(out, " ");
            put(out, wtm_bytes(m, c->attrs), c->attrs.len);
        }
        put_str(out, ">");
        put(out, wtm_bytes(m, c->content), c->content.len);
    }
    f->cell_open = 1;
    f->kind = first->kind;
}

int wt_model_html(const struct wt_model *m, int tables_only, struct wt_bytes *out)
{
    if (m->too_deep_line != 0 || m->no_memory)
        return 0;
    struct render_frame frames[WTTABLE_MAX_DEPTH];
    int depth = 0;
    for (size_t e = 0; e < m->event_count; e++) {
        const struct wtm_event *ev = &m->events[e];
        struct render_frame *f = depth > 0 ? &frames[depth - 1] : NULL;
        switch (ev->kind) {
        case WTM_EV_OUTSIDE:
            if (!tables_only) {
                put(out, m->text + ev->text.off, ev->text.len);
                if (ev->table)
                    put_str(out, "\n");
            }
            break;
        case WTM_EV_OPEN: {
            const struct wtm_table *t = &m->tables[ev->table];
            put_repeated(out, "<dl><dd>", t->indent);
            put_str(out, t->attrs.len > 0 ? "<table " : "<table");
            put(out, wtm_bytes(m, t->attrs), t->attrs.len);
            put_str(out, ">\n");
            f = &frames[depth++];
            memset(f, 0, sizeof *f);
            f->table = ev->table;
            break;
        }
        case WTM_EV_ROW:
            if (f->cell_open)
                put_str(out, k_close[f->kind]);
            if (f->row_open)
                put_str(out, "</tr>\n");
            f->cell_open = f->row_open = 0;
            f->has_rows = 1;
            break;
        case WTM_EV_CELLS:
            render_cells(m, ev, f, out);
            break;
        case WTM_EV_TEXT:
            if (f->cell_open)
                put_str(out, "\n");
            put(out, m->text + ev->text.off, ev->text.len);
            break;
        case WTM_EV_BLANK:
            if (f->cell_open)
                put_str(out, "\n");
            break;
        case WTM_EV_END: {
            size_t indent = m->tables[f->table].indent;
            close_body(out, f);
            if (ev->text.len == 0 && indent == 0) {
                put_str(out, "</table>\n");
            } else {
                put_str(out, ev->text.len > 0 ? "</table> " : "</table>");
                put(out, m->text + ev->text.off, ev->text.len);
                put_repeated(out, "</dd></dl>", indent);
                put_str(out, "\n");
            }
            depth--;
            break;
        }
        }
    }
    while (depth > 0) {
        struct render_frame *f = &frames[--depth];
        close_body(out, f);
        put_str(out, "</table>\n");
        size_t indent = m->tables[f->table].indent;
        if (indent > 0) {
            put_repeated(out, "</dd></dl>", indent);
            put_str(out, "\n");
        }
    }
    if (out->len > 0 && out->data[out->len - 1] == '\n')
        out->len--;
    return !out->failed;
}
