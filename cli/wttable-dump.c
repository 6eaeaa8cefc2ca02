/* wttable-dump: every table of every page of a wiki XML export dump, as
 * JSON Lines.  This file holds the options and the run: the files one after
 * another or in workers, and one file's revisions in worker processes.  The
 * reading is wt_dump_reader's (libarchive, expat), each revision's line
 * wt_record's (the library converts), what is said on standard error
 * wt_progress's. */
#define _GNU_SOURCE

#include <errno.h>
#include <expat.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "wt_bytes.h"
#include "wt_cli.h"
#include "wt_dump_reader.h"
#include "wt_dump_split.h"
#include "wt_io.h"
#include "wt_jobs.h"
#include "wt_output.h"
#include "wt_progress.h"
#include "wt_record.h"
#include "wt_signals.h"
#include "wt_stdfds.h"
#include "wttable.h"

enum { EXIT_FAILED = 1, EXIT_TROUBLE = 2 };
enum { MAX_NAMESPACE_ARGS = 64, FLUSH_BYTES = 1 << 20 };

static const char k_program[] = "wttable-dump";

static const char k_usage[] =
    "usage: wttable-dump [--namespace N|all]... [--all-pages] [--exact] [-j N]\n"
    "                    [--index FILE] [--keep-going]\n"
    "                    [--format html|data|both | --format csv --output-dir DIR]\n"
    "                    [--spans fill|blank]\n"
    "                    [--br newline|space] [--wikitext] [--max-pages N]\n"
    "                    [--progress|--no-progress] [--stats] [-q] [-o FILE] [FILE...|-]\n";

#define usage_error(...) wt_usage_error(k_program, k_usage, __VA_ARGS__)

static const char k_help[] =
    "Writes every table of every page of MediaWiki XML export dumps (plain, or\n"
    "compressed with bzip2, gzip, xz or zstd) as JSON Lines: one object per\n"
    "revision that holds a table, {\"id\", \"ns\", \"title\", \"revision\",\n"
    "\"timestamp\", \"tables\": [{\"line\", \"html\"}, ...]}.  Several files are one\n"
    "stream of pages, in the order given.\n"
    "\n"
    "      --namespace N        pages of namespace N (repeatable; default 0, the\n"
    "                           articles); \"all\" for every namespace\n"
    "      --all-pages          also revisions without tables (\"tables\": [])\n"
    "      --exact              convert the text exactly as the dump holds it, without\n"
    "                           the preparation of raw pages (templates, comments,\n"
    "                           lone \"|\" lines)\n"
    "  -j, --jobs N             N files at once, or one file in N processes (0: one\n"
    "                           per core): a multistream bzip2 file or a plain XML\n"
    "                           file is cut into parts each process reads whole;\n"
    "                           output as with one\n"
    "      --index FILE         the multistream file's index (...-multistream-index\n"
    "                           .txt.bz2): where its streams begin, without a scan\n"
    "      --keep-going         a multistream file's damaged bzip2 stream: skip its\n"
    "                           pages with a warning and go on (exit status 1)\n"
    "      --format FORMAT      html (the default); data: each table's record (rows,\n"
    "                           columns, clean cell text; nested tables too) in\n"
    "                           place of its HTML; both: the records, the top-level\n"
    "                           ones with their \"html\"\n"
    "                           csv (with --output-dir DIR): each table as\n"
    "                           DIR/<id mod 1000>/<id>-<revision>-<T>.csv, and a line\n"
    "                           for it in DIR/tables.jsonl (the page's fields and\n"
    "                           the record less its grids and cells)\n"
    "      --output-dir DIR     --format csv: where the files go\n"
    "      --spans fill|blank   data: a spanned slot repeats its cell's text, or is \"\"\n"
    "      --br newline|space   data: what <br> becomes in cell text\n"
    "      --wikitext           data: each cell's wikitext as well\n"
    "      --max-pages N        stop after N pages of the chosen namespaces\n"
    "      --progress           show pages, tables and MB read on standard error\n"
    "      --no-progress        (the default is on when standard error is a terminal)\n"
    "      --stats              print a summary at the end\n"
    "  -o, --output FILE        write to FILE, replaced when the run ends\n"
    "  -q, --quiet              no warnings\n"
    "      --version            print the library's version\n"
    "  -h, --help               print this help\n"
    "\n"
    "Exit status: 0 success, 1 a revision's conversion failed or a damaged stream\n"
    "was skipped, 2 a dump is cut off, malformed or unreadable, a write error, or\n"
    "bad usage.\n";

