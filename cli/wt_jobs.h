/* Ordered work over a list of items, in worker processes.  The library keeps
 * one result buffer per process, so workers are processes, not threads.
 *
 * Each item is prepared (read, converted) by its worker, then emitted (its
 * output and messages written) by the same worker when every earlier item
 * has been emitted: the parent passes a turn from worker to worker and never
 * copies output.  Output, messages and their order are therefore exactly
 * those of one process.  With one worker everything runs in this process. */
#ifndef WT_JOBS_H
#define WT_JOBS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What an item reports back to the parent. */
struct wt_job_report {
    int status;          /* the item's exit status */
    int found;           /* the item had what was looked for (-c, -l) */
    int write_errno;     /* a write failed: the run stops */
    unsigned long long count[4]; /* program-defined totals */
    double seconds;
};

struct wt_jobs {
    size_t count;        /* items 0 .. count-1 */
    int workers;         /* at least 1 */
    const int *owner;    /* worker of each item, or NULL for round robin */
    void *ctx;
    /* In the worker: read and convert item i, holding its result. */
    void (*prepare)(void *ctx, size_t i);
    /* In the worker, at item i's turn: write what it made, fill the report. */
    void (*emit)(void *ctx, size_t i, struct wt_job_report *report);
    /* In the parent, in item order: return 0 to stop the run. */
    int (*collect)(void *ctx, size_t i, const struct wt_job_report *report);
};

/* Runs every item (or up to a stop).  Returns 1, or 0 with a message on
 * standard error when workers could not be started or one of them failed.
 * A worker killed by a signal ends this process with the same signal. */
int wt_jobs_run(const struct wt_jobs *jobs, const char *program);

/* The number of processors online, at least 1: the meaning of "-j 0". */
int wt_jobs_cores(void);

/* Parses the argument of -j/--jobs: 0 means one per core.  Returns 0 for a
 * value that is not a whole number from 0 to 1024. */
int wt_jobs_parse(const char *arg, int *workers);

#ifdef __cplusplus
}
#endif

#endif
