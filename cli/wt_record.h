/* A revision of a wiki dump, and its JSON line: the raw-page preparation,
 * the split into top-level tables, their conversion and the restoration of
 * the masked bytes.  The writer is a function of the revision and the
 * options alone: it reads no dump and writes no file, so the reader, the
 * workers of -j and the fuzz target all use it as it is. */
#ifndef WT_RECORD_H
#define WT_RECORD_H

#include <stddef.h>

#include "wt_bytes.h"
#include "wt_raw.h"
#include "wttable_tables.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One revision as the reader found it; `text` is NUL-terminated where it
 * has data (wt_bytes keeps it so). */
struct wt_revision {
    struct wt_bytes title, page_id, rev_id, timestamp, text;
    int has_page_id, has_rev_id, has_timestamp;
    long ns;
};

enum wt_record_format {
    WT_RECORD_HTML, /* each top-level table's HTML */
    WT_RECORD_DATA, /* each table's record as data, nested ones included */
    WT_RECORD_BOTH, /* the records, and the HTML of the top-level tables */
    WT_RECORD_CSV   /* a manifest line per table; the tables as CSV files */
};

/* --format csv: one table's file, for the caller to write. */
struct wt_record_file {
    size_t path;     /* offset in `files` of "<id mod 1000>/<id>-<revision>-<T>.csv" */
    size_t data;     /* offset of its bytes */
    size_t data_len;
};

struct wt_record_options {
    enum wt_record_format format;
    unsigned data_options; /* WTT_SPANS_BLANK, WTT_BR_SPACE, WTT_WIKITEXT */
    int exact;     /* the text as the dump holds it, without the preparation */
    int all_pages; /* a line for a revision without tables too */
    int quiet;     /* no warnings */
};

enum wt_record_outcome {
    WT_RECORD_NONE,     /* no table and not --all-pages: no line */
    WT_RECORD_WRITTEN,  /* a line with its tables */
    WT_RECORD_FAILED,   /* more than 64 nested tables: a line with "error" */
    WT_RECORD_NO_MEMORY /* no line; the message says so */
};

/* Scratch reused from one revision to the next. */
struct wt_record_writer {
    struct wt_raw raw;
    struct wt_bytes record;
    wtt_doc *data;           /* made at the first use of a data format */
    struct wt_bytes html;    /* --format both: the top-level tables' entries */
    struct wt_bytes files;   /* --format csv: the files of the last revision */
    struct wt_record_file *file_list;
    size_t file_count, file_cap;
};

void wt_record_writer_init(struct wt_record_writer *w);
void wt_record_writer_free(struct wt_record_writer *w);

/* Appends the JSON line of `rev` to `out` and its warnings, naming `file`,
 * to `msgs`; *tables gets the number of tables in the line.  The text may
 * be changed while it is converted and is restored before the return. */
enum wt_record_outcome wt_record_write(struct wt_record_writer *w,
                                       const struct wt_record_options *opt, const char *file,
                                       struct wt_revision *rev, struct wt_bytes *out,
                                       struct wt_bytes *msgs, unsigned long long *tables);

/* A whole number of digits only (at most 18), as the dump writes ids.
 * Returns 1 with *value, or 0 for anything else. */
int wt_record_parse_number(const char *s, size_t len, long long *value);

#ifdef __cplusplus
}
#endif

#endif
