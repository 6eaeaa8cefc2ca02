/* The tables of a text as data: the model's cells as clean text, placed on
 * a grid by the HTML table-forming algorithm, with column labels from the
 * header rows, and each table as a JSON record. */
#include "wttable_tables.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "wt_bytes.h"
#include "wt_cell_text.h"
#include "wt_model.h"
#include "wt_raw.h"
#include "wttable_config.h"

#define NONE ((size_t)-1)

/* A literal, its length known. */
#define PUT(bytes, literal) wt_bytes_append((bytes), (literal), sizeof(literal) - 1)

enum { MAX_COLSPAN = 1000, MAX_ROWSPAN = 65534 };
/* A grid larger than this is not laid out past its last whole row: spans
 * can ask for rows times columns far beyond the text's size. */
#define MAX_SLOTS ((size_t)1 << 22)

enum table_flag { FLAG_UNKNOWN_TEMPLATES = 1, FLAG_NESTED = 2, FLAG_CUT = 4, FLAG_RAGGED = 8 };

struct list {
    size_t off, count; /* consecutive NUL-ended strings in doc->strings */
};

struct cell_data {
    size_t text;     /* offset of its NUL-ended text */
    size_t text_json, text_json_len; /* the text as a JSON string: grids repeat it */
    struct list links; /* target and text, two strings a link */
    struct list refs, templates, tables;
    size_t sort;     /* NONE when there is no sort key */
    size_t wikitext; /* offset, with WTT_WIKITEXT */
    size_t row, col, rowspan, colspan;
    int placed;
};

struct table_data {
    size_t first;    /* its cells in doc->cells */
    size_t rows, cols, header_rows;
    size_t slots;    /* offset in doc->slots of rows * cols cell numbers (NONE: no cell) */
    size_t columns;  /* offset in doc->labels of cols label offsets */
    size_t caption;  /* text offset or NONE */
    struct list section;
    unsigned flags;
};

struct wtt_doc {
    struct wt_raw raw;
    struct wt_model model;
    struct wt_cell_text ct;
    struct wt_bytes strings;
    struct wt_bytes wikitext; /* one cell's, reused */
    struct wt_bytes children; /* its nested tables, reused */
    struct wt_bytes json;
    struct wt_bytes html;
    struct cell_data *cells;
    size_t cell_count, cell_cap;
    struct table_data *tables;
    size_t table_count;
    size_t *slots;
    size_t slot_count, slot_cap;
    size_t *labels;
    size_t label_count, label_cap;
    unsigned options;
    size_t failed_line;
    int no_memory;
};

static int reserve_items(void *items, size_t *cap, size_t want, size_t size)
{
    if (want <= *cap)
        return 1;
    size_t n = *cap < 16 ? 16 : *cap;
    while (n < want)
        n = n > SIZE_MAX / 2 ? want : n * 2;
    if (n > SIZE_MAX / size)
        return 0;
    void *bigger = realloc(*(void **)items, n * size);
    if (bigger == NULL)
        return 0;
    *(void **)items = bigger;
    *cap = n;
    return 1;
}

wtt_doc *wtt_new(void)
{
    wtt_doc *doc = calloc(1, sizeof *doc);
    if (doc == NULL)
        return NULL;
    wt_raw_init(&doc->raw);
    wt_model_init(&doc->model);
    wt_cell_text_init(&doc->ct);
    return doc;
}

void wtt_free(wtt_doc *doc)
{
    if (doc == NULL)
        return;
    wt_raw_free(&doc->raw);
    wt_model_free(&doc->model);
    wt_cell_text_free(&doc->ct);
    wt_bytes_free(&doc->strings);
    wt_bytes_free(&doc->wikitext);
    wt_bytes_free(&doc->children);
    wt_bytes_free(&doc->json);
    wt_bytes_free(&doc->html);
    free(doc->cells);
    free(doc->tables);
    free(doc->slots);
    free(doc->labels);
    free(doc);
}

const char *wtt_version(void)
{
    return WTTABLE_VERSION_STRING;
}