struct options {
    enum wt_record_format format;
    const char *output_dir; /* --format csv: the tables' files and tables.jsonl */
    unsigned data_options;
    int all_namespaces;
    long namespaces[MAX_NAMESPACE_ARGS];
    int namespace_count;
    int all_pages;
    int exact;
    int workers;
    const char *index;   /* --index: the multistream file's stream starts */
    int keep_going;
    long long max_pages; /* -1: no limit */
    int progress;        /* -1: when standard error is a terminal */
    int stats;
    int quiet;
    const char *output;
};

/* One file's reading and writing. */
struct dump {
    const struct options *opt;
    struct wt_record_options record_opt;
    struct wt_dump_reader reader;
    struct wt_record_writer writer;
    int out_fd;
    struct wt_bytes out;   /* JSON lines not yet written */
    struct wt_bytes *msgs; /* warnings and errors, written by the caller */
    int write_errno;
    int status;
    struct wt_dump_totals totals;
    struct wt_stream *stream; /* -j with one file: revisions go to workers */
    struct wt_dump_totals streamed; /* the workers' results, as collected */
    int streamed_status;
    int files_failed;       /* --format csv: a table's file could not be written */
    int progress;          /* show the progress line */
    struct wt_progress shown;
};

static void add_totals(struct wt_dump_totals *to, const struct wt_dump_totals *from)
{
    to->pages += from->pages;
    to->revisions += from->revisions;
    to->objects += from->objects;
    to->tables += from->tables;
    to->failed += from->failed;
    to->bytes += from->bytes;
}

static void flush_output(struct dump *d)
{
    if (d->out.len == 0)
        return;
    if (d->write_errno == 0 && !wt_write_all(d->out_fd, d->out.data, d->out.len))
        d->write_errno = errno ? errno : EIO;
    d->out.len = 0;
}

/* --format csv: the last revision's tables, each its own file in the output
 * folder (made as needed).  A failure ends the run as a write error does. */
