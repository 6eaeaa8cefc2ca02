/* wttable: wiki table markup to HTML, in the manner of Unix text tools.
 * A plain consumer of the library's public interface. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "wt_bytes.h"
#include "wt_cli.h"
#include "wt_io.h"
#include "wt_jobs.h"
#include "wt_markup.h"
#include "wt_output.h"
#include "wt_raw.h"
#include "wt_signals.h"
#include "wt_stdfds.h"
#include "wttable.h"
#include "wttable_tables.h"

enum { EXIT_NONE_FOUND = 1, EXIT_FAILED = 1, EXIT_TROUBLE = 2 };

static const char k_program[] = "wttable";

static const char k_usage[] =
    "usage: wttable [-t] [--raw-wikitext] [-o FILE | --output-dir DIR] [-j N] [--raw]\n"
    "               [--format html|json|csv|tsv] [--spans fill|blank] [--br newline|space]\n"
    "               [--wikitext] [--stats] [-q] [FILE...]\n"
    "       wttable -c | -l [-t] [--raw-wikitext] [-j N] [FILE...]\n";

#define usage_error(...) wt_usage_error(k_program, k_usage, __VA_ARGS__)

static const char k_help[] =
    "Converts wiki table markup to HTML.  Each FILE (standard input when there\n"
    "is none, or for \"-\") is converted as a whole document: its tables become\n"
    "HTML and every other line is kept.\n"
    "\n"
    "  -t, --tables-only        write only the HTML of the tables\n"
    "  -o, --output FILE        write to FILE, replaced only when the run succeeds\n"
    "                           (\"-\": standard output)\n"
    "      --output-dir DIR     write each input NAME.wiki to DIR/NAME.html\n"
    "  -j, --jobs N             convert in N processes (0: one per core); output\n"
    "                           and messages stay in input order\n"
    "      --raw-wikitext       prepare raw wiki pages first: templates, parameters\n"
    "                           and comments stay out of the cell markup, and a\n"
    "                           lone \"|\" or \"!\" line makes an empty cell\n"
    "      --raw                write the library's bytes exactly (no final LF added)\n"
    "      --format FORMAT      html (the default); json: one JSON line per table, its\n"
    "                           rows, columns and clean cell text; csv or tsv: one\n"
    "                           table, or DIR/NAME.T.csv for each with --output-dir\n"
    "      --spans fill|blank   a spanned slot repeats its cell's text (fill), or is\n"
    "                           \"\" after the first (blank)\n"
    "      --br newline|space   what <br> becomes in cell text (newline)\n"
    "      --wikitext           json: each cell's wikitext as well\n"
    "  -c, --check              write nothing; exit 0 if some input has a table, else 1\n"
    "  -l, --files-with-tables  print the names of the inputs that have a table\n"
    "      --stats              per input and in total, print sizes, tables, time\n"
    "                           and MB/s to standard error\n"
    "  -q, --quiet              no warnings about text the converter drops\n"
    "      --version            print the library's version\n"
    "  -h, --help               print this help\n"
    "\n"
    "Exit status: 0 success, 1 a conversion failed (or -c/-l found no table),\n"
    "2 bad input, a read or write error, or bad usage.\n";

enum format { FORMAT_HTML, FORMAT_JSON, FORMAT_CSV, FORMAT_TSV };

struct options {
    int tables_only;
    enum format format;
    unsigned data_options; /* WTT_* for the data formats */
    int raw;
    int check;
    int list;
    int stats;
    int quiet;
    int raw_wikitext;
    int workers;
    const char *output;
    const char *output_dir;
};

/* What one input left for its turn. */
struct item {
    struct wt_bytes text;
    struct wt_bytes before; /* warnings and errors */
    struct wt_bytes after;  /* the --stats line */
    const char *html;
    size_t html_len;
    const struct wt_raw *masked; /* the HTML still holds its mask bytes: see write_html */
    size_t prepared_len; /* --raw-wikitext: the text was prepared in place, to this length */
    struct wt_bytes held; /* a copy of the HTML, when it must outlive the next call */
    int status;
    int found;
    int converted;
    int write_errno;     /* --output-dir: writing its file failed */
    int whole_lines;     /* the output ends with its LF already */
    unsigned long long tables;
    double seconds;
};