/* ---- strings ------------------------------------------------------------- */

static size_t add_string(wtt_doc *doc, const char *s, size_t n)
{
    size_t off = doc->strings.len;
    wt_bytes_append(&doc->strings, s, n);
    wt_bytes_append(&doc->strings, "", 1);
    return off;
}

static struct list add_list(wtt_doc *doc, const struct wt_strings *from)
{
    struct list l = {doc->strings.len, from->count};
    wt_bytes_append(&doc->strings, from->bytes.data, from->bytes.len);
    return l;
}

static const char *string_at(const wtt_doc *doc, size_t off)
{
    return doc->strings.data + off;
}

/* ---- cell text ----------------------------------------------------------- */

/* The mask bytes of the prepared text back to "|" and "!". */
static void unmask(const wtt_doc *doc, char *s, size_t n)
{
    char bar = (char)doc->raw.mask_bar, bang = (char)doc->raw.mask_bang;
    if (bar == 0 && bang == 0)
        return;
    for (size_t i = 0; i < n; i++) {
        if (s[i] == bar && bar != 0)
            s[i] = '|';
        else if (s[i] == bang && bang != 0)
            s[i] = '!';
    }
}

/* Renders text whose masked bytes, if any, are turned back already. */
static void render_text(wtt_doc *doc, const struct wt_bytes *text)
{
    wt_cell_text_render(&doc->ct, text->data != NULL ? text->data : "", text->len);
}

/* A cell's wikitext: its piece, then each line and blank line while it was
 * open; the nested tables are left out and listed. */
static void cell_wikitext(wtt_doc *doc, const struct wtm_cell *c, struct wt_bytes *out,
                          struct wt_bytes *tables)
{
    const struct wt_model *m = &doc->model;
    out->len = 0;
    tables->len = 0;
    wt_bytes_append(out, wtm_bytes(m, c->content), c->content.len);
    for (size_t s = c->first_seg; s != WTM_NONE; s = m->segs[s].next) {
        const struct wtm_seg *seg = &m->segs[s];
        if (seg->kind == WTM_SEG_TABLE) {
            wt_bytes_append(tables, &seg->table, sizeof seg->table);
            continue;
        }
        wt_bytes_append(out, "\n", 1);
        if (seg->kind == WTM_SEG_LINE)
            wt_bytes_append(out, m->text + seg->text.off, seg->text.len);
    }
}

static size_t parse_span(const char *attrs, size_t len, const char *name, size_t lo, size_t hi)
{
    const char *v;
    size_t n;
    if (!wt_attr_value(attrs, len, name, &v, &n))
        return 1;
    size_t i = 0, value = 0, digits = 0;
    while (i < n && (v[i] == ' ' || v[i] == '\t'))
        i++;
    for (; i < n && v[i] >= '0' && v[i] <= '9'; i++, digits++)
        value = value > hi ? value : value * 10 + (size_t)(v[i] - '0');
    return digits > 0 && value >= lo && value <= hi ? value : 1;
}

