/* wttable: wiki table markup to HTML, in the manner of Unix text tools.
 * A plain consumer of the library's public interface. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "wttable.h"

enum { EXIT_NONE_FOUND = 1, EXIT_FAILED = 1, EXIT_TROUBLE = 2 };

static const char k_usage[] =
    "usage: wttable [-t] [-c | -l] [--raw] [--stats] [-o FILE] [FILE...]\n";

static const char k_help[] =
    "Converts wiki table markup to HTML.  Each FILE (standard input when there\n"
    "is none, or for \"-\") is converted as a whole document: its tables become\n"
    "HTML and every other line is kept.\n"
    "\n"
    "  -t, --tables-only        write only the HTML of the tables\n"
    "  -o, --output FILE        write to FILE, replaced only when the run succeeds\n"
    "      --raw                write the library's bytes exactly (no final LF added)\n"
    "  -c, --check              write nothing; exit 0 if some input has a table, else 1\n"
    "  -l, --files-with-tables  print the names of the inputs that have a table\n"
    "      --stats              per input, print sizes, tables, time and MB/s to stderr\n"
    "      --version            print the library's version\n"
    "  -h, --help               print this help\n"
    "\n"
    "Exit status: 0 success, 1 a conversion failed (or -c/-l found no table),\n"
    "2 bad input, a read or write error, or bad usage.\n";

struct options {
    int tables_only;
    int raw;
    int check;
    int list;
    int stats;
    const char *output;
};

static int s_write_errno; /* errno of the first failed write */

struct text {
    char *data;
    size_t len;
};

static const char *display_name(const char *path)
{
    return strcmp(path, "-") == 0 ? "(standard input)" : path;
}

static void complain(const char *name, const char *reason)
{
    fprintf(stderr, "wttable: %s: %s\n", name, reason);
}

/* Reads a whole stream in binary mode; sizes are size_t throughout, so any
 * file that fits in memory works.  Returns 0 and sets errno on failure. */
static int read_all(FILE *in, struct text *out)
{
    size_t cap = 1 << 16;
    size_t len = 0;
    char *data = malloc(cap);
    if (data == NULL)
        return 0;
    for (;;) {
        if (cap - len < 2) {
            if (cap > (size_t)-1 / 2) {
                free(data);
                errno = ENOMEM;
                return 0;
            }
            char *bigger = realloc(data, cap * 2);
            if (bigger == NULL) {
                free(data);
                errno = ENOMEM;
                return 0;
            }
            data = bigger;
            cap *= 2;
        }
        size_t n = fread(data + len, 1, cap - len - 1, in);
        len += n;
        if (n == 0) {
            if (ferror(in)) {
                int saved = errno ? errno : EIO;
                free(data);
                errno = saved;
                return 0;
            }
            break;
        }
    }
    data[len] = '\0';
    out->data = data;
    out->len = len;
    return 1;
}

/* Lines that open a table: whitespace, colons, whitespace, then "{|". */
static size_t count_table_starts(const char *p, const char *end)
{
    size_t count = 0;
    while (p < end) {
        const char *q = p;
        while (q < end && (*q == ' ' || *q == '\t' || *q == '\r'))
            q++;
        while (q < end && *q == ':')
            q++;
        while (q < end && (*q == ' ' || *q == '\t' || *q == '\r'))
            q++;
        if (end - q >= 2 && q[0] == '{' && q[1] == '|')
            count++;
        const char *lf = memchr(q, '\n', (size_t)(end - q));
        p = lf ? lf + 1 : end;
    }
    return count;
}

static double seconds_now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Writes one result; 0 with errno set on a write error. */
static int write_result(FILE *out, const char *html, size_t len, int raw)
{
    /* The library drops the final LF; give files and terminals whole lines. */
    if ((len > 0 && fwrite(html, 1, len, out) != len) ||
        (!raw && len > 0 && fputc('\n', out) == EOF)) {
        s_write_errno = errno;
        return 0;
    }
    return 1;
}

static int worse(int status, int other)
{
    return other > status ? other : status;
}

/* Handles one input; returns its exit status.  Sets *found when the input
 * has a table start line, and *write_failed on an output error. */
static int handle_input(const char *path, const struct options *opt, FILE *out, int *found,
                        int *write_failed)
{
    const char *name = display_name(path);
    FILE *in = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (in == NULL) {
        complain(name, strerror(errno));
        return EXIT_TROUBLE;
    }
    struct text text;
    errno = 0;
    int ok = read_all(in, &text);
    int saved = errno;
    if (in != stdin)
        fclose(in);
    if (!ok) {
        complain(name, strerror(saved));
        return EXIT_TROUBLE;
    }

    /* The library reads up to the first NUL: refuse rather than drop the rest. */
    const char *nul = memchr(text.data, '\0', text.len);
    if (nul != NULL) {
        fprintf(stderr, "wttable: %s: NUL byte at offset %zu; input must be text\n", name,
                (size_t)(nul - text.data));
        free(text.data);
        return EXIT_TROUBLE;
    }

    int status = 0;
    if (opt->check || opt->list) {
        if (wttable_has_tables(text.data)) {
            *found = 1;
            if (opt->list && printf("%s\n", name) < 0) {
                s_write_errno = errno;
                *write_failed = 1;
                status = EXIT_TROUBLE;
            }
        }
        free(text.data);
        return status;
    }

    double start = seconds_now();
    const char *html = opt->tables_only ? wttable_to_html(text.data) : wttable_parse_document(text.data);
    double elapsed = seconds_now() - start;
    size_t html_len = strlen(html);
    if (*html == '\0' && *wttable_last_error() != '\0') {
        complain(name, wttable_last_error());
        status = EXIT_FAILED;
    } else if (!write_result(out, html, html_len, opt->raw)) {
        *write_failed = 1;
        status = EXIT_TROUBLE;
    }
    if (opt->stats) {
        size_t tables = count_table_starts(text.data, text.data + text.len);
        double rate = elapsed > 0 ? (double)text.len / elapsed / 1e6 : 0.0;
        fprintf(stderr, "wttable: %s: %zu bytes in, %zu bytes out, %zu tables, %.6f s, %.1f MB/s\n",
                name, text.len, status == 0 ? html_len + (opt->raw || html_len == 0 ? 0 : 1) : 0,
                tables, elapsed, rate);
    }
    free(text.data);
    return status;
}

