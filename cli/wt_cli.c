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
