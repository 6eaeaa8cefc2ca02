#define _GNU_SOURCE

#include "wt_cli.h"

#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "wt_stdfds.h"
#include "wttable.h"
#include "wttable_tables.h"

const char *wt_display_name(const char *path)
{
    return strcmp(path, "-") == 0 ? "(standard input)" : path;
}

double wt_seconds_now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

const char *wt_plural(unsigned long long n, const char *one, const char *many)
{
    return n == 1 ? one : many;
}

int wt_usage_error(const char *program, const char *usage, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", program);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fprintf(stderr, "\n%s", usage);
    return 0;
}

int wt_option_error(const char *program, const char *usage, int c, char **argv)
{
    const char *arg = argv[optind - 1];
    if (c == ':') {
        if (strncmp(arg, "--", 2) == 0)
            return wt_usage_error(program, usage, "%s needs an argument", arg);
        return wt_usage_error(program, usage, "-%c needs an argument", optopt);
    }
    if (optopt != 0)
        return wt_usage_error(program, usage, "unknown option -%c", optopt);
    return wt_usage_error(program, usage, "unknown option %s", arg);
}

void wt_print_and_exit(const char *program, const char *a, const char *b)
{
    int ok = fputs(a, stdout) >= 0 && (b == NULL || fputs(b, stdout) >= 0);
    ok = fflush(stdout) == 0 && ok && !ferror(stdout);
    if (ok && wt_stdout_was_closed()) {
        ok = 0;
        errno = EBADF;
    }
    if (!ok) {
        fprintf(stderr, "%s: (standard output): %s\n", program, strerror(errno ? errno : EIO));
        exit(2);
    }
    exit(0);
}

void wt_print_version_and_exit(const char *program)
{
    char line[128];
    snprintf(line, sizeof line, "%s %s\n", program, wttable_version());
    wt_print_and_exit(program, line, NULL);
}

int wt_data_option(const char *program, const char *usage, const char *option, const char *arg,
                   unsigned *options)
{
    static const struct {
        const char *option, *plain, *other;
        unsigned flag;
    } k_options[] = {
        {"spans", "fill", "blank", WTT_SPANS_BLANK},
        {"br", "newline", "space", WTT_BR_SPACE},
    };
    if (strcmp(option, "wikitext") == 0) {
        *options |= WTT_WIKITEXT;
        return 1;
    }
    for (size_t i = 0; i < sizeof k_options / sizeof k_options[0]; i++) {
        if (strcmp(option, k_options[i].option) != 0)
            continue;
        if (strcmp(arg, k_options[i].other) == 0)
            *options |= k_options[i].flag;
        else if (strcmp(arg, k_options[i].plain) != 0)
            return wt_usage_error(program, usage, "--%s takes %s or %s, not '%s'", option,
                                  k_options[i].plain, k_options[i].other, arg);
        return 1;
    }
    return wt_usage_error(program, usage, "unknown option --%s", option);
}