/* -o FILE: a temporary file in the same folder, renamed over FILE only at
 * the end of a run without errors. */
static FILE *open_temporary(const char *target, char **temp_path)
{
    size_t len = strlen(target);
    char *path = malloc(len + 16);
    if (path == NULL)
        return NULL;
    memcpy(path, target, len);
    memcpy(path + len, ".tmp-XXXXXX", 12);
    int fd = mkstemp(path);
    if (fd < 0) {
        free(path);
        return NULL;
    }
    /* mkstemp makes the file private; give it the usual mode. */
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *f = fdopen(fd, "wb");
    if (f == NULL) {
        close(fd);
        unlink(path);
        free(path);
        return NULL;
    }
    *temp_path = path;
    return f;
}

static int parse_args(int argc, char **argv, struct options *opt, int *first_file)
{
    int i = 1;
    for (; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) {
            i++;
            break;
        }
        if (a[0] != '-' || strcmp(a, "-") == 0)
            break;
        if (strcmp(a, "-t") == 0 || strcmp(a, "--tables-only") == 0)
            opt->tables_only = 1;
        else if (strcmp(a, "--raw") == 0)
            opt->raw = 1;
        else if (strcmp(a, "-c") == 0 || strcmp(a, "--check") == 0)
            opt->check = 1;
        else if (strcmp(a, "-l") == 0 || strcmp(a, "--files-with-tables") == 0)
            opt->list = 1;
        else if (strcmp(a, "--stats") == 0)
            opt->stats = 1;
        else if (strcmp(a, "-o") == 0 || strcmp(a, "--output") == 0) {
            if (++i == argc) {
                fprintf(stderr, "wttable: %s needs a FILE\n%s", a, k_usage);
                return 0;
            }
            opt->output = argv[i];
        } else if (strncmp(a, "--output=", 9) == 0)
            opt->output = a + 9;
        else if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            fputs(k_usage, stdout);
            fputs(k_help, stdout);
            exit(0);
        } else if (strcmp(a, "--version") == 0) {
            printf("wttable %s\n", wttable_version());
            exit(0);
        } else {
            fprintf(stderr, "wttable: unknown option %s\n%s", a, k_usage);
            return 0;
        }
    }
    if (opt->check && opt->list) {
        fprintf(stderr, "wttable: -c and -l exclude each other\n%s", k_usage);
        return 0;
    }
    if (opt->output && opt->output[0] == '\0') {
        fprintf(stderr, "wttable: empty output name\n%s", k_usage);
        return 0;
    }
    *first_file = i;
    return 1;
}

int main(int argc, char **argv)
{
    struct options opt = {0, 0, 0, 0, 0, NULL};
    int first = argc;
    if (!parse_args(argc, argv, &opt, &first))
        return EXIT_TROUBLE;

    FILE *out = stdout;
    char *temp_path = NULL;
    const char *out_name = "(standard output)";
    if (opt.output != NULL && !opt.check && !opt.list) {
        out = open_temporary(opt.output, &temp_path);
        if (out == NULL) {
            complain(opt.output, strerror(errno));
            return EXIT_TROUBLE;
        }
        out_name = opt.output;
    }

    static char *const k_stdin_only[] = {"-", NULL};
    char *const *files = first < argc ? argv + first : k_stdin_only;
    int count = first < argc ? argc - first : 1;

    int status = 0;
    int found = 0;
    int write_failed = 0;
    for (int i = 0; i < count && !write_failed; i++) {
        status = worse(status, handle_input(files[i], &opt, out, &found, &write_failed));
        if (opt.check && found)
            return 0; /* like grep -q: the answer is known */
    }

    if ((fflush(out) != 0 || ferror(out)) && !write_failed) {
        write_failed = 1;
        s_write_errno = errno;
    }
    if (out != stdout) {
        if (fclose(out) != 0 && !write_failed) {
            write_failed = 1;
            s_write_errno = errno;
        }
        if (write_failed || status != 0) {
            /* Leave the old file as it was. */
            unlink(temp_path);
        } else if (rename(temp_path, opt.output) != 0) {
            int saved = errno;
            unlink(temp_path);
            complain(opt.output, strerror(saved));
            status = EXIT_TROUBLE;
        }
        free(temp_path);
    }
    if (write_failed) {
        complain(out_name, strerror(s_write_errno ? s_write_errno : EIO));
        status = EXIT_TROUBLE;
    }
    if ((opt.check || opt.list) && status == 0 && !found)
        status = EXIT_NONE_FOUND;
    return status;
}