static void write_table_files(struct dump *d)
{
    const struct wt_record_writer *w = &d->writer;
    for (size_t i = 0; i < w->file_count && !d->files_failed; i++) {
        const char *name = w->files.data + w->file_list[i].path;
        char path[PATH_MAX];
        int n = snprintf(path, sizeof path, "%s/%s", d->opt->output_dir, name);
        int err = n < 0 || (size_t)n >= sizeof path ? ENAMETOOLONG : 0;
        char *slash = err == 0 ? strrchr(path, '/') : NULL;
        if (slash != NULL) {
            *slash = '\0';
            if (mkdir(path, 0777) != 0 && errno != EEXIST)
                err = errno;
            *slash = '/';
        }
        if (err != 0) {
            wt_bytes_printf(d->msgs, "wttable-dump: %s: %s\n", path, strerror(err));
            d->files_failed = 1;
            d->status = EXIT_TROUBLE;
            break;
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        int ok = fd >= 0 && wt_write_all(fd, w->files.data + w->file_list[i].data,
                                        w->file_list[i].data_len);
        int saved = errno;
        if (fd >= 0 && close(fd) != 0 && ok) {
            ok = 0;
            saved = errno;
        }
        if (!ok) {
            /* Named here, and no further file tried: the folder is the trouble. */
            wt_bytes_printf(d->msgs, "wttable-dump: %s: %s\n", path, strerror(saved ? saved : EIO));
            d->files_failed = 1;
            d->status = EXIT_TROUBLE;
        }
    }
}

/* A revision converted in this process: its line joins the output. */
static void write_record(struct dump *d, struct wt_revision *rev)
{
    unsigned long long tables;
    d->totals.revisions++;
    switch (wt_record_write(&d->writer, &d->record_opt, d->reader.name, rev, &d->out, d->msgs,
                            &tables)) {
    case WT_RECORD_NONE:
        return;
    case WT_RECORD_NO_MEMORY:
        d->status = EXIT_TROUBLE;
        return;
    case WT_RECORD_FAILED:
        d->totals.failed++;
        if (d->status < EXIT_FAILED)
            d->status = EXIT_FAILED;
        break;
    case WT_RECORD_WRITTEN:
        if (d->opt->format == WT_RECORD_CSV)
            write_table_files(d);
        break;
    }
    d->totals.objects++;
    d->totals.tables += tables;
    if (d->out.len >= FLUSH_BYTES && d->out_fd >= 0)
        flush_output(d);
}

static void stream_send(struct dump *d, const struct wt_revision *rev);

static void on_revision(void *ctx, struct wt_revision *rev)
{
    struct dump *d = ctx;
    if (d->stream != NULL)
        stream_send(d, rev);
    else
        write_record(d, rev);
}

static void show_progress(struct dump *d, int final)
{
    const struct wt_dump_reader *r = &d->reader;
    struct wt_progress_state state = {
        r->name, r->pages,
        d->totals.tables +
            (d->stream != NULL ? __atomic_load_n(&d->streamed.tables, __ATOMIC_RELAXED) : 0),
        r->bytes_read, r->source != NULL ? wt_source_position(r->source) : 0, r->file_size};
    wt_progress_show(&d->shown, &state, final);
}

static void on_progress(void *ctx)
{
    show_progress(ctx, 0);
}

static int want_progress(const struct options *opt)
{
    return opt->progress > 0 || (opt->progress < 0 && isatty(2));
}

/* Reads one file through to its end or first fault.  What it writes goes to
 * d->out_fd; messages to d->msgs. */
static void dump_file(struct dump *d, const char *path)
{
    struct wt_dump_reader *r = &d->reader;
    r->name = wt_display_name(path);
    r->msgs = d->msgs;
    r->status = 0;
    r->pages = 0;
    r->ctx = d;
    r->on_revision = on_revision;
    r->on_progress = d->progress ? on_progress : NULL;
    wt_progress_start(&d->shown);
    wt_dump_read_file(r, path);
    if (r->status > d->status)
        d->status = r->status;
    flush_output(d);
    /* With workers the final line waits for their last results. */
    if (d->progress && d->stream == NULL)
        show_progress(d, 1);
    d->totals.pages += r->pages;
    d->totals.bytes += (unsigned long long)r->bytes_read;
}

/* -j with one file: this process reads, decompresses and parses, and
 * streams each revision to a worker process that prepares, converts and
 * writes its JSON (wt_stream); the results come back in revision order. */
struct rev_header {
    int has_page_id, has_rev_id, has_timestamp;
    long ns;
    size_t title_len, page_id_len, rev_id_len, timestamp_len, text_len;
};

static void stream_send(struct dump *d, const struct wt_revision *rev)
{
    struct rev_header h;
    memset(&h, 0, sizeof h);
    h.has_page_id = rev->has_page_id;
    h.has_rev_id = rev->has_rev_id;
    h.has_timestamp = rev->has_timestamp;
    h.ns = rev->ns;
    h.title_len = rev->title.len;
    h.page_id_len = rev->page_id.len;
    h.rev_id_len = rev->rev_id.len;
    h.timestamp_len = rev->timestamp.len;
    h.text_len = rev->text.len;
    const void *parts[] = {&h, rev->title.data, rev->page_id.data, rev->rev_id.data,
                           rev->timestamp.data, rev->text.data};
    size_t lens[] = {sizeof h, h.title_len, h.page_id_len, h.rev_id_len, h.timestamp_len,
                     h.text_len};
    if (!wt_stream_send(d->stream, parts, lens, sizeof lens / sizeof lens[0]))
        wt_dump_reader_stop(&d->reader);
}

/* Copies the next `len` bytes of an item into a field, NUL-terminated as
 * the reader leaves its fields. */
static int take_field(struct wt_bytes *field, const char **at, size_t len)
{
    field->len = 0;
    if (!wt_bytes_reserve(field, len))
        return 0;
    memcpy(field->data, *at, len);
    field->data[len] = '\0';
    field->len = len;
    *at += len;
    return 1;
}

static void stream_work(void *ctx, const char *item, size_t len, struct wt_stream_result *result)
{
    struct dump *d = ctx;
    static struct wt_revision rev;
    static struct wt_bytes msgs;
    struct rev_header h;
    if (len < sizeof h)
        _exit(3);
    memcpy(&h, item, sizeof h);
    const char *at = item + sizeof h;
    if (!take_field(&rev.title, &at, h.title_len) || !take_field(&rev.page_id, &at, h.page_id_len) ||
        !take_field(&rev.rev_id, &at, h.rev_id_len) ||
        !take_field(&rev.timestamp, &at, h.timestamp_len) ||
        !take_field(&rev.text, &at, h.text_len))
        _exit(3);
    rev.has_page_id = h.has_page_id;
    rev.has_rev_id = h.has_rev_id;
    rev.has_timestamp = h.has_timestamp;
    rev.ns = h.ns;
    d->stream = NULL;
    d->out_fd = -1;
    d->msgs = &msgs;
    d->out.len = 0;
    msgs.len = 0;
    memset(&d->totals, 0, sizeof d->totals);
    d->status = 0;
    write_record(d, &rev);
    result->out = d->out.data;
    result->out_len = d->out.len;
    result->msgs = msgs.data;
    result->msgs_len = msgs.len;
    result->report.status = d->status;
    result->report.totals.dump = d->totals;
}

/* In the writer thread: the progress line reads the tables meanwhile. */
static void stream_collect(void *ctx, const struct wt_job_report *report)
{
    struct dump *d = ctx;
    const struct wt_dump_totals *t = &report->totals.dump;
    if (report->status > d->streamed_status)
        d->streamed_status = report->status;
    d->streamed.revisions += t->revisions;
    d->streamed.objects += t->objects;
    __atomic_add_fetch(&d->streamed.tables, t->tables, __ATOMIC_RELAXED);
    d->streamed.failed += t->failed;
}

/* One file through the workers; returns 0 when they could not be started
 * (the caller then reads the file in this process). */
static int dump_file_streamed(struct dump *d, const char *path, int workers)
{
    struct wt_stream stream;
    memset(&stream, 0, sizeof stream);
    stream.workers = workers;
    stream.out_fd = d->out_fd;
    stream.msgs = d->msgs;
    stream.ctx = d;
    stream.work = stream_work;
    stream.collect = stream_collect;
    d->reader.name = wt_display_name(path); /* the workers' messages name the file */
    memset(&d->streamed, 0, sizeof d->streamed);
    d->streamed_status = 0;
    if (!wt_stream_start(&stream))
        return 0;

    /* This process's own messages wait until the revisions' are in. */
    struct wt_bytes own = {NULL, 0, 0, 0};
    d->msgs = &own;
    d->stream = &stream;
    dump_file(d, path);
    d->stream = NULL;
    int complete = wt_stream_finish(&stream);
    d->msgs = stream.msgs;
    if (!complete) {
        wt_bytes_printf(d->msgs, "wttable-dump: %s: a worker process ended unexpectedly\n",
                        d->reader.name);
        d->status = EXIT_TROUBLE;
    }
    wt_bytes_append(d->msgs, own.data, own.len);
    wt_bytes_free(&own);
    if (d->streamed_status > d->status)
        d->status = d->streamed_status;
    if (stream.write_errno != 0 && d->write_errno == 0)
        d->write_errno = stream.write_errno;
    add_totals(&d->totals, &d->streamed); /* the workers count no pages or bytes */
    if (d->progress)
        show_progress(d, 1);
    return 1;
}

/* The run over all files: one after another, or by parts in workers. */
struct run {
    const struct options *opt;
    char **files;
    size_t count;
    struct wt_output out;
    struct dump dump;
    struct wt_bytes msgs;
    struct part {
        int spool;               /* -1: written straight to the output */
        int spool_failed;        /* holding it in TMPDIR failed: the run stops */
        struct wt_bytes msgs;
        int status;
        int write_errno;
        struct wt_dump_totals totals;
    } parts[WT_JOBS_AHEAD];
    int status;
    int write_errno;
    struct wt_dump_totals totals;
    double started;
};

static const char *spool_dir(void)
{
    const char *dir = getenv("TMPDIR");
    return dir == NULL || dir[0] == '\0' ? "/tmp" : dir;
}

/* A part converted ahead of its turn waits in an unlinked temporary file:
 * its size is bounded by the disk, not by memory. */
static int open_spool(void)
{
    const char *dir = spool_dir();
    int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    char path[4096];
    snprintf(path, sizeof path, "%s/wttable-dump-XXXXXX", dir);
    fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0)
        unlink(path);
    return fd;
}

