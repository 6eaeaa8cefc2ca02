/* What wttable-dump says of its work on standard error: the progress line
 * (at most four times a second, redrawn in place) and the --stats summary. */
#ifndef WT_PROGRESS_H
#define WT_PROGRESS_H

#include "wt_bytes.h"
#include "wt_jobs.h"

#ifdef __cplusplus
extern "C" {
#endif

struct wt_progress {
    double started;
    double last;
    struct wt_bytes line; /* grown as needed: a file name has no length limit */
};

/* Where a file's reading stands. */
struct wt_progress_state {
    const char *name;
    unsigned long long pages, tables;
    long long bytes_read;
    long long position, file_size; /* compressed bytes; file_size -1: unknown */
};

void wt_progress_start(struct wt_progress *p);

/* "\rNAME: P pages, T tables, M MB read, R MB/s[, X %, S s left]", or with
 * `final` the last such line with its LF. */
void wt_progress_show(struct wt_progress *p, const struct wt_progress_state *s, int final);

void wt_progress_free(struct wt_progress *p);

/* The --stats line of a run. */
void wt_progress_stats(const struct wt_dump_totals *totals, double seconds);

#ifdef __cplusplus
}
#endif

#endif
