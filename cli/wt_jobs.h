/* Ordered work over a list of items, in worker processes.  The library keeps
 * one result buffer per process, so workers are processes, not threads.
 *
 * Items go to the workers in blocks of consecutive ones.  A
 * worker prepares (reads, converts) the items of its block ahead, holding
 * their results, then waits for the turn, emits them (writes their output
 * and messages directly) and hands the turn straight to the worker of the
 * next block.  Preparing runs in parallel; emitting runs in item order, so
 * output, messages and their order are exactly those of one process, no
 * output is copied between processes, and the turn changes hands once a
 * block, not once an item.  The parent only gathers the reports.  With one
 * worker everything runs in this process, nothing held. */
#ifndef WT_JOBS_H
#define WT_JOBS_H

#include <stddef.h>

#include "wt_bytes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Each program's totals for one item, added up by the parent. */
struct wt_convert_totals { /* wttable: one input */
    unsigned long long bytes_in, bytes_out, tables;
    double seconds;        /* the conversion's own time */
};

struct wt_dump_totals {    /* wttable-dump: one dump file */
    unsigned long long pages, revisions, objects, tables, failed, bytes;
};

/* What an item reports back to the parent. */
struct wt_job_report {
    int status;          /* the item's exit status */
    int found;           /* the item had what was looked for (-c, -l) */
    int write_errno;     /* a write failed */
    int stop;            /* no item after this one is to be emitted */
    union {
        struct wt_convert_totals convert;
        struct wt_dump_totals dump;
    } totals;
};

/* Items a worker prepares ahead, and the bytes it may hold before it emits
 * what it has. */
enum { WT_JOBS_AHEAD = 4, WT_JOBS_HOLD_BYTES = 32 << 20 };

struct wt_jobs {
    size_t count;        /* items 0 .. count-1 */
    int workers;         /* at least 1 */
    const int *pinned;   /* items that must go to the first worker, or NULL */
    size_t block;        /* consecutive items a worker takes (0: WT_JOBS_AHEAD) */
    void *ctx;
    /* Item i: read and convert it into `slot` (0 .. WT_JOBS_AHEAD-1).  With
     * `hold` the result must survive later conversions (copy it out of the
     * library).  Returns the bytes the slot holds. */
    size_t (*prepare)(void *ctx, size_t i, int slot, int hold);
    /* Item i at its turn: write what slot made, fill the report. */
    void (*emit)(void *ctx, size_t i, int slot, struct wt_job_report *report);
    /* In the parent, in item order: return 0 to stop the run. */
    int (*collect)(void *ctx, size_t i, const struct wt_job_report *report);
};

/* Runs every item (or up to a stop).  Returns 1, or 0 with a message on
 * standard error when workers could not be started or one of them failed.
 * A worker killed by a signal ends this process with the same signal. */
int wt_jobs_run(const struct wt_jobs *jobs, const char *program);

/* Items streamed from one reader.  This process produces the items one by
 * one (a dump's revisions, as it parses them) and sends each to a worker,
 * blocks of WT_STREAM_BLOCK consecutive ones to the same; the workers work
 * in parallel, and a thread of this process writes their results in item
 * order, so output and messages are exactly those of one process. */
enum { WT_STREAM_BLOCK = 8, WT_STREAM_MAX_WORKERS = 64 };

/* What a worker made of one item: bytes that stay its own until its next
 * item. */
struct wt_stream_result {
    const char *out;  /* for out_fd */
    size_t out_len;
    const char *msgs; /* for msgs */
    size_t msgs_len;
    struct wt_job_report report;
};

struct wt_stream_pool;

struct wt_stream {
    int workers;           /* 2 .. WT_STREAM_MAX_WORKERS (more are capped) */
    int out_fd;            /* the results' output, in item order */
    struct wt_bytes *msgs; /* the results' messages, in item order */
    void *ctx;
    /* In a worker: one item, the bytes sent, into `result` (report zeroed). */
    void (*work)(void *ctx, const char *item, size_t len, struct wt_stream_result *result);
    /* In the writer thread, in item order, after the item's output. */
    void (*collect)(void *ctx, const struct wt_job_report *report);
    /* Kept by the functions below. */
    int write_errno;       /* a write to out_fd failed */
    int lost;              /* a worker is gone: nothing more is sent */
    unsigned long long sent;
    struct wt_stream_pool *pool;
};

/* Starts the workers and the writer thread.  Returns 0, with nothing left
 * running, when they cannot be started: the caller then works alone. */
int wt_stream_start(struct wt_stream *s);

/* Sends one item made of `count` parts.  Returns 0 once a worker is gone. */
int wt_stream_send(struct wt_stream *s, const void *const *parts, const size_t *lens,
                   size_t count);

/* Ends the items, waits for every result and every worker.  Returns 1, or
 * 0 when a worker ended unexpectedly (results from it on are missing). */
int wt_stream_finish(struct wt_stream *s);

/* Whether the input `path` must go to the first worker, read in its turn:
 * standard input ("-"), a FIFO, a device or a socket is read once and in
 * order, however often it is named. */
int wt_jobs_pin_input(const char *path);

/* How many of `workers` pay for themselves on these inputs: starting one
 * costs about what converting a megabyte or two does, so each must have at
 * least WT_JOBS_MIN_BYTES of input (regular files by their size; others,
 * whose size is unknown, count as enough).  The environment variable
 * WTTABLE_JOBS_MIN_BYTES sets another share (0: start every worker). */
enum { WT_JOBS_MIN_BYTES = 2 << 20 };
int wt_jobs_worth(char *const *paths, size_t count, int workers);

/* The number of processors online, at least 1: the meaning of "-j 0". */
int wt_jobs_cores(void);

/* Parses the argument of -j/--jobs: 0 means one per core.  Returns 0 for a
 * value that is not a whole number from 0 to 1024. */
int wt_jobs_parse(const char *arg, int *workers);

#ifdef __cplusplus
}
#endif

#endif