static int add_cell_data(wtt_doc *doc, const struct wtm_cell *c, unsigned *flags)
{
    if (!reserve_items(&doc->cells, &doc->cell_cap, doc->cell_count + 1, sizeof *doc->cells))
        return 0;
    struct cell_data *d = &doc->cells[doc->cell_count++];
    memset(d, 0, sizeof *d);
    struct wt_bytes *wikitext = &doc->wikitext, *tables = &doc->children;
    cell_wikitext(doc, c, wikitext, tables);
    unmask(doc, wikitext->data, wikitext->len);
    render_text(doc, wikitext);
    struct wt_cell_text *ct = &doc->ct;
    d->text = add_string(doc, ct->text.data, ct->text.len);
    d->text_json = doc->strings.len;
    wt_bytes_json_string(&doc->strings, ct->text.data, ct->text.len);
    d->text_json_len = doc->strings.len - d->text_json;
    d->links = add_list(doc, &ct->links);
    d->refs = add_list(doc, &ct->refs);
    d->templates = add_list(doc, &ct->templates);
    if (ct->templates.count > 0)
        *flags |= FLAG_UNKNOWN_TEMPLATES;
    const char *attrs = wtm_bytes(&doc->model, c->attrs);
    const char *sort;
    size_t sort_len;
    d->sort = NONE;
    if (wt_attr_value(attrs, c->attrs.len, "data-sort-value", &sort, &sort_len))
        d->sort = add_string(doc, sort, sort_len);
    else if (ct->has_sort)
        d->sort = add_string(doc, ct->sort.data, ct->sort.len);
    d->tables.off = doc->strings.len;
    d->tables.count = tables->len / sizeof(size_t);
    for (size_t i = 0; i < d->tables.count; i++) {
        size_t child;
        memcpy(&child, tables->data + i * sizeof child, sizeof child);
        wt_bytes_decimal(&doc->strings, child);
        wt_bytes_append(&doc->strings, "", 1);
        *flags |= FLAG_NESTED;
    }
    d->wikitext = NONE;
    if (doc->options & WTT_WIKITEXT)
        d->wikitext = add_string(doc, wikitext->data, wikitext->len);
    d->colspan = parse_span(attrs, c->attrs.len, "colspan", 1, MAX_COLSPAN);
    d->rowspan = parse_span(attrs, c->attrs.len, "rowspan", 0, MAX_ROWSPAN);
    d->row = d->col = NONE;
    return !wikitext->failed && !tables->failed;
}

/* ---- the grid ------------------------------------------------------------ */

/* Each row's slots as a growable array of cell numbers, NONE where free. */
struct grid_rows {
    size_t **slot;
    size_t *len, *cap;
    size_t count;
};

static int grid_set(struct grid_rows *g, size_t r, size_t c, size_t cell)
{
    if (c >= g->cap[r]) {
        size_t want = c + 1;
        size_t old = g->cap[r];
        if (!reserve_items(&g->slot[r], &g->cap[r], want, sizeof(size_t)))
            return 0;
        for (size_t i = old; i < g->cap[r]; i++)
            g->slot[r][i] = NONE;
    }
    /* Overlapping cells: the slot stays the first one's. */
    if (g->slot[r][c] == NONE)
        g->slot[r][c] = cell;
    if (c + 1 > g->len[r])
        g->len[r] = c + 1;
    return 1;
}

static int grid_taken(const struct grid_rows *g, size_t r, size_t c)
{
    return c < g->len[r] && g->slot[r][c] != NONE;
}

static void grid_free(struct grid_rows *g)
{
    for (size_t r = 0; r < g->count; r++)
        free(g->slot[r]);
    free(g->slot);
    free(g->len);
    free(g->cap);
}

/* The HTML table-forming algorithm: each cell takes the first free slot of
 * its row; a rowspan of 0 reaches the last row. */