/* Holding a part in TMPDIR failed: the run stops there, naming the folder
 * (not the output, which is fine). */
static void spool_failed(struct part *p, const char *path, const char *what, int err)
{
    wt_bytes_printf(&p->msgs, "wttable-dump: %s: %s in %s (TMPDIR): %s\n",
                    wt_display_name(path), what, spool_dir(), strerror(err));
    p->status = EXIT_TROUBLE;
    p->spool_failed = 1;
}

static size_t prepare_part(void *ctx, size_t i, int slot, int hold)
{
    struct run *run = ctx;
    struct part *p = &run->parts[slot];
    struct dump *d = &run->dump;
    p->msgs.len = 0;
    p->spool = -1;
    p->spool_failed = 0;
    memset(&d->totals, 0, sizeof d->totals);
    d->msgs = &p->msgs;
    d->status = 0;
    d->write_errno = 0;
    d->out_fd = run->out.fd;
    if (hold) {
        p->spool = open_spool();
        if (p->spool < 0) {
            spool_failed(p, run->files[i], "cannot make a temporary file", errno);
            return 0;
        }
        d->out_fd = p->spool;
    }
    if (run->opt->workers <= 1 || run->count > 1 || !dump_file_streamed(d, run->files[i],
                                                                          run->opt->workers))
        dump_file(d, run->files[i]);
    p->status = d->status;
    p->write_errno = d->write_errno;
    p->totals = d->totals;
    if (p->spool >= 0 && p->write_errno != 0) {
        /* The part was held in the temporary folder, not written to the
         * output: name the folder that failed. */
        spool_failed(p, run->files[i], "cannot hold the output", p->write_errno);
        p->write_errno = 0;
    }
    return 0;
}

