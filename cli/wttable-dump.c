/* wttable-dump: every table of every page of a wiki XML export dump, as
 * JSON Lines.  Decompression by libarchive, XML by expat, conversion by the
 * library; the revision texts are prepared as raw pages unless --exact. */
#define _GNU_SOURCE

#include <errno.h>
#include <expat.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
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
#include "wt_io.h"
#include "wt_jobs.h"
#include "wt_markup.h"
#include "wt_output.h"
#include "wt_raw.h"
#include "wt_signals.h"
#include "wt_source.h"
#include "wt_stdfds.h"
#include "wttable.h"

enum { EXIT_FAILED = 1, EXIT_TROUBLE = 2 };
enum { MAX_NAMESPACE_ARGS = 64, FLUSH_BYTES = 1 << 20, STACK_MAX = 64 };
/* Every field but the revision text (titles are at most 255 bytes in the
 * wiki; ids, timestamps and namespace names are shorter): a larger one is
 * not a dump, and keeping it whole would let a small compressed file take
 * gigabytes. */
enum { FIELD_MAX = 64 << 10 };

static const char k_program[] = "wttable-dump";

static const char k_usage[] =
    "usage: wttable-dump [--namespace N|all]... [--all-pages] [--exact] [-j N]\n"
    "                    [--max-pages N] [--progress|--no-progress] [--stats] [-q]\n"
    "                    [-o FILE] [FILE...|-]\n";

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
    "  -j, --jobs N             N files at once, or one file's revisions in N\n"
    "                           processes (0: one per core);\n"
    "                           output as with one\n"
    "      --max-pages N        stop after N pages of the chosen namespaces\n"
    "      --progress           show pages, tables and MB read on standard error\n"
    "      --no-progress        (the default is on when standard error is a terminal)\n"
    "      --stats              print a summary at the end\n"
    "  -o, --output FILE        write to FILE, replaced when the run ends\n"
    "  -q, --quiet              no warnings\n"
    "      --version            print the library's version\n"
    "  -h, --help               print this help\n"
    "\n"
    "Exit status: 0 success, 1 a revision's conversion failed, 2 a dump is cut\n"
    "off, malformed or unreadable, a write error, or bad usage.\n";

struct options {
    int all_namespaces;
    long namespaces[MAX_NAMESPACE_ARGS];
    int namespace_count;
    int all_pages;
    int exact;
    int workers;
    long long max_pages; /* -1: no limit */
    int progress;        /* -1: when standard error is a terminal */
    int stats;
    int quiet;
    const char *output;
};

struct ns_name {
    long key;
    char *name;
};

/* Element names that matter, as codes on the element stack. */
enum element {
    EL_OTHER, EL_MEDIAWIKI, EL_SITEINFO, EL_NAMESPACES, EL_NAMESPACE, EL_PAGE, EL_TITLE, EL_NS,
    EL_ID, EL_REVISION, EL_TIMESTAMP, EL_TEXT
};

/* The state of one file's reading. */
struct dump {
    const struct options *opt;
    const char *name;
    XML_Parser parser;
    int out_fd;
    struct wt_bytes out;  /* JSON lines not yet written */
    struct wt_bytes *msgs; /* warnings and errors, written by the caller */
    int write_errno;
    int status;
    int stopped;          /* --max-pages reached */
    unsigned long long page_budget; /* pages still allowed, when limited */

    enum element stack[STACK_MAX];
    int depth;
    struct wt_bytes *capture;

    struct ns_name *ns_names;
    size_t ns_count;
    struct wt_bytes ns_key_text, ns_name_text;

    struct wt_bytes title, ns, page_id, rev_id, timestamp, text;
    int has_ns, has_rev_id, has_timestamp, has_page_id;
    int page_selected;    /* -1: not known yet */

    struct wt_raw raw;
    struct wt_bytes record;
    struct wt_dump_totals totals;

    struct pipeline *pipe;  /* -j with one file: revisions go to workers */
    int ns_known;           /* in a worker: the namespace came with the revision */
    long ns_value;