static int lay_out(wtt_doc *doc, const struct wtm_table *mt, struct table_data *td)
{
    struct grid_rows g;
    g.count = mt->row_count;
    g.slot = calloc(g.count + 1, sizeof *g.slot);
    g.len = calloc(g.count + 1, sizeof *g.len);
    g.cap = calloc(g.count + 1, sizeof *g.cap);
    if (g.slot == NULL || g.len == NULL || g.cap == NULL) {
        grid_free(&g);
        return 0;
    }
    size_t x = 0, current = NONE, slots_used = 0, width = 0;
    int ok = 1;
    for (size_t i = 0; i < mt->cell_count && ok; i++) {
        const struct wtm_cell *c = &mt->cells[i];
        struct cell_data *d = &doc->cells[td->first + i];
        if (c->kind == WTM_CAPTION)
            continue;
        if (c->row != current) {
            current = c->row;
            x = 0;
        }
        while (grid_taken(&g, c->row, x))
            x++;
        size_t rows_left = mt->row_count - c->row;
        size_t rowspan = d->rowspan == 0 || d->rowspan > rows_left ? rows_left : d->rowspan;
        if (slots_used + rowspan * d->colspan > MAX_SLOTS) {
            td->flags |= FLAG_CUT;
            break;
        }
        slots_used += rowspan * d->colspan;
        d->row = c->row;
        d->col = x;
        d->rowspan = rowspan;
        d->placed = 1;
        for (size_t r = 0; r < rowspan && ok; r++)
            for (size_t k = 0; k < d->colspan && ok; k++)
                ok = grid_set(&g, c->row + r, x + k, td->first + i);
        x += d->colspan;
        if (x > width)
            width = x;
    }
    size_t first_width = g.count > 0 ? g.len[0] : 0;
    for (size_t r = 0; r < g.count; r++)
        if (g.len[r] != first_width)
            td->flags |= FLAG_RAGGED;
    td->rows = g.count;
    td->cols = width;
    td->slots = doc->slot_count;
    if (ok && td->rows > 0 && td->cols > 0) {
        ok = reserve_items(&doc->slots, &doc->slot_cap, doc->slot_count + td->rows * td->cols,
                           sizeof *doc->slots);
        for (size_t r = 0; ok && r < td->rows; r++)
            for (size_t c = 0; c < td->cols; c++)
                doc->slots[doc->slot_count++] = c < g.len[r] ? g.slot[r][c] : NONE;
    }
    grid_free(&g);
    return ok;
}

static size_t slot_cell(const wtt_doc *doc, const struct table_data *td, size_t r, size_t c)
{
    return doc->slots[td->slots + r * td->cols + c];
}

/* Leading rows whose every own cell is a header cell. */
static size_t count_header_rows(const struct wtm_table *mt)
{
    size_t rows = 0;
    size_t i = 0;
    for (size_t r = 0; r < mt->row_count; r++) {
        int all = 1, any = 0;
        for (; i < mt->cell_count && (mt->cells[i].kind == WTM_CAPTION || mt->cells[i].row <= r);
             i++) {
            if (mt->cells[i].kind == WTM_CAPTION)
                continue;
            any = 1;
            if (mt->cells[i].kind != WTM_HEADER)
                all = 0;
        }
        if (!any || !all)
            break;
        rows++;
    }
    return rows;
}

struct label_order {
    const char *label;
    size_t column;
};

static int label_less(const void *a, const void *b)
{
    const struct label_order *x = a, *y = b;
    int c = strcmp(x->label, y->label);
    return c != 0 ? c : x->column < y->column ? -1 : x->column > y->column;
}

/* Column labels: the header rows' labels of each column, top to bottom, one
 * for each cell, joined with " / "; "col N" for none; the second and later
 * columns of one label get ".1", ".2". */
static int label_columns(wtt_doc *doc, struct table_data *td)
{
    struct label_order *order = calloc(td->cols + 1, sizeof *order);
    size_t *base = calloc(td->cols + 1, sizeof *base);
    size_t *repeat = calloc(td->cols + 1, sizeof *repeat);
    struct wt_bytes label = {NULL, 0, 0, 0};
    int ok = order != NULL && base != NULL && repeat != NULL &&
             reserve_items(&doc->labels, &doc->label_cap, doc->label_count + td->cols,
                           sizeof *doc->labels);
    for (size_t c = 0; ok && c < td->cols; c++) {
        label.len = 0;
        size_t last = NONE;
        for (size_t r = 0; r < td->header_rows; r++) {
            size_t cell = slot_cell(doc, td, r, c);
            if (cell == NONE || cell == last)
                continue;
            last = cell;
            const char *text = string_at(doc, doc->cells[cell].text);
            if (*text == '\0')
                continue;
            if (label.len > 0)
                wt_bytes_append(&label, " / ", 3);
            wt_bytes_append_str(&label, text);
        }
        if (label.len == 0) {
            wt_bytes_append(&label, "col ", 4);
            wt_bytes_decimal(&label, c + 1);
        }
        base[c] = add_string(doc, label.data, label.len);
    }
    ok = ok && !doc->strings.failed && !label.failed;
    if (ok) {
        for (size_t c = 0; c < td->cols; c++) {
            order[c].label = string_at(doc, base[c]);
            order[c].column = c;
        }
        if (td->cols > 1)
            qsort(order, td->cols, sizeof *order, label_less);
        for (size_t k = 1; k < td->cols; k++)
            if (strcmp(order[k].label, order[k - 1].label) == 0)
                repeat[order[k].column] = repeat[order[k - 1].column] + 1;
    }
    td->columns = doc->label_count;
    for (size_t c = 0; ok && c < td->cols; c++) {
        size_t off = base[c];
        if (repeat[c] > 0) {
            label.len = 0;
            wt_bytes_append_str(&label, string_at(doc, base[c]));
            wt_bytes_append(&label, ".", 1);
            wt_bytes_decimal(&label, repeat[c]);
            off = add_string(doc, label.data, label.len);
        }
        doc->labels[doc->label_count++] = off;
    }
    ok = ok && !label.failed;
    wt_bytes_free(&label);
    free(order);
    free(base);
    free(repeat);
    return ok;
}