static void emit_part(void *ctx, size_t i, int slot, struct wt_job_report *report)
{
    struct run *run = ctx;
    struct part *p = &run->parts[slot];
    (void)i;
    wt_write_all(2, p->msgs.data, p->msgs.len);
    report->write_errno = p->write_errno;
    if (p->spool >= 0) {
        if (report->write_errno == 0 && !wt_copy_from_start(p->spool, run->out.fd))
            report->write_errno = errno ? errno : EIO;
        close(p->spool);
        p->spool = -1;
    }
    report->status = p->status;
    report->totals.dump = p->totals;
    report->stop = report->write_errno != 0 || p->spool_failed;
}

static int collect_part(void *ctx, size_t i, const struct wt_job_report *report)
{
    struct run *run = ctx;
    (void)i;
    if (report->status > run->status)
        run->status = report->status;
    add_totals(&run->totals, &report->totals.dump);
    if (report->write_errno != 0) {
        run->write_errno = report->write_errno;
        return 0;
    }
    return 1;
}

/* One file cut into ranges (wt_dump_split), each read whole by a worker;
 * a range's lines and messages are held until its turn. */
struct split_run {
    struct run *run;
    const char *path;
    struct wt_dump_split split;
    char where[96];
    struct range_part {
        struct wt_bytes out, msgs;
        int status;
        struct wt_dump_totals totals;
    } parts[WT_JOBS_AHEAD];
    unsigned long long pages, tables; /* collected so far, for the progress line */
    long long bytes;
    struct wt_progress shown;
};

static size_t prepare_range(void *ctx, size_t i, int slot, int hold)
{
    struct split_run *sr = ctx;
    struct range_part *p = &sr->parts[slot];
    struct dump *d = &sr->run->dump;
    struct wt_dump_reader *r = &d->reader;
    (void)hold;
    p->msgs.len = 0;
    /* The slot's buffer becomes the lines' buffer while the range is read. */
    struct wt_bytes spare = d->out;
    d->out = p->out;
    d->out.len = 0;
    d->out_fd = -1;
    d->msgs = &p->msgs;
    d->status = 0;
    memset(&d->totals, 0, sizeof d->totals);
    r->name = wt_display_name(sr->path);
    snprintf(sr->where, sizeof sr->where, "the streams at bytes %lld-%lld, ", sr->split.cuts[i],
             sr->split.cuts[i + 1] - 1);
    r->where = sr->where;
    r->msgs = d->msgs;
    r->status = 0;
    r->pages = 0;
    r->ctx = d;
    r->on_revision = on_revision;
    r->on_progress = NULL;
    wt_dump_split_read(&sr->split, i, r, sr->run->opt->keep_going);
    r->where = NULL;
    if (r->status > d->status)
        d->status = r->status;
    d->totals.pages = r->pages;
    d->totals.bytes = (unsigned long long)r->bytes_read;
    p->out = d->out;
    p->status = d->status;
    p->totals = d->totals;
    d->out = spare;
    return p->out.len + p->msgs.len;
}

static void emit_range(void *ctx, size_t i, int slot, struct wt_job_report *report)
{
    struct split_run *sr = ctx;
    struct range_part *p = &sr->parts[slot];
    (void)i;
    if (!wt_write_all(sr->run->out.fd, p->out.data, p->out.len))
        report->write_errno = errno ? errno : EIO;
    wt_write_all(2, p->msgs.data, p->msgs.len);
    report->status = p->status;
    report->totals.dump = p->totals;
    /* A range that could not be read whole ends the output there, as one
     * reader of the file stops at its fault. */
    report->stop = report->write_errno != 0 || p->status >= EXIT_TROUBLE;
    /* Held memory goes back, but not below a block's worth. */
    if (p->out.cap > 4 * FLUSH_BYTES)
        wt_bytes_free(&p->out);
}