    long long bytes_read;
    long long file_size;
    double started, last_progress;
    struct wt_bytes progress_line;
    int field_too_long;     /* a small field passed FIELD_MAX: the dump is refused */
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

static enum element element_code(const char *name)
{
    static const struct {
        const char *name;
        enum element code;
    } k_names[] = {
        {"mediawiki", EL_MEDIAWIKI}, {"siteinfo", EL_SITEINFO}, {"namespaces", EL_NAMESPACES},
        {"namespace", EL_NAMESPACE}, {"page", EL_PAGE},         {"title", EL_TITLE},
        {"ns", EL_NS},               {"id", EL_ID},             {"revision", EL_REVISION},
        {"timestamp", EL_TIMESTAMP}, {"text", EL_TEXT},
    };
    for (size_t i = 0; i < sizeof k_names / sizeof k_names[0]; i++)
        if (strcmp(name, k_names[i].name) == 0)
            return k_names[i].code;
    return EL_OTHER;
}

static enum element parent_of(const struct dump *d)
{
    return d->depth >= 2 && d->depth - 2 < STACK_MAX ? d->stack[d->depth - 2] : EL_OTHER;
}

/* A whole number of digits only, as the dump writes ids; else not a number. */
static int parse_number(const struct wt_bytes *b, long long *value)
{
    if (b->len == 0 || b->len > 18)
        return 0;
    long long v = 0;
    for (size_t i = 0; i < b->len; i++) {
        if (b->data[i] < '0' || b->data[i] > '9')
            return 0;
        v = v * 10 + (b->data[i] - '0');
    }
    *value = v;
    return 1;
}

/* The namespace of a page without <ns>: the one whose name prefixes the
 * title ("Talk:Foo"), else 0. */
static long namespace_from_title(const struct dump *d)
{
    const char *colon = d->title.len > 0 ? memchr(d->title.data, ':', d->title.len) : NULL;
    if (colon == NULL)
        return 0;
    size_t prefix = (size_t)(colon - d->title.data);
    for (size_t i = 0; i < d->ns_count; i++)
        if (d->ns_names[i].key != 0 && strlen(d->ns_names[i].name) == prefix &&
            memcmp(d->ns_names[i].name, d->title.data, prefix) == 0)
            return d->ns_names[i].key;
    return 0;
}

static long page_namespace(const struct dump *d)
{
    long long ns;
    if (d->ns_known)
        return d->ns_value;
    if (d->has_ns && parse_number(&d->ns, &ns))
        return (long)ns;
    if (d->has_ns && d->ns.len > 1 && d->ns.data[0] == '-') {
        struct wt_bytes digits = {d->ns.data + 1, d->ns.len - 1, 0, 0};
        if (parse_number(&digits, &ns))
            return -(long)ns;
    }
    return namespace_from_title(d);
}

static int namespace_selected(const struct dump *d)
{
    const struct options *opt = d->opt;
    if (opt->all_namespaces)
        return 1;
    long ns = page_namespace(d);
    for (int i = 0; i < opt->namespace_count; i++)
        if (opt->namespaces[i] == ns)
            return 1;
    return 0;
}

static void flush_output(struct dump *d)
{
    if (d->out.len == 0)
        return;
    if (d->write_errno == 0 && !wt_write_all(d->out_fd, d->out.data, d->out.len))
        d->write_errno = errno ? errno : EIO;
    d->out.len = 0;
}

static void json_number_or_null(struct wt_bytes *b, const struct wt_bytes *field, int present)
{
    long long v;
    if (present && parse_number(field, &v))
        wt_bytes_printf(b, "%lld", v);
    else
        wt_bytes_append_str(b, "null");
}

/* Converts one top-level table of the prepared text and appends its entry. */
static void append_table(struct dump *d, char *text, const struct wt_table_span *span, int first)
{
    char saved = text[span->end];
    text[span->end] = '\0';
    const char *html = wttable_to_html(text + span->start);
    size_t len = strlen(html);
    text[span->end] = saved;
    if (!d->opt->exact)
        html = wt_raw_restore(&d->raw, html, len);
    if (html == NULL) {
        d->record.failed = 1;
        return;
    }
    size_t line = d->opt->exact ? span->line : wt_raw_original_line(&d->raw, span->line);
    wt_bytes_printf(&d->record, "%s{\"line\": %zu, \"html\": ", first ? "" : ", ", line);
    wt_bytes_json_string(&d->record, html, len);
    wt_bytes_append_str(&d->record, "}");
    d->totals.tables++;
}

static void warn(struct dump *d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void warn(struct dump *d, const char *fmt, ...)
{
    if (d->opt->quiet)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    wt_bytes_printf(d->msgs, "wttable-dump: %s: %s\n", d->name, line);
}

static void pipeline_send(struct dump *d);

static void handle_revision(struct dump *d)
{
    if (d->pipe != NULL) {
        pipeline_send(d);
        return;
    }
    d->totals.revisions++;
    char *text = d->text.data != NULL ? d->text.data : (char *)"";
    size_t len = d->text.len;
    if (!d->opt->exact) {
        if (!wt_raw_prepare(&d->raw, text, len)) {
            wt_bytes_printf(d->msgs, "wttable-dump: %s: out of memory\n", d->name);
            d->status = EXIT_TROUBLE;
            return;
        }
        if (d->raw.unmasked)
            warn(d, "page \"%.*s\": no two free control bytes to protect templates with; "
                 "converted without that step", (int)d->title.len, d->title.data);
        text = d->raw.text;
        len = d->raw.len;
    }

    d->record.len = 0;
    d->record.failed = 0;
    wt_bytes_append_str(&d->record, "{\"id\": ");
    json_number_or_null(&d->record, &d->page_id, d->has_page_id);
    wt_bytes_printf(&d->record, ", \"ns\": %ld, \"title\": ", page_namespace(d));
    wt_bytes_json_string(&d->record, d->title.data != NULL ? d->title.data : "", d->title.len);
    wt_bytes_append_str(&d->record, ", \"revision\": ");
    json_number_or_null(&d->record, &d->rev_id, d->has_rev_id);
    wt_bytes_append_str(&d->record, ", \"timestamp\": ");
    if (d->has_timestamp)
        wt_bytes_json_string(&d->record, d->timestamp.data != NULL ? d->timestamp.data : "",
                             d->timestamp.len);
    else
        wt_bytes_append_str(&d->record, "null");
    wt_bytes_append_str(&d->record, ", \"tables\": [");

    struct wt_line_walk walk;
    struct wt_table_span span;
    wt_line_walk_init(&walk, text, len);
    int found, tables = 0;
    size_t mark = d->record.len;
    unsigned long long tables_before = d->totals.tables;
    while ((found = wt_next_table(&walk, &span)) == 1)
        append_table(d, text, &span, tables++ == 0);
    if (found < 0) {
        /* The walk stopped where the library's conversion of the whole text
         * fails, and with its message. */
        static const char k_failed[] = WTTABLE_TABLES_FAILED;
        d->record.len = mark;
        d->totals.tables = tables_before;
        wt_bytes_append_str(&d->record, "], \"error\": ");
        wt_bytes_json_string(&d->record, k_failed, sizeof k_failed - 1);
        wt_bytes_append_str(&d->record, "}\n");
        warn(d, "page \"%.*s\" (revision %.*s): %s: more than %d nested tables",
             (int)d->title.len, d->title.data, (int)d->rev_id.len, d->rev_id.data, k_failed,
             WTTABLE_MAX_DEPTH);
        d->totals.failed++;
        if (d->status < EXIT_FAILED)
            d->status = EXIT_FAILED;
    } else {
        if (tables == 0 && !d->opt->all_pages)
            return;
        wt_bytes_append_str(&d->record, "]}\n");
    }
    if (d->record.failed) {
        wt_bytes_printf(d->msgs, "wttable-dump: %s: out of memory\n", d->name);
        d->status = EXIT_TROUBLE;
        return;
    }
    wt_bytes_append(&d->out, d->record.data, d->record.len);
    d->totals.objects++;
    if (d->out.len >= FLUSH_BYTES && d->out_fd >= 0)
        flush_output(d);
}

static void reset_page(struct dump *d)
{
    d->title.len = d->ns.len = d->page_id.len = 0;
    d->has_ns = d->has_page_id = 0;
    d->page_selected = -1;
}

static void reset_revision(struct dump *d)
{
    d->rev_id.len = d->timestamp.len = d->text.len = 0;
    d->has_rev_id = d->has_timestamp = 0;
}

static void XMLCALL on_start(void *user, const XML_Char *name, const XML_Char **attrs)
{
    struct dump *d = user;
    enum element el = element_code(name);
    if (d->depth < STACK_MAX)
        d->stack[d->depth] = el;
    d->depth++;
    enum element parent = parent_of(d);
    d->capture = NULL;
    switch (el) {
    case EL_PAGE:
        if (parent == EL_MEDIAWIKI)
            reset_page(d);
        break;
    case EL_TITLE:
        if (parent == EL_PAGE)
            d->capture = &d->title;
        break;
    case EL_NS:
        if (parent == EL_PAGE) {
            d->has_ns = 1;
            d->capture = &d->ns;
        }
        break;
    case EL_ID:
        if (parent == EL_PAGE) {
            d->has_page_id = 1;
            d->page_id.len = 0;
            d->capture = &d->page_id;
        } else if (parent == EL_REVISION) {
            d->has_rev_id = 1;
            d->capture = &d->rev_id;
        }
        break;
    case EL_REVISION:
        if (parent == EL_PAGE) {
            reset_revision(d);
            if (d->page_selected < 0)
                d->page_selected = namespace_selected(d);
        }
        break;
    case EL_TIMESTAMP:
        if (parent == EL_REVISION) {
            d->has_timestamp = 1;
            d->capture = &d->timestamp;
        }
        break;
    case EL_TEXT:
        if (parent == EL_REVISION && d->page_selected)
            d->capture = &d->text;
        break;
    case EL_NAMESPACE:
        if (parent == EL_NAMESPACES) {
            d->ns_key_text.len = d->ns_name_text.len = 0;
            for (int i = 0; attrs[i] != NULL; i += 2)
                if (strcmp(attrs[i], "key") == 0)
                    wt_bytes_append_str(&d->ns_key_text, attrs[i + 1]);
            d->capture = &d->ns_name_text;
        }
        break;
    default:
        break;
    }
}

static void add_namespace_name(struct dump *d)
{
    long long key;
    int negative = d->ns_key_text.len > 0 && d->ns_key_text.data[0] == '-';
    struct wt_bytes digits = d->ns_key_text;
    if (negative) {
        digits.data++;
        digits.len--;
    }
    if (!parse_number(&digits, &key))
        return;
    struct ns_name *bigger = realloc(d->ns_names, (d->ns_count + 1) * sizeof *bigger);
    if (bigger == NULL)
        return;
    d->ns_names = bigger;
    d->ns_names[d->ns_count].key = negative ? -(long)key : (long)key;
    const char *name = d->ns_name_text.data != NULL ? d->ns_name_text.data : "";
    d->ns_names[d->ns_count].name = strndup(name, d->ns_name_text.len);
    if (d->ns_names[d->ns_count].name != NULL)
        d->ns_count++;
}

static struct wt_source *s_current_source; /* for the progress line */

static void show_progress(struct dump *d, int final);

static void XMLCALL on_end(void *user, const XML_Char *name)
{
    struct dump *d = user;
    (void)name;
    enum element el = d->depth - 1 < STACK_MAX ? d->stack[d->depth - 1] : EL_OTHER;
    enum element parent = parent_of(d);
    d->capture = NULL;
    d->depth--;
    if (el == EL_REVISION && parent == EL_PAGE && d->page_selected)
        handle_revision(d);
    else if (el == EL_NAMESPACE && parent == EL_NAMESPACES)
        add_namespace_name(d);
    else if (el == EL_PAGE && parent == EL_MEDIAWIKI) {
        if (d->page_selected < 0)
            d->page_selected = namespace_selected(d);
        if (d->page_selected) {
            d->totals.pages++;
            if (d->opt->max_pages >= 0 && --d->page_budget == 0) {
                d->stopped = 1;
                XML_StopParser(d->parser, XML_FALSE);
            }
        }
    }
}

static const char *field_name(const struct dump *d)
{
    enum element el = d->depth - 1 < STACK_MAX ? d->stack[d->depth - 1] : EL_OTHER;
    switch (el) {
    case EL_TITLE: return "<title>";
    case EL_NS: return "<ns>";
    case EL_ID: return "<id>";
    case EL_TIMESTAMP: return "<timestamp>";
    default: return "<namespace>";
    }
}

static void XMLCALL on_text(void *user, const XML_Char *s, int len)
{
    struct dump *d = user;
    if (d->capture == NULL)
        return;
    if (d->capture != &d->text && d->capture->len + (size_t)len > FIELD_MAX) {
        wt_bytes_printf(d->msgs,
                        "wttable-dump: %s: line %lu, column %lu (byte %lld): %s longer than "
                        "%d bytes: not a wiki dump\n",
                        d->name, (unsigned long)XML_GetCurrentLineNumber(d->parser),
                        (unsigned long)XML_GetCurrentColumnNumber(d->parser) + 1,
                        (long long)XML_GetCurrentByteIndex(d->parser), field_name(d), FIELD_MAX);
        d->status = EXIT_TROUBLE;
        d->field_too_long = 1;
        d->capture = NULL;
        XML_StopParser(d->parser, XML_FALSE);
        return;
    }
    wt_bytes_append(d->capture, s, (size_t)len);
}

static unsigned long long pipeline_tables(const struct pipeline *p);

static void show_progress(struct dump *d, int final)
{
    double now = wt_seconds_now();
    if (!final && now - d->last_progress < 0.25)
        return;
    d->last_progress = now;
    double elapsed = now - d->started;
    double mb = (double)d->bytes_read / 1e6;
    /* Grown as needed: a file name has no length limit worth trusting. */
    struct wt_bytes *line = &d->progress_line;
    line->len = 0;
    line->failed = 0;
    wt_bytes_printf(line, "\r%s: %llu pages, %llu tables, %.1f MB read, %.1f MB/s", d->name,
                    d->totals.pages,
                    d->totals.tables + (d->pipe != NULL ? pipeline_tables(d->pipe) : 0), mb,
                    elapsed > 0 ? mb / elapsed : 0.0);
    if (d->file_size > 0 && !final && s_current_source != NULL) {
        long long pos = wt_source_position(s_current_source);
        double done = (double)pos / (double)d->file_size;
        if (done > 0.001)
            wt_bytes_printf(line, ", %.1f %%, %.0f s left", 100 * done, elapsed / done - elapsed);
    }
    wt_bytes_append_str(line, final ? "\n" : "\033[K");
    if (!line->failed)
        wt_write_all(2, line->data, line->len);
}

static int want_progress(const struct options *opt)
{
    return opt->progress > 0 || (opt->progress < 0 && isatty(2));
}

/* Reads one file through to its end or first fault.  What it writes goes to
 * d->out_fd; messages to d->msgs. */
static void dump_file(struct dump *d, const char *path)
{
    char error[256];
    d->name = wt_display_name(path);
    struct wt_source *src = wt_source_open(path, error, sizeof error);
    if (src == NULL) {
        wt_bytes_printf(d->msgs, "wttable-dump: %s: %s\n", d->name, error);
        d->status = EXIT_TROUBLE;
        return;
    }
    s_current_source = src;
    d->file_size = wt_source_size(src);
    d->parser = XML_ParserCreate(NULL);
    if (d->parser == NULL) {
        wt_bytes_printf(d->msgs, "wttable-dump: %s: out of memory\n", d->name);
        d->status = EXIT_TROUBLE;
        wt_source_close(src);
        return;
    }
    XML_SetUserData(d->parser, d);
    XML_SetElementHandler(d->parser, on_start, on_end);
    XML_SetCharacterDataHandler(d->parser, on_text);
    d->depth = 0;
    d->capture = NULL;
    reset_page(d);
    reset_revision(d);
    d->field_too_long = 0;
    int progress = want_progress(d->opt);
    d->started = wt_seconds_now();
    d->last_progress = 0;

    int first = 1;
    for (;;) {
        const char *block;
        ssize_t n = wt_source_read(src, &block);
        if (n < 0) {
            wt_bytes_printf(d->msgs, "wttable-dump: %s: %s\n", d->name, wt_source_error(src));
            d->status = EXIT_TROUBLE;
            break;
        }
        if (first && n > 0) {
            const char *what = wt_source_sniff_not_xml(block, (size_t)n);
            if (what != NULL) {
                const char *comp = wt_source_compression(src);
                wt_bytes_printf(d->msgs, "wttable-dump: %s: not an XML dump%s%s%s: %s\n", d->name,
                                strcmp(comp, "none") != 0 ? " (after " : "",
                                strcmp(comp, "none") != 0 ? comp : "",
                                strcmp(comp, "none") != 0 ? " decompression)" : "", what);
                d->status = EXIT_TROUBLE;
                break;
            }
        }
        first = 0;
        d->bytes_read += n;
        enum XML_Status st = XML_Parse(d->parser, block, (int)n, n == 0);
        if (st == XML_STATUS_SUSPENDED || d->stopped || d->field_too_long)
            break;
        if (st != XML_STATUS_OK) {
            wt_bytes_printf(d->msgs, "wttable-dump: %s: line %lu, column %lu (byte %lld): %s%s\n",
                            d->name, (unsigned long)XML_GetCurrentLineNumber(d->parser),
                            (unsigned long)XML_GetCurrentColumnNumber(d->parser) + 1,
                            (long long)XML_GetCurrentByteIndex(d->parser),
                            XML_ErrorString(XML_GetErrorCode(d->parser)),
                            n == 0 ? " (the dump is cut off)" : "");
            d->status = EXIT_TROUBLE;
            break;
        }
        if (progress)
            show_progress(d, 0);
        if (n == 0)
            break;
    }
    flush_output(d);
    /* With workers the final line waits for their last results. */
    if (progress && d->pipe == NULL)
        show_progress(d, 1);
    d->totals.bytes += (unsigned long long)d->bytes_read;
    if (d->pipe == NULL)
        d->bytes_read = 0;
    XML_ParserFree(d->parser);
    d->parser = NULL;
    s_current_source = NULL;
    wt_source_close(src);
    for (size_t i = 0; i < d->ns_count; i++)
        free(d->ns_names[i].name);
    d->ns_count = 0;
}

/* -j with one file: this process reads, decompresses and parses, and sends
 * each revision to a worker process (blocks of consecutive revisions to one
 * worker) that prepares, converts and writes its JSON; a thread of this
 * process takes the results in revision order and writes them.  Output and
 * messages are exactly those of one process. */
enum { PIPE_BLOCK = 8, PIPE_MAX_WORKERS = 64 };

struct rev_header {
    int end; /* no more revisions */
    int has_page_id, has_rev_id, has_timestamp;
    long ns;
    size_t title_len, page_id_len, rev_id_len, timestamp_len, text_len;
};

struct result_header {
    int end;
    int status;
    size_t out_len, msgs_len;
    struct wt_dump_totals totals;
};

struct pipeline {
    int workers;
    pid_t pids[PIPE_MAX_WORKERS];
    int to_worker[PIPE_MAX_WORKERS];
    int from_worker[PIPE_MAX_WORKERS];
    unsigned long long sent;
    int lost;               /* a worker is gone */
    pthread_t writer;
    int out_fd;
    struct wt_bytes *msgs;  /* the file's messages, in revision order */
    int write_errno;
    int status;
    struct wt_dump_totals totals;
};

static int read_field(int fd, struct wt_bytes *b, size_t len)
{
    b->len = 0;
    if (!wt_bytes_reserve(b, len) || !wt_read_all(fd, b->data, len))
        return 0;
    b->len = len;
    b->data[len] = '\0';
    return 1;
}

/* Tables converted so far by the workers, for the progress line. */
static unsigned long long pipeline_tables(const struct pipeline *p)
{
    return __atomic_load_n(&p->totals.tables, __ATOMIC_RELAXED);
}

static void pipeline_send(struct dump *d)
{
    struct pipeline *p = d->pipe;
    if (__atomic_load_n(&p->lost, __ATOMIC_RELAXED))
        return;
    struct rev_header h;
    memset(&h, 0, sizeof h);
    h.has_page_id = d->has_page_id;
    h.has_rev_id = d->has_rev_id;
    h.has_timestamp = d->has_timestamp;
    h.ns = page_namespace(d);
    h.title_len = d->title.len;
    h.page_id_len = d->page_id.len;
    h.rev_id_len = d->rev_id.len;
    h.timestamp_len = d->timestamp.len;
    h.text_len = d->text.len;
    int fd = p->to_worker[p->sent / PIPE_BLOCK % (unsigned long long)p->workers];
    const struct wt_bytes *fields[] = {&d->title, &d->page_id, &d->rev_id, &d->timestamp, &d->text};
    int ok = wt_write_all(fd, &h, sizeof h);
    for (size_t i = 0; ok && i < sizeof fields / sizeof fields[0]; i++)
        ok = wt_write_all(fd, fields[i]->data, fields[i]->len);
    if (!ok) {
        __atomic_store_n(&p->lost, 1, __ATOMIC_RELAXED);
        XML_StopParser(d->parser, XML_FALSE);
        return;
    }
    p->sent++;
}

static void pipeline_worker(struct dump *d, int in, int out)
{
    struct wt_bytes msgs = {NULL, 0, 0, 0};
    d->pipe = NULL;
    d->out_fd = -1;
    d->msgs = &msgs;
    d->ns_known = 1;
    for (;;) {
        struct rev_header h;
        if (!wt_read_all(in, &h, sizeof h))
            _exit(3);
        if (h.end) {
            struct result_header r;
            memset(&r, 0, sizeof r);
            r.end = 1;
            wt_write_all(out, &r, sizeof r);
            _exit(0);
        }
        if (!read_field(in, &d->title, h.title_len) ||
            !read_field(in, &d->page_id, h.page_id_len) ||
            !read_field(in, &d->rev_id, h.rev_id_len) ||
            !read_field(in, &d->timestamp, h.timestamp_len) ||
            !read_field(in, &d->text, h.text_len))
            _exit(3);
        d->has_page_id = h.has_page_id;
        d->has_rev_id = h.has_rev_id;
        d->has_timestamp = h.has_timestamp;
        d->ns_value = h.ns;
        d->out.len = 0;
        msgs.len = 0;
        memset(&d->totals, 0, sizeof d->totals);
        d->status = 0;
        handle_revision(d);
        struct result_header r;
        memset(&r, 0, sizeof r);
        r.status = d->status;
        r.out_len = d->out.len;
        r.msgs_len = msgs.len;
        r.totals = d->totals;
        if (!wt_write_all(out, &r, sizeof r) || !wt_write_all(out, d->out.data, d->out.len) ||
            !wt_write_all(out, msgs.data, msgs.len))
            _exit(3);
    }
}

/* The writer thread: results in revision order, up to the end marker of the
 * worker that would have had the next revision. */
static void *pipeline_writer(void *arg)
{
    struct pipeline *p = arg;
    struct wt_bytes buf = {NULL, 0, 0, 0};
    for (unsigned long long seq = 0;; seq++) {
        int fd = p->from_worker[seq / PIPE_BLOCK % (unsigned long long)p->workers];
        struct result_header r;
        if (!wt_read_all(fd, &r, sizeof r)) {
            __atomic_store_n(&p->lost, 1, __ATOMIC_RELAXED);
            break;
        }
        if (r.end)
            break;
        if (!read_field(fd, &buf, r.out_len)) {
            __atomic_store_n(&p->lost, 1, __ATOMIC_RELAXED);
            break;
        }
        if (p->write_errno == 0 && !wt_write_all(p->out_fd, buf.data, buf.len))
            p->write_errno = errno ? errno : EIO;
        if (!read_field(fd, &buf, r.msgs_len)) {
            __atomic_store_n(&p->lost, 1, __ATOMIC_RELAXED);
            break;
        }
        wt_bytes_append(p->msgs, buf.data, buf.len);
        if (r.status > p->status)
            p->status = r.status;
        p->totals.revisions += r.totals.revisions;
        p->totals.objects += r.totals.objects;
        __atomic_add_fetch(&p->totals.tables, r.totals.tables, __ATOMIC_RELAXED);
        p->totals.failed += r.totals.failed;
    }
    wt_bytes_free(&buf);
    if (__atomic_load_n(&p->lost, __ATOMIC_RELAXED)) {
        /* Nobody reads the others' results now: stop them before they and
         * the reader wait on each other for ever. */
        for (int k = 0; k < p->workers; k++)
            kill(p->pids[k], SIGKILL);
    }
    return NULL;
}

/* One file through the pipeline; returns 0 when it could not be set up (the
 * caller then reads the file in this process). */
static int dump_file_pipelined(struct dump *d, const char *path, int workers)
{
    static struct pipeline p;
    memset(&p, 0, sizeof p);
    p.workers = workers > PIPE_MAX_WORKERS ? PIPE_MAX_WORKERS : workers;
    p.out_fd = d->out_fd;
    p.msgs = d->msgs;
    d->name = wt_display_name(path); /* the workers' messages name the file */
    fflush(NULL);
    int started = 0;
    for (int k = 0; k < p.workers; k++) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            break;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            break;
        }
        /* Room for whole revisions: a small pipe makes reader and worker
         * take turns a few kilobytes at a time.  A failure is fine. */
        fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
        fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
        pid_t pid = fork();
        if (pid < 0) {
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            break;
        }
        if (pid == 0) {
            wt_signals_forget_temp();
            wt_signals_forward_to(NULL, 0);
            for (int j = 0; j < k; j++) {
                close(p.to_worker[j]);
                close(p.from_worker[j]);
            }
            close(in[1]);
            close(out[0]);
            pipeline_worker(d, in[0], out[1]);
        }
        close(in[0]);
        close(out[1]);
        p.pids[k] = pid;
        p.to_worker[k] = in[1];
        p.from_worker[k] = out[0];
        started++;
        wt_signals_forward_to(p.pids, started);
    }
    int ok = started == p.workers && pthread_create(&p.writer, NULL, pipeline_writer, &p) == 0;
    if (!ok) {
        for (int k = 0; k < started; k++) {
            kill(p.pids[k], SIGKILL);
            close(p.to_worker[k]);
            close(p.from_worker[k]);
            waitpid(p.pids[k], NULL, 0);
        }
        wt_signals_forward_to(NULL, 0);
        return 0;
    }