/* ---- reading a text ------------------------------------------------------ */

static int read_table(wtt_doc *doc, size_t t)
{
    const struct wtm_table *mt = &doc->model.tables[t];
    struct table_data *td = &doc->tables[t];
    memset(td, 0, sizeof *td);
    td->first = doc->cell_count;
    td->caption = NONE;
    td->flags = mt->cut ? FLAG_CUT : 0;
    for (size_t i = 0; i < mt->cell_count; i++) {
        if (!add_cell_data(doc, &mt->cells[i], &td->flags))
            return 0;
        if (mt->cells[i].kind == WTM_CAPTION && td->caption == NONE)
            td->caption = doc->cells[doc->cell_count - 1].text;
    }
    /* The headings, by the same rules. */
    td->section.off = doc->strings.len;
    const char *h = wtm_bytes(&doc->model, mt->section);
    for (size_t i = 0; i < mt->section_count; i++) {
        size_t n = strlen(h);
        doc->wikitext.len = 0;
        wt_bytes_append(&doc->wikitext, h, n);
        unmask(doc, doc->wikitext.data, doc->wikitext.len);
        render_text(doc, &doc->wikitext);
        add_string(doc, doc->ct.text.data, doc->ct.text.len);
        h += n + 1;
    }
    td->section.count = mt->section_count;
    if (!lay_out(doc, mt, td))
        return 0;
    td->header_rows = count_header_rows(mt);
    return label_columns(doc, td);
}

int wtt_parse(wtt_doc *doc, const char *text, size_t len, unsigned options)
{
    doc->options = options;
    doc->failed_line = 0;
    doc->no_memory = 0;
    doc->table_count = 0;
    doc->cell_count = doc->slot_count = doc->label_count = 0;
    doc->strings.len = 0;
    doc->strings.failed = 0;
    /* Strings are offsets into it: it must exist even when it stays empty. */
    if (!wt_bytes_reserve(&doc->strings, 64))
        return 0;
    doc->ct.br_space = (options & WTT_BR_SPACE) != 0;
    doc->raw.mask_bar = doc->raw.mask_bang = 0;
    if (options & WTT_RAW_WIKITEXT) {
        if (!wt_raw_prepare(&doc->raw, text, len))
            return 0;
        text = doc->raw.text;
        len = doc->raw.len;
    }
    if (!wt_model_build(&doc->model, text, len))
        return 0;
    if (doc->model.too_deep_line != 0) {
        doc->failed_line = options & WTT_RAW_WIKITEXT
                               ? wt_raw_original_line(&doc->raw, doc->model.too_deep_line)
                               : doc->model.too_deep_line;
        return -1;
    }
    free(doc->tables);
    doc->tables = calloc(doc->model.table_count + 1, sizeof *doc->tables);
    if (doc->tables == NULL)
        return 0;
    for (size_t t = 0; t < doc->model.table_count; t++) {
        if (!read_table(doc, t) || doc->strings.failed) {
            doc->no_memory = 1;
            return 0;
        }
        doc->table_count = t + 1;
    }
    return 1;
}