static int collect_range(void *ctx, size_t i, const struct wt_job_report *report)
{
    struct split_run *sr = ctx;
    if (sr->run->dump.progress) {
        sr->pages += report->totals.dump.pages;
        sr->tables += report->totals.dump.tables;
        sr->bytes += (long long)report->totals.dump.bytes;
        struct wt_progress_state state = {wt_display_name(sr->path), sr->pages, sr->tables,
                                          sr->bytes, sr->split.cuts[i + 1], sr->split.size};
        wt_progress_show(&sr->shown, &state, i + 1 == sr->split.count);
    }
    return collect_part(sr->run, i, report);
}

/* Returns 0 when the file is not to be split (the caller reads it as
 * usual), 1 when it was read, and 2 on a planning error (said). */
static int dump_split_file(struct run *run, const char *path, int workers)
{
    static struct split_run sr;
    const struct options *opt = run->opt;
    struct wt_bytes msgs = {NULL, 0, 0, 0};
    memset(&sr, 0, sizeof sr);
    sr.run = run;
    sr.path = path;
    /* Parts of a few MB, several a worker: small enough to hold, enough
     * of them that the workers end together. */
    enum wt_split_plan plan = wt_dump_split_plan(&sr.split, path, opt->index,
                                                 8 * (size_t)workers, 4 << 20, &msgs);
    if (plan != WT_SPLIT_YES) {
        wt_write_all(2, msgs.data, msgs.len);
        wt_bytes_free(&msgs);
        wt_dump_split_free(&sr.split);
        if (plan == WT_SPLIT_ERROR)
            return 2;
        if (opt->index != NULL && !opt->quiet)
            fprintf(stderr, "wttable-dump: %s: not a multistream bzip2 file: --index unused\n",
                    wt_display_name(path));
        return 0;
    }
    wt_bytes_free(&msgs);
    wt_progress_start(&sr.shown);
    struct wt_jobs jobs = {sr.split.count, workers, NULL, 1, &sr, prepare_range, emit_range,
                           collect_range};
    if (!wt_jobs_run(&jobs, "wttable-dump"))
        run->status = EXIT_TROUBLE;
    for (size_t k = 0; k < WT_JOBS_AHEAD; k++) {
        wt_bytes_free(&sr.parts[k].out);
        wt_bytes_free(&sr.parts[k].msgs);
    }
    wt_progress_free(&sr.shown);
    wt_dump_split_free(&sr.split);
    return 1;
}

static int parse_long(const char *arg, long long lo, long long hi, long long *value)
{
    char *end;
    errno = 0;
    long long v = strtoll(arg, &end, 10);
    if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi)
        return 0;
    *value = v;
    return 1;
}

enum {
    OPT_NAMESPACE = 256, OPT_ALL_PAGES, OPT_EXACT, OPT_MAX_PAGES, OPT_PROGRESS, OPT_NO_PROGRESS,
    OPT_STATS, OPT_VERSION, OPT_FORMAT, OPT_DATA, OPT_OUTPUT_DIR, OPT_INDEX, OPT_KEEP_GOING
};

