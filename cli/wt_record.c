#include "wt_record.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wt_markup.h"
#include "wttable.h"

void wt_record_writer_init(struct wt_record_writer *w)
{
    memset(w, 0, sizeof *w);
    wt_raw_init(&w->raw);
}

void wt_record_writer_free(struct wt_record_writer *w)
{
    wt_raw_free(&w->raw);
    wt_bytes_free(&w->record);
    wt_bytes_free(&w->html);
    wt_bytes_free(&w->files);
    free(w->file_list);
    wtt_free(w->data);
}

int wt_record_parse_number(const char *s, size_t len, long long *value)
{
    if (len == 0 || len > 18)
        return 0;
    long long v = 0;
    for (size_t i = 0; i < len; i++) {
        if (s[i] < '0' || s[i] > '9')
            return 0;
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return 1;
}

static const char *data_of(const struct wt_bytes *b)
{
    return b->data != NULL ? b->data : "";
}

static void json_number_or_null(struct wt_bytes *b, const struct wt_bytes *field, int present)
{
    long long v;
    if (present && wt_record_parse_number(field->data, field->len, &v))
        wt_bytes_printf(b, "%lld", v);
    else
        wt_bytes_append_str(b, "null");
}

static void warn(const struct wt_record_options *opt, struct wt_bytes *msgs, const char *file,
                 const char *fmt, ...) __attribute__((format(printf, 4, 5)));

static void warn(const struct wt_record_options *opt, struct wt_bytes *msgs, const char *file,
                 const char *fmt, ...)
{
    if (opt->quiet)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    wt_bytes_printf(msgs, "wttable-dump: %s: %s\n", file, line);
}

/* Converts one top-level table of the prepared text and appends its entry. */
static void append_table(struct wt_record_writer *w, const struct wt_record_options *opt,
                         char *text, const struct wt_table_span *span, int first)
{
    char saved = text[span->end];
    text[span->end] = '\0';
    const char *html = wttable_to_html(text + span->start);
    size_t len = strlen(html);
    text[span->end] = saved;
    if (!opt->exact)
        html = wt_raw_restore(&w->raw, html, len);
    if (html == NULL) {
        w->record.failed = 1;
        return;
    }
    size_t line = opt->exact ? span->line : wt_raw_original_line(&w->raw, span->line);
    if (opt->format == WT_RECORD_BOTH) {
        /* Kept apart, each ended by a NUL, to go into the records later. */
        wt_bytes_json_string(&w->html, html, len);
        wt_bytes_append(&w->html, "", 1);
        return;
    }
    wt_bytes_printf(&w->record, "%s{\"line\": %zu, \"html\": ", first ? "" : ", ", line);
    wt_bytes_json_string(&w->record, html, len);
    wt_bytes_append_str(&w->record, "}");
}

/* The data formats' entries: each table's record, its "line" first; with
 * --format both the top-level ones carry their "html" as well.  Returns the
 * number of entries, or -1 when the text fails as the converter does. */
static long append_data(struct wt_record_writer *w, const struct wt_record_options *opt,
                        const char *text, size_t len)
{
    if (w->data == NULL && (w->data = wtt_new()) == NULL) {
        w->record.failed = 1;
        return 0;
    }
    unsigned options = opt->data_options | (opt->exact ? 0 : WTT_RAW_WIKITEXT);
    int rc = wtt_parse(w->data, text, len, options);
    if (rc == 0) {
        w->record.failed = 1;
        return 0;
    }
    if (rc < 0)
        return -1;
    const char *html = w->html.data;
    size_t count = wtt_table_count(w->data);
    for (size_t t = 0; t < count; t++) {
        size_t n;
        const char *record = wtt_table_json(w->data, t, &n);
        if (record == NULL) {
            w->record.failed = 1;
            return 0;
        }
        /* {"table": T, "parent": P, "line": L, ...}: "line" goes first. */
        const char *line = strstr(record, ", \"line\": ");
        const char *line_end = line != NULL ? strchr(line + 10, ',') : NULL;
        if (line_end == NULL) {
            w->record.failed = 1;
            return 0;
        }
        wt_bytes_append_str(&w->record, t > 0 ? ", {" : "{");
        wt_bytes_append(&w->record, line + 2, (size_t)(line_end - line - 2));
        int top_level = strncmp(strstr(record, "\"parent\": ") + 10, "null", 4) == 0;
        if (opt->format == WT_RECORD_BOTH && top_level && html != NULL &&
            html < w->html.data + w->html.len) {
            wt_bytes_append_str(&w->record, ", \"html\": ");
            wt_bytes_append_str(&w->record, html);
            html += strlen(html) + 1;
        }
        wt_bytes_append(&w->record, ", ", 2);
        wt_bytes_append(&w->record, record + 1, (size_t)(line - record - 1));
        wt_bytes_append(&w->record, line_end, (size_t)(record + n - line_end));
    }
    return (long)count;
}

static void append_fields(struct wt_bytes *b, const struct wt_revision *rev)
{
    wt_bytes_append_str(b, "{\"id\": ");
    json_number_or_null(b, &rev->page_id, rev->has_page_id);
    wt_bytes_printf(b, ", \"ns\": %ld, \"title\": ", rev->ns);
    wt_bytes_json_string(b, data_of(&rev->title), rev->title.len);
    wt_bytes_append_str(b, ", \"revision\": ");
    json_number_or_null(b, &rev->rev_id, rev->has_rev_id);
    wt_bytes_append_str(b, ", \"timestamp\": ");
    if (rev->has_timestamp)
        wt_bytes_json_string(b, data_of(&rev->timestamp), rev->timestamp.len);
    else
        wt_bytes_append_str(b, "null");
    wt_bytes_append_str(b, ", \"tables\": [");
}

static long long id_or_zero(const struct wt_bytes *field, int present)
{
    long long v;
    return present && wt_record_parse_number(field->data, field->len, &v) ? v : 0;
}

/* --format csv: a manifest line per table (the page's fields, the file's
 * name and the record less its grids and cells) and each table's file. */
static long append_csv(struct wt_record_writer *w, const struct wt_record_options *opt,
                       const struct wt_revision *rev)
{
    if (w->data == NULL && (w->data = wtt_new()) == NULL) {
        w->record.failed = 1;
        return 0;
    }
    unsigned options = opt->data_options | (opt->exact ? 0 : WTT_RAW_WIKITEXT);
    int rc = wtt_parse(w->data, rev->text.data != NULL ? rev->text.data : "", rev->text.len,
                       options);
    if (rc == 0) {
        w->record.failed = 1;
        return 0;
    }
    if (rc < 0)
        return -1;
    long long id = id_or_zero(&rev->page_id, rev->has_page_id);
    long long revision = id_or_zero(&rev->rev_id, rev->has_rev_id);
    size_t fields = w->record.len; /* the page's fields, as append_fields wrote them */
    size_t count = wtt_table_count(w->data);
    for (size_t t = 0; t < count; t++) {
        size_t n;
        const char *csv = wtt_table_csv(w->data, t, ',', &n);
        if (csv == NULL || (w->file_count == w->file_cap &&
                            !(w->file_list = realloc(w->file_list, (w->file_cap = w->file_cap * 2 + 8) *
                                                                       sizeof *w->file_list)))) {
            w->record.failed = 1;
            return 0;
        }
        struct wt_record_file *f = &w->file_list[w->file_count++];
        f->path = w->files.len;
        wt_bytes_printf(&w->files, "%lld/%lld-%lld-%zu.csv", id % 1000, id, revision, t);
        wt_bytes_append(&w->files, "", 1);
        f->data = w->files.len;
        f->data_len = n;
        wt_bytes_append(&w->files, csv, n);
        const char *summary = wtt_table_summary_json(w->data, t, &n);
        if (summary == NULL) {
            w->record.failed = 1;
            return 0;
        }
        if (t > 0 && wt_bytes_reserve(&w->record, fields)) /* the copy's source stays put */
            wt_bytes_append(&w->record, w->record.data, fields);
        wt_bytes_append_str(&w->record, "\"file\": ");
        wt_bytes_json_string(&w->record, w->files.data + f->path, strlen(w->files.data + f->path));
        wt_bytes_append(&w->record, ", ", 2);
        wt_bytes_append(&w->record, summary + 1, n - 1);
        wt_bytes_append(&w->record, "\n", 1);
    }
    return (long)count;
}

enum wt_record_outcome wt_record_write(struct wt_record_writer *w,
                                       const struct wt_record_options *opt, const char *file,
                                       struct wt_revision *rev, struct wt_bytes *out,
                                       struct wt_bytes *msgs, unsigned long long *tables)
{
    *tables = 0;
    char *text = rev->text.data != NULL ? rev->text.data : (char *)"";
    size_t len = rev->text.len;
    if (!opt->exact) {
        if (!wt_raw_prepare(&w->raw, text, len)) {
            wt_bytes_printf(msgs, "wttable-dump: %s: out of memory\n", file);
            return WT_RECORD_NO_MEMORY;
        }
        if (w->raw.unmasked)
            warn(opt, msgs, file, "page \"%.*s\": no two free control bytes to protect "
                 "templates with; converted without that step", (int)rev->title.len,
                 data_of(&rev->title));
        text = w->raw.text;
        len = w->raw.len;
    }

    struct wt_bytes *record = &w->record;
    record->len = 0;
    record->failed = 0;
    append_fields(record, rev);
    struct wt_line_walk walk;
    struct wt_table_span span;
    wt_line_walk_init(&walk, text, len);
    int found = 0;
    unsigned long long count = 0;
    size_t mark = record->len;
    w->html.len = 0;
    w->files.len = 0;
    w->file_count = 0;
    if (opt->format == WT_RECORD_CSV) {
        /* "{"id": ..., "timestamp": ..., " opens each table's line. */
        record->len -= strlen("\"tables\": [");
        long entries = append_csv(w, opt, rev);
        if (entries < 0) {
            record->len = mark;
            found = -1;
        } else {
            if (entries == 0)
                return record->failed ? WT_RECORD_NO_MEMORY : WT_RECORD_NONE;
            if (record->failed) {
                wt_bytes_printf(msgs, "wttable-dump: %s: out of memory\n", file);
                return WT_RECORD_NO_MEMORY;
            }
            wt_bytes_append(out, record->data, record->len);
            *tables = (unsigned long long)entries;
            return WT_RECORD_WRITTEN;
        }
    }
    if (opt->format != WT_RECORD_DATA && opt->format != WT_RECORD_CSV)
        while ((found = wt_next_table(&walk, &span)) == 1)
            append_table(w, opt, text, &span, count++ == 0);
    if (opt->format != WT_RECORD_HTML && opt->format != WT_RECORD_CSV && found >= 0) {
        /* The model reads the text as the dump holds it, preparing it itself. */
        long entries = append_data(w, opt, rev->text.data != NULL ? rev->text.data : "",
                                   rev->text.len);
        found = entries < 0 ? -1 : 0;
        count = entries < 0 ? 0 : (unsigned long long)entries;
    }
    enum wt_record_outcome outcome = WT_RECORD_WRITTEN;
    if (found < 0) {
        /* The walk stopped where the library's conversion of the whole text
         * fails, and with its message. */
        static const char k_failed[] = WTTABLE_TABLES_FAILED;
        record->len = mark;
        count = 0;
        wt_bytes_append_str(record, "], \"error\": ");
        wt_bytes_json_string(record, k_failed, sizeof k_failed - 1);
        wt_bytes_append_str(record, "}\n");
        warn(opt, msgs, file, "page \"%.*s\" (revision %.*s): %s: more than %d nested tables",
             (int)rev->title.len, data_of(&rev->title), (int)rev->rev_id.len,
             data_of(&rev->rev_id), k_failed, WTTABLE_MAX_DEPTH);
        outcome = WT_RECORD_FAILED;
    } else {
        if (count == 0 && !opt->all_pages)
            return WT_RECORD_NONE;
        wt_bytes_append_str(record, "]}\n");
    }
    if (record->failed) {
        wt_bytes_printf(msgs, "wttable-dump: %s: out of memory\n", file);
        return WT_RECORD_NO_MEMORY;
    }
    wt_bytes_append(out, record->data, record->len);
    *tables = count;
    return outcome;
}