size_t wtt_failed_line(const wtt_doc *doc)
{
    return doc->failed_line;
}

size_t wtt_table_count(const wtt_doc *doc)
{
    return doc->table_count;
}

size_t wtt_grid_rows(const wtt_doc *doc, size_t t)
{
    return t < doc->table_count ? doc->tables[t].rows : 0;
}

size_t wtt_header_rows(const wtt_doc *doc, size_t t)
{
    return t < doc->table_count ? doc->tables[t].header_rows : 0;
}

size_t wtt_grid_columns(const wtt_doc *doc, size_t t)
{
    return t < doc->table_count ? doc->tables[t].cols : 0;
}

const char *wtt_column(const wtt_doc *doc, size_t t, size_t col)
{
    if (t >= doc->table_count || col >= doc->tables[t].cols)
        return NULL;
    return string_at(doc, doc->labels[doc->tables[t].columns + col]);
}

/* The text of a slot as the grids show it: with WTT_SPANS_BLANK only the
 * anchor slot holds the text. */
static const char *slot_text(const wtt_doc *doc, const struct table_data *td, size_t r,
                             size_t c)
{
    size_t cell = slot_cell(doc, td, r, c);
    if (cell == NONE)
        return NULL;
    const struct cell_data *d = &doc->cells[cell];
    if ((doc->options & WTT_SPANS_BLANK) && (d->row != r || d->col != c))
        return "";
    return string_at(doc, d->text);
}

const char *wtt_slot(const wtt_doc *doc, size_t t, size_t row, size_t col)
{
    if (t >= doc->table_count || row >= doc->tables[t].rows || col >= doc->tables[t].cols)
        return NULL;
    return slot_text(doc, &doc->tables[t], row, col);
}

const char *wtt_caption(const wtt_doc *doc, size_t t)
{
    if (t >= doc->table_count || doc->tables[t].caption == NONE)
        return NULL;
    return string_at(doc, doc->tables[t].caption);
}

const char *wtt_html(wtt_doc *doc, int tables_only, size_t *len)
{
    doc->html.len = 0;
    doc->html.failed = 0;
    if (doc->failed_line != 0 || !wt_model_html(&doc->model, tables_only, &doc->html))
        return NULL;
    wt_bytes_reserve(&doc->html, 1);
    if (doc->html.failed)
        return NULL;
    doc->html.data[doc->html.len] = '\0';
    *len = doc->html.len;
    return doc->html.data;
}

/* ---- the record ---------------------------------------------------------- */

static void json_str(struct wt_bytes *out, const char *s)
{
    wt_bytes_json_string(out, s, strlen(s));
}

static void json_number(struct wt_bytes *out, size_t v)
{
    wt_bytes_decimal(out, v);
}

static void json_list(const wtt_doc *doc, struct wt_bytes *out, struct list l)
{
    const char *s = string_at(doc, l.off);
    wt_bytes_append(out, "[", 1);
    for (size_t i = 0; i < l.count; i++) {
        if (i > 0)
            wt_bytes_append(out, ", ", 2);
        json_str(out, s);
        s += strlen(s) + 1;
    }
    wt_bytes_append(out, "]", 1);
}

static void json_grid(const wtt_doc *doc, const struct table_data *td, struct wt_bytes *out,
                      size_t from, size_t to)
{
    wt_bytes_append(out, "[", 1);
    for (size_t r = from; r < to; r++) {
        wt_bytes_append(out, r > from ? ", [" : "[", r > from ? 3 : 1);
        for (size_t c = 0; c < td->cols; c++) {
            if (c > 0)
                wt_bytes_append(out, ", ", 2);
            size_t cell = slot_cell(doc, td, r, c);
            const struct cell_data *d = cell != NONE ? &doc->cells[cell] : NULL;
            if (d == NULL)
                PUT(out, "null");
            else if ((doc->options & WTT_SPANS_BLANK) && (d->row != r || d->col != c))
                PUT(out, "\"\"");
            else
                wt_bytes_append(out, string_at(doc, d->text_json), d->text_json_len);
        }
        wt_bytes_append(out, "]", 1);
    }
    wt_bytes_append(out, "]", 1);
}