static int parse_args(int argc, char **argv, struct options *opt, int *first_file)
{
    static const struct option k_long[] = {
        {"namespace", required_argument, NULL, OPT_NAMESPACE},
        {"all-pages", no_argument, NULL, OPT_ALL_PAGES},
        {"exact", no_argument, NULL, OPT_EXACT},
        {"jobs", required_argument, NULL, 'j'},
        {"index", required_argument, NULL, OPT_INDEX},
        {"keep-going", no_argument, NULL, OPT_KEEP_GOING},
        {"max-pages", required_argument, NULL, OPT_MAX_PAGES},
        {"progress", no_argument, NULL, OPT_PROGRESS},
        {"no-progress", no_argument, NULL, OPT_NO_PROGRESS},
        {"stats", no_argument, NULL, OPT_STATS},
        {"output", required_argument, NULL, 'o'},
        {"quiet", no_argument, NULL, 'q'},
        {"version", no_argument, NULL, OPT_VERSION},
        {"format", required_argument, NULL, OPT_FORMAT},
        {"output-dir", required_argument, NULL, OPT_OUTPUT_DIR},
        {"spans", required_argument, NULL, OPT_DATA},
        {"br", required_argument, NULL, OPT_DATA},
        {"wikitext", no_argument, NULL, OPT_DATA},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    int outputs = 0, help = 0, version = 0, progress_given = 0;
    long long v;
    opterr = 0;
    for (;;) {
        int long_index = 0;
        int c = getopt_long(argc, argv, ":j:o:qh", k_long, &long_index);
        if (c == -1)
            break;
        switch (c) {
        case OPT_NAMESPACE:
            if (strcmp(optarg, "all") == 0) {
                opt->all_namespaces = 1;
            } else if (!parse_long(optarg, -1000000, 1000000000, &v)) {
                return usage_error("--namespace needs a namespace number or \"all\", not '%s'",
                                   optarg);
            } else if (opt->namespace_count == MAX_NAMESPACE_ARGS) {
                return usage_error("at most %d --namespace options", MAX_NAMESPACE_ARGS);
            } else {
                opt->namespaces[opt->namespace_count++] = (long)v;
            }
            break;
        case OPT_ALL_PAGES: opt->all_pages = 1; break;
        case OPT_EXACT: opt->exact = 1; break;
        case 'j':
            if (!wt_jobs_parse(optarg, &opt->workers))
                return usage_error("-j needs a number of jobs from 0 to 1024, not '%s'", optarg);
            break;
        case OPT_MAX_PAGES:
            if (!parse_long(optarg, 1, (long long)1 << 62, &opt->max_pages))
                return usage_error("--max-pages needs a whole number above 0, not '%s'", optarg);
            break;
        case OPT_PROGRESS:
        case OPT_NO_PROGRESS:
            if (progress_given++)
                return usage_error("give --progress or --no-progress once");
            opt->progress = c == OPT_PROGRESS;
            break;
        case OPT_STATS: opt->stats = 1; break;
        case 'o':
            opt->output = optarg;
            outputs++;
            break;
        case 'q': opt->quiet = 1; break;
        case OPT_VERSION: version = 1; break;
        case OPT_FORMAT:
            if (strcmp(optarg, "html") == 0)
                opt->format = WT_RECORD_HTML;
            else if (strcmp(optarg, "data") == 0)
                opt->format = WT_RECORD_DATA;
            else if (strcmp(optarg, "both") == 0)
                opt->format = WT_RECORD_BOTH;
            else if (strcmp(optarg, "csv") == 0)
                opt->format = WT_RECORD_CSV;
            else
                return usage_error("unknown format '%s': html, data, both or csv", optarg);
            break;
        case OPT_DATA:
            if (!wt_data_option(k_program, k_usage, k_long[long_index].name, optarg,
                                &opt->data_options))
                return 0;
            break;
        case OPT_OUTPUT_DIR: opt->output_dir = optarg; break;
        case OPT_INDEX: opt->index = optarg; break;
        case OPT_KEEP_GOING: opt->keep_going = 1; break;
        case 'h': help = 1; break;
        default:
            return wt_option_error(k_program, k_usage, c, argv);
        }
    }
    if (help)
        wt_print_and_exit(k_program, k_usage, k_help);
    if (version)
        wt_print_version_and_exit(k_program);
    if (outputs > 1)
        return usage_error("give one output: -o FILE, once");
    if (opt->output != NULL && opt->output[0] == '\0')
        return usage_error("empty output name");
    if (opt->format == WT_RECORD_CSV && opt->output_dir == NULL)
        return usage_error("csv writes a file a table: give --output-dir DIR");
    if (opt->format == WT_RECORD_CSV && opt->output != NULL)
        return usage_error("csv writes its list of tables to DIR/tables.jsonl: -o means nothing with it");
    if (opt->format != WT_RECORD_CSV && opt->output_dir != NULL)
        return usage_error("--output-dir is for --format csv; the JSON lines go to -o FILE");
    if (opt->output_dir != NULL && opt->output_dir[0] == '\0')
        return usage_error("empty output folder name");
    if (opt->all_namespaces && opt->namespace_count > 0)
        return usage_error("--namespace all and --namespace N exclude each other");
    if (opt->index != NULL && argc - optind != 1)
        return usage_error("--index belongs to one dump file");
    if (opt->namespace_count == 0)
        opt->namespaces[opt->namespace_count++] = 0;
    *first_file = optind;
    return 1;
}

int main(int argc, char **argv)
{
    wt_standard_fds_guard();
    wt_signals_install(k_program);

    struct options opt;
    memset(&opt, 0, sizeof opt);
    opt.workers = 1;
    opt.max_pages = -1;
    opt.progress = -1;
    int first = argc;
    if (!parse_args(argc, argv, &opt, &first))
        return EXIT_TROUBLE;

    static struct run run;
    static char *k_stdin_only[] = {"-", NULL};
    run.opt = &opt;
    run.files = first < argc ? argv + first : k_stdin_only;
    run.count = first < argc ? (size_t)(argc - first) : 1;
    run.dump.opt = &opt;
    run.dump.record_opt.format = opt.format;
    run.dump.record_opt.data_options = opt.data_options;
    run.dump.record_opt.exact = opt.exact;
    run.dump.record_opt.all_pages = opt.all_pages;
    run.dump.record_opt.quiet = opt.quiet;
    run.dump.progress = want_progress(&opt);
    run.dump.reader.all_namespaces = opt.all_namespaces;
    run.dump.reader.namespaces = opt.namespaces;
    run.dump.reader.namespace_count = opt.namespace_count;
    run.dump.reader.limited = opt.max_pages >= 0;
    run.dump.reader.page_budget = opt.max_pages >= 0 ? (unsigned long long)opt.max_pages : 0;
    wt_record_writer_init(&run.dump.writer);
    run.started = wt_seconds_now();

    /* --format csv: the manifest is the output, beside the tables' files. */
    static char manifest[PATH_MAX];
    if (opt.format == WT_RECORD_CSV) {
        struct stat st;
        if (stat(opt.output_dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
            fprintf(stderr, "wttable-dump: %s: %s\n", opt.output_dir,
                    strerror(errno != 0 && !S_ISREG(st.st_mode) ? errno : ENOTDIR));
            return EXIT_TROUBLE;
        }
        int n = snprintf(manifest, sizeof manifest, "%s/tables.jsonl", opt.output_dir);
        if (n < 0 || (size_t)n >= sizeof manifest) {
            fprintf(stderr, "wttable-dump: %s: %s\n", opt.output_dir, strerror(ENAMETOOLONG));
            return EXIT_TROUBLE;
        }
        opt.output = manifest;
    }
    if (!wt_output_open(&run.out, opt.output)) {
        fprintf(stderr, "wttable-dump: %s: %s\n", opt.output, strerror(errno));
        return EXIT_TROUBLE;
    }
    /* --max-pages counts across files: they are read one after another. */
    int workers = opt.max_pages >= 0 ? 1 : opt.workers;
    int asked = workers;
    workers = wt_jobs_worth(run.files, run.count, workers);
    if (opt.max_pages >= 0 && opt.workers > 1 && !opt.quiet)
        fprintf(stderr, "wttable-dump: --max-pages reads the files one after another\n");
    int *pinned = NULL;
    if (workers > 1 && (pinned = calloc(run.count, sizeof *pinned)) != NULL)
        for (size_t i = 0; i < run.count; i++)
            pinned[i] = wt_jobs_pin_input(run.files[i]);
    /* One file: cut into parts when it can be (always with --keep-going,
     * whose skipping needs the parts' own reading). */
    int split = 0;
    if (run.count == 1 && opt.max_pages < 0 && (asked > 1 || opt.keep_going))
        split = dump_split_file(&run, run.files[0], workers);
    if (split == 2) {
        run.status = EXIT_TROUBLE;
    } else if (split == 1) {
        /* done */
    } else if (workers <= 1) {
        for (size_t i = 0; i < run.count && !run.dump.reader.stopped && run.write_errno == 0; i++) {
            struct wt_job_report report;
            memset(&report, 0, sizeof report);
            prepare_part(&run, i, 0, 0);
            emit_part(&run, i, 0, &report);
            collect_part(&run, i, &report);
        }
    } else {
        /* Parts are large: each worker takes one at a time. */
        struct wt_jobs jobs = {run.count, workers, pinned, 1, &run, prepare_part, emit_part,
                               collect_part};
        if (!wt_jobs_run(&jobs, "wttable-dump"))
            run.status = EXIT_TROUBLE;
    }
    free(pinned);

    /* A cut-off dump keeps what was written of it; a write error does not. */
    int keep = run.write_errno == 0;
    char *kept_copy = NULL;
    if (!wt_output_close(&run.out, keep, &kept_copy) && keep)
        run.write_errno = errno ? errno : EIO;
    if (run.write_errno != 0) {
        fprintf(stderr, "wttable-dump: %s: %s\n", run.out.name, strerror(run.write_errno));
        if (kept_copy != NULL)
            fprintf(stderr, "wttable-dump: the whole output is kept in %s\n", kept_copy);
        run.status = EXIT_TROUBLE;
    }
    free(kept_copy);
    if (opt.stats)
        wt_progress_stats(&run.totals, wt_seconds_now() - run.started);
    return run.status;
}
