/* What the programs share around their options and messages. */
#ifndef WT_CLI_H
#define WT_CLI_H

#ifdef __cplusplus
extern "C" {
#endif

/* "(standard input)" for "-", else the path itself. */
const char *wt_display_name(const char *path);

double wt_seconds_now(void);

const char *wt_plural(unsigned long long n, const char *one, const char *many);

/* "PROGRAM: message", then the usage, on standard error; returns 0. */
int wt_usage_error(const char *program, const char *usage, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* The message for getopt_long's ':' (missing argument) or '?' (unknown
 * option) at argv[optind - 1]; returns 0. */
int wt_option_error(const char *program, const char *usage, int c, char **argv);

/* Prints a and b (b may be NULL) to standard output and exits 0, or with
 * status 2 and a message when the write fails (--help, --version). */
void wt_print_and_exit(const char *program, const char *a, const char *b)
    __attribute__((noreturn));

/* The data formats' options, shared by both programs: --spans fill|blank,
 * --br newline|space and --wikitext, OR-ed into *options as WTT_* flags.
 * `option` is the option's name without its dashes.  Returns 1, or 0 with
 * the usage message for a value that is none of these. */
int wt_data_option(const char *program, const char *usage, const char *option, const char *arg,
                   unsigned *options);

/* "PROGRAM VERSION" with the loaded library's version, as wt_print_and_exit. */
void wt_print_version_and_exit(const char *program) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

#endif