static void json_cell(const wtt_doc *doc, const struct wtm_cell *mc, const struct cell_data *d,
                      struct wt_bytes *out)
{
    PUT(out, "{\"row\": ");
    json_number(out, d->row);
    PUT(out, ", \"col\": ");
    json_number(out, d->col);
    PUT(out, ", \"rowspan\": ");
    json_number(out, d->rowspan);
    PUT(out, ", \"colspan\": ");
    json_number(out, d->colspan);
    wt_bytes_append_str(out, mc->kind == WTM_HEADER ? ", \"header\": true" : ", \"header\": false");
    PUT(out, ", \"text\": ");
    wt_bytes_append(out, string_at(doc, d->text_json), d->text_json_len);
    PUT(out, ", \"links\": [");
    const char *s = string_at(doc, d->links.off);
    for (size_t i = 0; i + 1 < d->links.count; i += 2) {
        const char *link_text = s + strlen(s) + 1;
        wt_bytes_append_str(out, i > 0 ? ", {\"target\": " : "{\"target\": ");
        json_str(out, s);
        PUT(out, ", \"text\": ");
        json_str(out, link_text);
        wt_bytes_append(out, "}", 1);
        s = link_text + strlen(link_text) + 1;
    }
    PUT(out, "], \"refs\": ");
    json_list(doc, out, d->refs);
    PUT(out, ", \"sort\": ");
    if (d->sort == NONE)
        wt_bytes_append(out, "null", 4);
    else
        json_str(out, string_at(doc, d->sort));
    PUT(out, ", \"templates\": ");
    json_list(doc, out, d->templates);
    PUT(out, ", \"tables\": [");
    s = string_at(doc, d->tables.off);
    for (size_t i = 0; i < d->tables.count; i++) {
        if (i > 0)
            wt_bytes_append(out, ", ", 2);
        wt_bytes_append_str(out, s);
        s += strlen(s) + 1;
    }
    PUT(out, "], \"attrs\": ");
    wt_bytes_json_string(out, wtm_bytes(&doc->model, mc->attrs), mc->attrs.len);
    if (d->wikitext != NONE) {
        PUT(out, ", \"wikitext\": ");
        json_str(out, string_at(doc, d->wikitext));
    }
    wt_bytes_append(out, "}", 1);
}

/* The record, appended to `out`; `whole` 0 leaves out its grids and cells. */
static void append_table_json(wtt_doc *doc, size_t t, int whole, struct wt_bytes *out)
{
    const struct wtm_table *mt = &doc->model.tables[t];
    const struct table_data *td = &doc->tables[t];
    PUT(out, "{\"table\": ");
    json_number(out, t);
    PUT(out, ", \"parent\": ");
    if (mt->parent == WTM_NONE)
        wt_bytes_append(out, "null", 4);
    else
        json_number(out, mt->parent);
    PUT(out, ", \"line\": ");
    json_number(out, doc->options & WTT_RAW_WIKITEXT ? wt_raw_original_line(&doc->raw, mt->line)
                                                     : mt->line);
    PUT(out, ", \"section\": ");
    json_list(doc, out, td->section);
    PUT(out, ", \"caption\": ");
    if (td->caption == NONE)
        wt_bytes_append(out, "null", 4);
    else
        json_str(out, string_at(doc, td->caption));
    PUT(out, ", \"attrs\": ");
    wt_bytes_json_string(out, wtm_bytes(&doc->model, mt->attrs), mt->attrs.len);
    PUT(out, ", \"columns\": [");
    for (size_t c = 0; c < td->cols; c++) {
        if (c > 0)
            wt_bytes_append(out, ", ", 2);
        json_str(out, string_at(doc, doc->labels[td->columns + c]));
    }
    PUT(out, "]");
    int first = 1;
    if (whole) {
        PUT(out, ", \"header\": ");
        json_grid(doc, td, out, 0, td->header_rows);
        PUT(out, ", \"rows\": ");
        json_grid(doc, td, out, td->header_rows, td->rows);
        PUT(out, ", \"cells\": [");
        for (size_t i = 0; i < mt->cell_count; i++) {
            const struct cell_data *d = &doc->cells[td->first + i];
            if (!d->placed)
                continue;
            if (!first)
                wt_bytes_append(out, ", ", 2);
            first = 0;
            json_cell(doc, &mt->cells[i], d, out);
        }
        PUT(out, "]");
    }
    PUT(out, ", \"flags\": [");
    static const char *const names[] = {"unknown_templates", "nested", "cut", "ragged"};
    first = 1;
    for (unsigned k = 0; k < 4; k++) {
        if (!(td->flags & (1u << k)))
            continue;
        if (!first)
            wt_bytes_append(out, ", ", 2);
        first = 0;
        json_str(out, names[k]);
    }
    PUT(out, "]}");
}