struct run {
    const struct options *opt;
    char **files;
    size_t count;
    char **dir_targets; /* --output-dir: the file each input is written to */
    struct wt_output out;
    struct wt_raw raw;
    wtt_doc *data;       /* the data formats' tables */
    struct item items[WT_JOBS_AHEAD];
    int status;
    int found;
    int write_errno;
    const char *write_name;
    unsigned long long total_in, total_out, total_tables;
    size_t inputs;
    double total_seconds;
};

static void complain(struct wt_bytes *n, const char *name, const char *reason)
{
    wt_bytes_printf(n, "wttable: %s: %s\n", name, reason);
}

/* Reads a whole input in blocks, checking each block for a NUL as it
 * arrives, so that a binary file or a device of zeros is refused at once.
 * Returns 1; 0 with errno set on a read error; -1 with *nul_at on a NUL. */
static int read_input(int fd, struct wt_bytes *t, size_t *nul_at)
{
    t->len = 0;
    struct stat st;
    size_t want = 1 << 16;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        want = (size_t)st.st_size;
    for (;;) {
        /* Room for the whole of a regular file at once, and the NUL. */
        if (!wt_bytes_reserve(t, t->len == 0 ? want : 1)) {
            errno = ENOMEM;
            return 0;
        }
        size_t room = t->cap - t->len - 1;
        ssize_t n = read(fd, t->data + t->len, room > (1u << 30) ? (1u << 30) : room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        const char *nul = memchr(t->data + t->len, '\0', (size_t)n);
        if (nul != NULL) {
            *nul_at = (size_t)(nul - t->data);
            return -1;
        }
        t->len += (size_t)n;
    }
    t->data[t->len] = '\0';
    return 1;
}

/* One walk over the lines: the table start lines, counted for --stats, and
 * what the library cuts silently, said with its place unless `warnings` is
 * NULL (-q).  Nothing is said past a nesting failure, where the library
 * stops. */
static unsigned long long scan_lines(struct wt_bytes *warnings, const char *name, const char *text,
                                     size_t len)
{
    struct wt_line_walk walk;
    struct wt_line line;
    struct wt_cuts cuts;
    unsigned long long starts = 0;
    int failed = 0;
    wt_line_walk_init(&walk, text, len);
    while (wt_line_walk_next(&walk, &line)) {
        starts += line.kind == WT_LINE_TABLE_START;
        failed |= line.too_deep;
        if (warnings == NULL || failed || !wt_markup_cuts(&line, &cuts))
            continue;
        if (cuts.row_attrs > WTTABLE_ROW_ATTRS_KEPT)
            wt_bytes_printf(warnings, "wttable: %s:%zu: row attributes of %zu bytes cut to %d\n",
                            name, line.number, cuts.row_attrs, WTTABLE_ROW_ATTRS_KEPT);
        if (cuts.cell_text > WTTABLE_CELL_TEXT_KEPT)
            wt_bytes_printf(warnings, "wttable: %s:%zu: cell text of %zu bytes cut to %d\n", name,
                            line.number, cuts.cell_text, WTTABLE_CELL_TEXT_KEPT);
        if (cuts.cells > WTTABLE_MAX_CELLS)
            wt_bytes_printf(warnings, "wttable: %s:%zu: %zu cells on one line; those after the "
                            "%dth dropped\n", name, line.number, cuts.cells, WTTABLE_MAX_CELLS);
    }
    return starts;
}

static void stats_line(struct wt_bytes *n, const char *name, unsigned long long in,
                       unsigned long long out, unsigned long long tables, double seconds)
{
    double rate = seconds > 0 ? (double)in / seconds / 1e6 : 0.0;
    wt_bytes_printf(n, "wttable: %s: %llu %s in, %llu %s out, %llu %s, %.6f s, %.1f MB/s\n",
                    name, in,
              wt_plural(in, "byte", "bytes"), out, wt_plural(out, "byte", "bytes"), tables,
              wt_plural(tables, "table", "tables"), seconds, rate);
}

static int open_input(const char *path)
{
    if (strcmp(path, "-") != 0)
        return open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (wt_stdin_was_closed()) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

/* The library drops the final LF; files and terminals get whole lines. */
/* Writes the HTML, its mask bytes turned back on the way through a small
 * buffer: a restored copy of a large output would only cost fresh memory. */
static int write_unmasked(int fd, const struct wt_raw *raw, const char *html, size_t len)
{
    static char chunk[1 << 16];
    while (len > 0) {
        size_t n = len < sizeof chunk ? len : sizeof chunk;
        memcpy(chunk, html, n);
        wt_raw_unmask(raw, chunk, n);
        if (!wt_write_all(fd, chunk, n))
            return 0;
        html += n;
        len -= n;
    }
    return 1;
}

static int write_html(int fd, const struct item *it, int raw)
{
    if (it->html_len == 0)
        return 1;
    int ok = it->masked != NULL ? write_unmasked(fd, it->masked, it->html, it->html_len)
                                : wt_write_all(fd, it->html, it->html_len);
    return ok && (raw || it->whole_lines || wt_write_all(fd, "\n", 1));
}

static size_t html_bytes_out(const struct item *it, int raw)
{
    return it->html_len + (raw || it->whole_lines || it->html_len == 0 ? 0 : 1);
}

/* --output-dir: each input's own file, written as soon as it is converted
 * (files do not depend on each other, so workers need not wait their turn). */
static int write_to_dir(const char *target, struct item *it, int raw)
{
    struct wt_output out;
    char *kept_copy;
    if (!wt_output_open(&out, target))
        return 0;
    if (!write_html(out.fd, it, raw)) {
        int saved = errno;
        wt_output_close(&out, 0, &kept_copy);
        errno = saved;
        return 0;
    }
    if (wt_output_close(&out, 1, &kept_copy))
        return 1;
    if (kept_copy != NULL) {
        int saved = errno;
        wt_bytes_printf(&it->after, "wttable: %s: the whole output is kept in %s\n", target,
                        kept_copy);
        free(kept_copy);
        errno = saved;
    }
    return 0;
}

/* Keeps the HTML past the next conversion, which reuses the library's
 * buffer.  Returns 0 when memory ran out. */
static int hold_html(struct item *it)
{
    it->held.len = 0;
    if (!wt_bytes_reserve(&it->held, it->html_len))
        return 0;
    memcpy(it->held.data, it->html, it->html_len + 1);
    it->held.len = it->html_len;
    it->html = it->held.data;
    if (it->masked != NULL)
        wt_raw_unmask(it->masked, it->held.data, it->held.len);
    it->masked = NULL;
    return 1;
}

/* --output-dir with csv or tsv: each table of the input in DIR/NAME.T.csv
 * (or .tsv), NAME.html being the input's HTML target. */
static int write_tables_to_dir(struct run *run, size_t i, struct item *it)
{
    const char *html_target = run->dir_targets[i];
    size_t stem = strlen(html_target) - 5;
    int tsv = run->opt->format == FORMAT_TSV;
    for (size_t t = 0; t < wtt_table_count(run->data); t++) {
        size_t len;
        const char *csv = wtt_table_csv(run->data, t, tsv ? '\t' : ',', &len);
        if (csv == NULL) {
            errno = ENOMEM;
            return 0;
        }
        char target[PATH_MAX];
        int n = snprintf(target, sizeof target, "%.*s.%zu.%s", (int)stem, html_target, t,
                         tsv ? "tsv" : "csv");
        if (n < 0 || (size_t)n >= sizeof target) {
            errno = ENAMETOOLONG;
            return 0;
        }
        struct item one = *it;
        one.html = csv;
        one.html_len = len;
        one.whole_lines = 1;
        if (!write_to_dir(target, &one, 1)) {
            it->after = one.after;
            return 0;
        }
        it->after = one.after;
    }
    return 1;
}

/* The data formats: the input's tables as JSON lines, or one table as CSV. */
static void prepare_data(struct run *run, size_t i, struct item *it, const char *name,
                         const char *text, size_t len)
{
    const struct options *opt = run->opt;
    int rc = wtt_parse(run->data, text, len, opt->data_options);
    if (rc == 0) {
        complain(&it->before, name, strerror(ENOMEM));
        it->status = EXIT_TROUBLE;
        return;
    }
    if (rc < 0) {
        wt_bytes_printf(&it->before, "wttable: %s:%zu: %s: more than %d nested tables\n", name,
                        wtt_failed_line(run->data), opt->tables_only ? WTTABLE_TABLES_FAILED
                                                                     : WTTABLE_DOCUMENT_FAILED,
                        WTTABLE_MAX_DEPTH);
        it->status = EXIT_FAILED;
        return;
    }
    size_t count = wtt_table_count(run->data);
    it->tables = count;
    it->held.len = 0;
    it->whole_lines = 1;
    if (opt->format == FORMAT_JSON) {
        for (size_t t = 0; t < count; t++) {
            size_t n;
            const char *record = wtt_table_json(run->data, t, &n);
            if (record == NULL)
                break;
            if (run->count > 1) {
                wt_bytes_append_str(&it->held, "{\"file\": ");
                wt_bytes_json_string(&it->held, name, strlen(name));
                wt_bytes_append(&it->held, ", ", 2);
                wt_bytes_append(&it->held, record + 1, n - 1);
            } else {
                wt_bytes_append(&it->held, record, n);
            }
            wt_bytes_append(&it->held, "\n", 1);
        }
    } else if (opt->output_dir == NULL) {
        if (count != 1) {
            wt_bytes_printf(&it->before,
                            "wttable: %s: %zu tables, and %s writes one to standard output: "
                            "give --output-dir DIR for a file each\n",
                            name, count, opt->format == FORMAT_CSV ? "csv" : "tsv");
            it->status = EXIT_TROUBLE;
            return;
        }
        size_t n;
        const char *csv = wtt_table_csv(run->data, 0, opt->format == FORMAT_TSV ? '\t' : ',', &n);
        if (csv != NULL)
            wt_bytes_append(&it->held, csv, n);
    }
    if (it->held.failed || (count > 0 && opt->output_dir == NULL && it->held.len == 0)) {
        complain(&it->before, name, strerror(ENOMEM));
        it->status = EXIT_TROUBLE;
        return;
    }
    it->html = it->held.data != NULL ? it->held.data : "";
    it->html_len = it->held.len;
    it->converted = 1;
    if (opt->output_dir == NULL)
        return;
    int ok = opt->format == FORMAT_JSON ? write_to_dir(run->dir_targets[i], it, 1)
                                        : write_tables_to_dir(run, i, it);
    if (!ok)
        it->write_errno = errno ? errno : EIO;
}

/* Whether the converter's silent cuts touched a table of the data: only
 * then is there a warning to look for (a table's flags end its summary). */
static int data_was_cut(wtt_doc *doc)
{
    for (size_t t = 0; t < wtt_table_count(doc); t++) {
        size_t n;
        const char *summary = wtt_table_summary_json(doc, t, &n);
        const char *flags = summary != NULL ? strstr(summary, "\"flags\": [") : NULL;
        if (summary == NULL || (flags != NULL && strstr(flags, "\"cut\"") != NULL))
            return 1;
    }
    return 0;
}

/* The warnings of the data formats, before the input's other messages: the
 * converter's cuts in the text it would see. */
static void warn_before(struct run *run, struct item *it, const char *name, const char *text,
                        size_t len)
{
    struct wt_bytes warnings = {NULL, 0, 0, 0};
    if (run->opt->raw_wikitext && wt_raw_prepare(&run->raw, text, len))
        scan_lines(&warnings, name, run->raw.text, run->raw.len);
    else if (!run->opt->raw_wikitext)
        scan_lines(&warnings, name, text, len);
    wt_bytes_append(&warnings, it->before.data, it->before.len);
    wt_bytes_free(&it->before);
    it->before = warnings;
}

/* Reads and converts one input; what it made waits in its slot. */
static void prepare_input(struct run *run, size_t i, struct item *it, int hold)
{
    const struct options *opt = run->opt;
    const char *name = wt_display_name(run->files[i]);
    it->before.len = it->after.len = 0;
    it->text.len = 0;
    it->html = NULL;
    it->html_len = 0;
    it->masked = NULL;
    it->status = 0;
    it->found = 0;
    it->converted = 0;
    it->write_errno = 0;
    it->whole_lines = 0;
    it->tables = 0;
    it->seconds = 0;

    int fd = open_input(run->files[i]);
    if (fd < 0) {
        complain(&it->before, name, strerror(errno));
        it->status = EXIT_TROUBLE;
        return;
    }
    size_t nul_at = 0;
    int got = read_input(fd, &it->text, &nul_at);
    int saved = errno;
    if (fd != 0)
        close(fd);
    if (got == 0) {
        complain(&it->before, name, strerror(saved));
        it->status = EXIT_TROUBLE;
        return;
    }
    if (got < 0) {
        /* The library reads up to the first NUL: refuse rather than drop the rest. */
        wt_bytes_printf(&it->before, "wttable: %s: NUL byte at offset %zu; input must be text\n",
                        name,
                  nul_at);
        it->status = EXIT_TROUBLE;
        return;
    }

    const char *text = it->text.data;
    size_t len = it->text.len;
    if (opt->format != FORMAT_HTML) {
        double start = wt_seconds_now();
        prepare_data(run, i, it, name, text, len);
        if (!opt->quiet && (it->status == EXIT_FAILED || data_was_cut(run->data)))
            warn_before(run, it, name, text, len);
        it->seconds = wt_seconds_now() - start;
        return;
    }
    if (opt->raw_wikitext) {
        /* The text as read is needed no more: it becomes the prepared one. */
        char *data = it->text.data;
        size_t prepared_len = it->text.len, cap = it->text.cap;
        int ok = wt_raw_prepare_in_place(&run->raw, &data, &prepared_len, &cap);
        it->text.data = data;
        it->text.cap = cap;
        it->prepared_len = prepared_len;
        if (!ok) {
            complain(&it->before, name, strerror(ENOMEM));
            it->status = EXIT_TROUBLE;
            return;
        }
        if (run->raw.unmasked && !opt->quiet)
            wt_bytes_printf(&it->before, "wttable: %s: no two free control bytes to protect "
                      "templates with; converted without that step\n", name);
        text = it->text.data;
        len = prepared_len;
    }
    if (opt->check || opt->list) {
        it->found = wttable_has_tables(text);
        return;
    }
    if (!opt->quiet || opt->stats)
        it->tables = scan_lines(opt->quiet ? NULL : &it->before, name, text, len);

    double start = wt_seconds_now();
    const char *html = opt->tables_only ? wttable_to_html(text) : wttable_parse_document(text);
    size_t html_len = strlen(html);
    /* The masks are turned back as the HTML is written or held. */
    it->masked = opt->raw_wikitext && run->raw.masked != 0 ? &run->raw : NULL;
    it->seconds = wt_seconds_now() - start;

    if (*html == '\0' && *wttable_last_error() != '\0') {
        size_t line = wt_too_deep_line(text, len);
        if (line != 0)
            wt_bytes_printf(&it->before, "wttable: %s:%zu: %s: more than %d nested tables\n",
                            name, line,
                      wttable_last_error(), WTTABLE_MAX_DEPTH);
        else
            complain(&it->before, name, wttable_last_error());
        it->status = EXIT_FAILED;
        return;
    }
    it->html = html;
    it->html_len = html_len;
    if (hold && run->opt->output_dir == NULL && !hold_html(it)) {
        complain(&it->before, name, strerror(ENOMEM));
        it->status = EXIT_TROUBLE;
        return;
    }
    it->converted = 1;
    if (opt->output_dir != NULL && !write_to_dir(run->dir_targets[i], it, opt->raw))
        it->write_errno = errno ? errno : EIO;
}

static size_t prepare(void *ctx, size_t i, int slot, int hold)
{
    struct run *run = ctx;
    struct item *it = &run->items[slot];
    prepare_input(run, i, it, hold);
    return it->text.len + (hold ? it->html_len : 0);
}

/* At the input's turn: its messages, then its output, then its stats. */
static void emit_input(void *ctx, size_t i, int slot, struct wt_job_report *report)
{
    struct run *run = ctx;
    const struct options *opt = run->opt;
    struct item *it = &run->items[slot];
    const char *name = wt_display_name(run->files[i]);

    wt_write_all(2, it->before.data, it->before.len);
    report->status = it->status;
    report->found = it->found;
    if (opt->list && it->found) {
        if (!wt_write_all(1, name, strlen(name)) || !wt_write_all(1, "\n", 1))
            report->write_errno = errno;
        else if (wt_stdout_was_closed())
            report->write_errno = EBADF;
    } else if (it->converted && opt->output_dir != NULL) {
        report->write_errno = it->write_errno;
    } else if (it->converted) {
        if (!write_html(run->out.fd, it, opt->raw))
            report->write_errno = errno ? errno : EIO;
        else if (run->out.kind == WT_OUTPUT_STDOUT && wt_stdout_was_closed() && it->html_len > 0)
            report->write_errno = EBADF;
    }
    if (opt->stats) {
        unsigned long long out =
            report->status == 0 && report->write_errno == 0 ? html_bytes_out(it, opt->raw) : 0;
        stats_line(&it->after, name, it->text.len, out, it->tables, it->seconds);
        report->totals.convert.bytes_in = it->text.len;
        report->totals.convert.bytes_out = out;
        report->totals.convert.tables = it->tables;
        report->totals.convert.seconds = it->seconds;
        wt_write_all(2, it->after.data, it->after.len);
    }
    /* The same conditions end the run in collect_input. */
    report->stop = report->write_errno != 0 || (opt->check && report->found);
}

static int worse(int status, int other)
{
    return other > status ? other : status;
}

static int collect_input(void *ctx, size_t i, const struct wt_job_report *report)
{
    struct run *run = ctx;
    run->status = worse(run->status, report->status);
    run->found |= report->found;
    run->inputs++;
    run->total_in += report->totals.convert.bytes_in;
    run->total_out += report->totals.convert.bytes_out;
    run->total_tables += report->totals.convert.tables;
    run->total_seconds += report->totals.convert.seconds;
    if (report->write_errno != 0) {
        run->status = EXIT_TROUBLE;
        run->write_errno = report->write_errno;
        run->write_name = run->opt->output_dir != NULL ? run->dir_targets[i] : run->out.name;
        return 0;
    }
    if (run->opt->check && report->found)
        return 0; /* like grep -q: the answer is known */
    return 1;
}

enum {
    OPT_RAW = 256,
    OPT_STATS,
    OPT_OUTPUT_DIR,
    OPT_RAW_WIKITEXT,
    OPT_VERSION,
    OPT_FORMAT,
    OPT_DATA /* --spans, --br, --wikitext: told apart by their names */
};

static int parse_format(const char *arg, enum format *format)
{
    static const char *const names[] = {"html", "json", "csv", "tsv"};
    for (int k = 0; k < 4; k++) {
        if (strcmp(arg, names[k]) == 0) {
            *format = (enum format)k;
            return 1;
        }
    }
    return 0;
}

static int parse_args(int argc, char **argv, struct options *opt, int *first_file)
{
    static const struct option k_long[] = {
        {"tables-only", no_argument, NULL, 't'},
        {"output", required_argument, NULL, 'o'},
        {"output-dir", required_argument, NULL, OPT_OUTPUT_DIR},
        {"jobs", required_argument, NULL, 'j'},
        {"raw", no_argument, NULL, OPT_RAW},
        {"raw-wikitext", no_argument, NULL, OPT_RAW_WIKITEXT},
        {"check", no_argument, NULL, 'c'},
        {"files-with-tables", no_argument, NULL, 'l'},
        {"stats", no_argument, NULL, OPT_STATS},
        {"quiet", no_argument, NULL, 'q'},
        {"version", no_argument, NULL, OPT_VERSION},
        {"format", required_argument, NULL, OPT_FORMAT},
        {"spans", required_argument, NULL, OPT_DATA},
        {"br", required_argument, NULL, OPT_DATA},
        {"wikitext", no_argument, NULL, OPT_DATA},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    int outputs = 0;
    int help = 0, version = 0;
    opterr = 0;
    for (;;) {
        int long_index = 0;
        int c = getopt_long(argc, argv, ":to:j:clqh", k_long, &long_index);
        if (c == -1)
            break;
        switch (c) {
        case 't': opt->tables_only = 1; break;
        case 'o':
            opt->output = optarg;
            outputs++;
            break;
        case OPT_OUTPUT_DIR:
            opt->output_dir = optarg;
            outputs++;
            break;
        case 'j':
            if (!wt_jobs_parse(optarg, &opt->workers))
                return usage_error("-j needs a number of jobs from 0 to 1024, not '%s'", optarg);
            break;
        case OPT_RAW: opt->raw = 1; break;
        case OPT_RAW_WIKITEXT: opt->raw_wikitext = 1; break;
        case 'c': opt->check = 1; break;
        case 'l': opt->list = 1; break;
        case OPT_STATS: opt->stats = 1; break;
        case 'q': opt->quiet = 1; break;
        case OPT_VERSION: version = 1; break;
        case OPT_FORMAT:
            if (!parse_format(optarg, &opt->format))
                return usage_error("unknown format '%s': html, json, csv or tsv", optarg);
            break;
        case OPT_DATA:
            if (!wt_data_option(k_program, k_usage, k_long[long_index].name, optarg,
                                &opt->data_options))
                return 0;
            break;
        case 'h': help = 1; break;
        default:
            return wt_option_error(k_program, k_usage, c, argv);
        }
    }
    if (opt->raw_wikitext)
        opt->data_options |= WTT_RAW_WIKITEXT;
    if (help)
        wt_print_and_exit(k_program, k_usage, k_help);
    if (version)
        wt_print_version_and_exit(k_program);
    if (outputs > 1)
        return usage_error("give one output: -o FILE or --output-dir DIR, once");
    if (opt->check && opt->list)
        return usage_error("-c and -l exclude each other");
    if (opt->check || opt->list) {
        const char *mode = opt->check ? "-c" : "-l";
        if (opt->output != NULL)
            return usage_error("%s writes no HTML: -o means nothing with it", mode);
        if (opt->output_dir != NULL)
            return usage_error("%s writes no HTML: --output-dir means nothing with it", mode);
        if (opt->raw)
            return usage_error("%s writes no HTML: --raw means nothing with it", mode);
        if (opt->stats)
            return usage_error("%s converts nothing: --stats means nothing with it", mode);
        if (opt->format != FORMAT_HTML)
            return usage_error("%s writes nothing: --format means nothing with it", mode);
    }
    if (opt->output != NULL && opt->output[0] == '\0')
        return usage_error("empty output name");
    if (opt->output_dir != NULL && opt->output_dir[0] == '\0')
        return usage_error("empty output folder name");
    *first_file = optind;
    return 1;
}

/* --output-dir: DIR/NAME.html for each input NAME.wiki or NAME, refused
 * before anything is written when an input has no name or two inputs would
 * write the same file. */
static int plan_dir_targets(struct run *run)
{
    const char *dir = run->opt->output_dir;
    struct stat st;
    if (stat(dir, &st) != 0) {
        fprintf(stderr, "wttable: %s: %s\n", dir, strerror(errno));
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "wttable: %s: %s\n", dir, strerror(ENOTDIR));
        return 0;
    }
    run->dir_targets = calloc(run->count, sizeof *run->dir_targets);
    if (run->dir_targets == NULL)
        return 0;
    size_t dir_len = strlen(dir);
    int slash = dir_len > 0 && dir[dir_len - 1] == '/';
    for (size_t i = 0; i < run->count; i++) {
        const char *path = run->files[i];
        if (strcmp(path, "-") == 0) {
            fprintf(stderr, "wttable: --output-dir: standard input has no name to write under\n");
            return 0;
        }
        const char *base = strrchr(path, '/');
        base = base != NULL ? base + 1 : path;
        size_t base_len = strlen(base);
        if (base_len > 5 && strcmp(base + base_len - 5, ".wiki") == 0)
            base_len -= 5;
        if (base_len == 0 || (base_len == 1 && base[0] == '.') ||
            (base_len == 2 && base[0] == '.' && base[1] == '.')) {
            fprintf(stderr, "wttable: %s: no file name to write under\n", path);
            return 0;
        }
        /* JSON lines go to NAME.jsonl; the tables of csv and tsv to
         * NAME.T.csv, named after NAME.html. */
        const char *ext = run->opt->format == FORMAT_JSON ? ".jsonl" : ".html";
        size_t need = dir_len + 1 + base_len + strlen(ext) + 1;
        char *target = malloc(need);
        if (target == NULL)
            return 0;
        snprintf(target, need, "%s%s%.*s%s", dir, slash ? "" : "/", (int)base_len, base, ext);
        for (size_t j = 0; j < i; j++) {
            if (strcmp(run->dir_targets[j], target) == 0) {
                fprintf(stderr, "wttable: %s and %s would both write %s\n", run->files[j], path,
                        target);
                free(target);
                return 0;
            }
        }
        run->dir_targets[i] = target;
    }
    return 1;
}

static void free_run(struct run *run)
{
    for (size_t i = 0; i < WT_JOBS_AHEAD; i++) {
        struct item *it = &run->items[i];
        wt_bytes_free(&it->text);
        wt_bytes_free(&it->held);
        wt_bytes_free(&it->before);
        wt_bytes_free(&it->after);
    }
    for (size_t i = 0; run->dir_targets != NULL && i < run->count; i++)
        free(run->dir_targets[i]);
    free(run->dir_targets);
    wt_raw_free(&run->raw);
    wtt_free(run->data);
}

/* The exit status of a finished run. */
static int run_status(const struct run *run)
{
    if (run->opt->check && run->found)
        return 0;
    if ((run->opt->check || run->opt->list) && run->status == 0 && !run->found)
        return EXIT_NONE_FOUND;
    return run->status;
}

int main(int argc, char **argv)
{
    wt_standard_fds_guard();
    wt_signals_install("wttable");

    struct options opt;
    memset(&opt, 0, sizeof opt);
    opt.workers = 1;
    int first = argc;
    if (!parse_args(argc, argv, &opt, &first))
        return EXIT_TROUBLE;

    static char *k_stdin_only[] = {"-", NULL};
    struct run run;
    memset(&run, 0, sizeof run);
    run.opt = &opt;
    run.files = first < argc ? argv + first : k_stdin_only;
    run.count = first < argc ? (size_t)(argc - first) : 1;
    wt_raw_init(&run.raw);
    if ((opt.format == FORMAT_CSV || opt.format == FORMAT_TSV) && opt.output_dir == NULL &&
        run.count > 1) {
        fprintf(stderr, "wttable: csv and tsv write one table to standard output: "
                        "give --output-dir DIR for several inputs\n");
        return EXIT_TROUBLE;
    }
    if (opt.format != FORMAT_HTML && (run.data = wtt_new()) == NULL) {
        fprintf(stderr, "wttable: %s\n", strerror(ENOMEM));
        return EXIT_TROUBLE;
    }

    if ((opt.output_dir != NULL && !plan_dir_targets(&run)) ||
        !wt_output_open(&run.out, opt.output_dir == NULL ? opt.output : NULL)) {
        if (opt.output_dir == NULL)
            fprintf(stderr, "wttable: %s: %s\n", opt.output, strerror(errno));
        free_run(&run);
        return EXIT_TROUBLE;
    }

    opt.workers = wt_jobs_worth(run.files, run.count, opt.workers);
    /* Standard input and FIFOs are read once, in order: they go to one worker. */
    int *pinned = NULL;
    if (opt.workers > 1 && (pinned = malloc(run.count * sizeof *pinned)) != NULL)
        for (size_t i = 0; i < run.count; i++)
            pinned[i] = wt_jobs_pin_input(run.files[i]);
    struct wt_jobs jobs = {run.count, opt.workers, pinned, 0, &run, prepare, emit_input,
                           collect_input};
    if (!wt_jobs_run(&jobs, "wttable"))
        run.status = EXIT_TROUBLE;
    free(pinned);

    int keep = run.status == 0 && run.write_errno == 0;
    char *kept_copy = NULL;
    if (!wt_output_close(&run.out, keep, &kept_copy) && keep) {
        run.write_errno = errno ? errno : EIO;
        run.write_name = run.out.name;
    }
    if (run.write_errno != 0) {
        fprintf(stderr, "wttable: %s: %s\n", run.write_name, strerror(run.write_errno));
        if (kept_copy != NULL)
            fprintf(stderr, "wttable: the whole output is kept in %s\n", kept_copy);
        run.status = EXIT_TROUBLE;
    }
    free(kept_copy);
    if (opt.stats && run.inputs > 0) {
        struct wt_bytes total = {NULL, 0, 0, 0};
        char label[64];
        snprintf(label, sizeof label, "total: %zu %s", run.inputs,
                 wt_plural(run.inputs, "input", "inputs"));
        stats_line(&total, label, run.total_in, run.total_out, run.total_tables,
                   run.total_seconds);
        wt_write_all(2, total.data, total.len);
        wt_bytes_free(&total);
    }
    int status = run_status(&run);
    free_run(&run);
    return status;
}