    /* This process's own messages wait until the revisions' are in. */
    struct wt_bytes own = {NULL, 0, 0, 0};
    d->msgs = &own;
    d->pipe = &p;
    dump_file(d, path);
    d->pipe = NULL;
    struct rev_header end;
    memset(&end, 0, sizeof end);
    end.end = 1;
    for (int k = 0; k < p.workers; k++)
        wt_write_all(p.to_worker[k], &end, sizeof end);
    pthread_join(p.writer, NULL);
    /* Each worker's last write, its end marker, must find its pipe open. */
    int lost = __atomic_load_n(&p.lost, __ATOMIC_RELAXED);
    for (int k = 0; k < p.workers; k++) {
        int wstatus;
        close(p.to_worker[k]);
        pid_t got;
        while ((got = waitpid(p.pids[k], &wstatus, 0)) < 0 && errno == EINTR)
            ;
        if (got < 0 || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
            lost = 1;
        close(p.from_worker[k]);
    }
    wt_signals_forward_to(NULL, 0);
    d->msgs = p.msgs;
    if (lost) {
        wt_bytes_printf(d->msgs, "wttable-dump: %s: a worker process ended unexpectedly\n",
                        d->name);
        d->status = EXIT_TROUBLE;
    }
    wt_bytes_append(d->msgs, own.data, own.len);
    wt_bytes_free(&own);
    if (p.status > d->status)
        d->status = p.status;
    if (p.write_errno != 0 && d->write_errno == 0)
        d->write_errno = p.write_errno;
    add_totals(&d->totals, &p.totals); /* the workers count no pages or bytes */
    if (want_progress(d->opt))
        show_progress(d, 1);
    d->bytes_read = 0;
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
    if (run->opt->workers <= 1 || run->count > 1 || !dump_file_pipelined(d, run->files[i],
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
    OPT_STATS, OPT_VERSION
};

static int parse_args(int argc, char **argv, struct options *opt, int *first_file)
{
    static const struct option k_long[] = {
        {"namespace", required_argument, NULL, OPT_NAMESPACE},
        {"all-pages", no_argument, NULL, OPT_ALL_PAGES},
        {"exact", no_argument, NULL, OPT_EXACT},
        {"jobs", required_argument, NULL, 'j'},
        {"max-pages", required_argument, NULL, OPT_MAX_PAGES},
        {"progress", no_argument, NULL, OPT_PROGRESS},
        {"no-progress", no_argument, NULL, OPT_NO_PROGRESS},
        {"stats", no_argument, NULL, OPT_STATS},
        {"output", required_argument, NULL, 'o'},
        {"quiet", no_argument, NULL, 'q'},
        {"version", no_argument, NULL, OPT_VERSION},
        {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    int outputs = 0, help = 0, version = 0, progress_given = 0;
    long long v;
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, argv, ":j:o:qh", k_long, NULL);
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
    if (opt->all_namespaces && opt->namespace_count > 0)
        return usage_error("--namespace all and --namespace N exclude each other");
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
    run.dump.page_budget = opt.max_pages >= 0 ? (unsigned long long)opt.max_pages : 0;
    wt_raw_init(&run.dump.raw);
    run.started = wt_seconds_now();

    if (!wt_output_open(&run.out, opt.output)) {
        fprintf(stderr, "wttable-dump: %s: %s\n", opt.output, strerror(errno));
        return EXIT_TROUBLE;
    }
    /* --max-pages counts across files: they are read one after another. */
    int workers = opt.max_pages >= 0 ? 1 : opt.workers;
    if (opt.max_pages >= 0 && opt.workers > 1 && !opt.quiet)
        fprintf(stderr, "wttable-dump: --max-pages reads the files one after another\n");
    int *pinned = NULL;
    if (workers > 1 && (pinned = calloc(run.count, sizeof *pinned)) != NULL)
        for (size_t i = 0; i < run.count; i++)
            pinned[i] = wt_jobs_pin_input(run.files[i]);
    if (workers <= 1) {
        for (size_t i = 0; i < run.count && !run.dump.stopped && run.write_errno == 0; i++) {
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
    if (opt.stats) {
        double seconds = wt_seconds_now() - run.started;
        double mb = (double)run.totals.bytes / 1e6;
        fprintf(stderr,
                "wttable-dump: %llu %s, %llu %s, %llu %s with tables or listed, %llu %s, "
                "%llu failed; %.1f MB of XML in %.2f s, %.1f MB/s\n",
                run.totals.pages, wt_plural(run.totals.pages, "page", "pages"),
                run.totals.revisions,
                wt_plural(run.totals.revisions, "revision", "revisions"), run.totals.objects,
                wt_plural(run.totals.objects, "object", "objects"), run.totals.tables,
                wt_plural(run.totals.tables, "table", "tables"), run.totals.failed, mb, seconds,
                seconds > 0 ? mb / seconds : 0.0);
    }
    return run.status;
}