static const char *table_json(wtt_doc *doc, size_t t, int whole, size_t *len)
{
    if (t >= doc->table_count)
        return NULL;
    struct wt_bytes *out = &doc->json;
    out->len = 0;
    out->failed = 0;
    append_table_json(doc, t, whole, out);
    if (out->failed)
        return NULL;
    *len = out->len;
    return out->data;
}

const char *wtt_tables_json(wtt_doc *doc, size_t *len)
{
    struct wt_bytes *out = &doc->json;
    out->len = 0;
    out->failed = 0;
    PUT(out, "[");
    for (size_t t = 0; t < doc->table_count; t++) {
        if (t > 0)
            PUT(out, ", ");
        append_table_json(doc, t, 1, out);
    }
    PUT(out, "]");
    if (out->failed)
        return NULL;
    *len = out->len;
    return out->data;
}

const char *wtt_table_json(wtt_doc *doc, size_t t, size_t *len)
{
    return table_json(doc, t, 1, len);
}

const char *wtt_table_summary_json(wtt_doc *doc, size_t t, size_t *len)
{
    return table_json(doc, t, 0, len);
}

/* ---- CSV ------------------------------------------------------------------ */

static void csv_field(struct wt_bytes *out, const char *s, char separator)
{
    if (strpbrk(s, "\"\r\n") == NULL && strchr(s, separator) == NULL) {
        wt_bytes_append_str(out, s);
        return;
    }
    wt_bytes_append(out, "\"", 1);
    for (const char *q; (q = strchr(s, '"')) != NULL; s = q + 1) {
        wt_bytes_append(out, s, (size_t)(q - s));
        wt_bytes_append(out, "\"\"", 2);
    }
    wt_bytes_append_str(out, s);
    wt_bytes_append(out, "\"", 1);
}

const char *wtt_table_csv(wtt_doc *doc, size_t t, char separator, size_t *len)
{
    if (t >= doc->table_count)
        return NULL;
    const struct table_data *td = &doc->tables[t];
    struct wt_bytes *out = &doc->json;
    out->len = 0;
    out->failed = 0;
    for (size_t c = 0; c < td->cols; c++) {
        if (c > 0)
            wt_bytes_append(out, &separator, 1);
        csv_field(out, string_at(doc, doc->labels[td->columns + c]), separator);
    }
    wt_bytes_append(out, "\r\n", 2);
    for (size_t r = td->header_rows; r < td->rows; r++) {
        for (size_t c = 0; c < td->cols; c++) {
            if (c > 0)
                wt_bytes_append(out, &separator, 1);
            const char *text = slot_text(doc, td, r, c);
            csv_field(out, text != NULL ? text : "", separator);
        }
        wt_bytes_append(out, "\r\n", 2);
    }
    if (!wt_bytes_reserve(out, 1))
        return NULL;
    out->data[out->len] = '\0';
    *len = out->len;
    return out->data;
}
