#define _GNU_SOURCE

#include "wt_jobs.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "wt_io.h"
#include "wt_signals.h"

enum { WT_MAX_WORKERS = 1024 };

int wt_jobs_pin_input(const char *path)
{
    struct stat st;
    return strcmp(path, "-") == 0 || (stat(path, &st) == 0 && !S_ISREG(st.st_mode));
}

static long long min_share(void)
{
    const char *text = getenv("WTTABLE_JOBS_MIN_BYTES");
    if (text == NULL || *text == '\0')
        return WT_JOBS_MIN_BYTES;
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    return errno != 0 || *end != '\0' || v < 0 ? WT_JOBS_MIN_BYTES : v;
}

int wt_jobs_worth(char *const *paths, size_t count, int workers)
{
    long long share = min_share();
    if (workers <= 1 || share == 0)
        return workers;
    long long total = 0, enough = share * workers;
    for (size_t i = 0; i < count && total < enough; i++) {
        struct stat st;
        if (strcmp(paths[i], "-") == 0 || stat(paths[i], &st) != 0 || !S_ISREG(st.st_mode))
            return workers; /* unknown, or an error the reading will name */
        total += (long long)st.st_size;
    }
    long long worth = total / share;
    return worth >= workers ? workers : worth < 1 ? 1 : (int)worth;
}

int wt_jobs_cores(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > WT_MAX_WORKERS ? WT_MAX_WORKERS : (int)n;
}

int wt_jobs_parse(const char *arg, int *workers)
{
    char *end;
    errno = 0;
    long n = strtol(arg, &end, 10);
    if (errno != 0 || end == arg || *end != '\0' || n < 0 || n > WT_MAX_WORKERS)
        return 0;
    *workers = n == 0 ? wt_jobs_cores() : (int)n;
    return 1;
}

static int owner_of(const struct wt_jobs *jobs, size_t i)
{
    if (jobs->pinned != NULL && jobs->pinned[i])
        return 0;
    size_t block = jobs->block != 0 ? jobs->block : WT_JOBS_AHEAD;
    return (int)(i / block % (size_t)jobs->workers);
}

static int run_in_process(const struct wt_jobs *jobs)
{
    for (size_t i = 0; i < jobs->count; i++) {
        struct wt_job_report report;
        memset(&report, 0, sizeof report);
        jobs->prepare(jobs->ctx, i, 0, 0);
        jobs->emit(jobs->ctx, i, 0, &report);
        if (!jobs->collect(jobs->ctx, i, &report) || report.stop)
            break;
    }
    return 1;
}

struct worker {
    pid_t pid;
    int turn_read;   /* the worker waits here for its turn */
    int turn_write;  /* others hand the turn over here */
    int report_read; /* the parent reads the reports here */
};

static size_t next_own(const struct wt_jobs *jobs, size_t i, int self)
{
    while (i < jobs->count && owner_of(jobs, i) != self)
        i++;
    return i;
}

/* Prepares own items ahead into free slots, emits the oldest at its turn,
 * and hands the turn on when the next item is another worker's.  The turn is
 * one byte: 'g' to go on, 's' when the run has stopped.  Reports go to the
 * parent a block at a time, when the turn is handed on: every wake-up of the
 * parent would take a core from a worker. */
static void worker_main(const struct wt_jobs *jobs, const struct worker *w, int self,
                        int report_fd)
{
    size_t queue[WT_JOBS_AHEAD];
    size_t held[WT_JOBS_AHEAD];
    struct wt_job_report reports[WT_JOBS_AHEAD];
    size_t unsent = 0;
    size_t head = 0, count = 0, held_total = 0;
    size_t next = next_own(jobs, 0, self);
    int have_turn = 0;
    for (;;) {
        /* Prepare ahead while there is room, or at least one item. */
        while (next < jobs->count && count < WT_JOBS_AHEAD &&
               (count == 0 || (!have_turn && held_total < WT_JOBS_HOLD_BYTES))) {
            size_t slot = (head + count) % WT_JOBS_AHEAD;
            held[slot] = jobs->prepare(jobs->ctx, next, (int)slot, 1);
            held_total += held[slot];
            queue[slot] = next;
            count++;
            next = next_own(jobs, next + 1, self);
        }
        if (count == 0)
            break;
        size_t i = queue[head];
        if (!have_turn) {
            char turn;
            if (!wt_read_all(w[self].turn_read, &turn, 1) || turn != 'g')
                break;
            have_turn = 1;
        }
        struct wt_job_report *report = &reports[unsent++];
        memset(report, 0, sizeof *report);
        jobs->emit(jobs->ctx, i, (int)head, report);
        held_total -= held[head];
        head = (head + 1) % WT_JOBS_AHEAD;
        count--;
        int hand_on = i + 1 < jobs->count && (report->stop || owner_of(jobs, i + 1) != self);
        if (hand_on) {
            wt_write_all(w[owner_of(jobs, i + 1)].turn_write, report->stop ? "s" : "g", 1);
            have_turn = 0;
        }
        if (hand_on || report->stop || unsent == WT_JOBS_AHEAD || i + 1 == jobs->count) {
            int stop = report->stop;
            if (!wt_write_all(report_fd, reports, unsent * sizeof *report))
                break;
            unsent = 0;
            if (stop)
                break;
        }
    }
    _exit(0);
}

static void close_worker_fds(struct worker *w, int n)
{
    for (int k = 0; k < n; k++) {
        if (w[k].turn_read >= 0)
            close(w[k].turn_read);
        if (w[k].turn_write >= 0)
            close(w[k].turn_write);
        if (w[k].report_read >= 0)
            close(w[k].report_read);
        w[k].turn_read = w[k].turn_write = w[k].report_read = -1;
    }
}

/* Waits for every worker; returns the signal that killed one, or 0. */
static int reap_workers(struct worker *w, int n, int *failed)
{
    int killed_by = 0;
    for (int k = 0; k < n; k++) {
        int wstatus;
        if (w[k].pid <= 0)
            continue;
        pid_t got;
        while ((got = waitpid(w[k].pid, &wstatus, 0)) < 0 && errno == EINTR)
            ;
        if (got < 0) {
            /* Its end is unknown: not a success. */
            *failed = 1;
            continue;
        }
        if (WIFSIGNALED(wstatus) && WTERMSIG(wstatus) != SIGKILL && killed_by == 0)
            killed_by = WTERMSIG(wstatus);
        else if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) != 0)
            *failed = 1;
    }
    return killed_by;
}

static int start_workers(const struct wt_jobs *jobs, struct worker *w, pid_t *pids,
                         const char *program)
{
    int n = jobs->workers;
    /* Every worker can hand the turn to every other: all turn pipes first. */
    for (int k = 0; k < n; k++) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            goto fail;
        w[k].turn_read = fds[0];
        w[k].turn_write = fds[1];
    }
    fflush(NULL);
    for (int k = 0; k < n; k++) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            goto fail;
        pid_t pid = wt_signals_fork_worker(pids, k);
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            goto fail;
        }
        if (pid == 0) {
            close(fds[0]);
            for (int j = 0; j < k; j++) {
                close(w[j].report_read);
                w[j].report_read = -1;
            }
            worker_main(jobs, w, k, fds[1]);
        }
        close(fds[1]);
        w[k].pid = pid;
        w[k].report_read = fds[0];
    }
    /* The parent keeps only the report pipes and the first turn. */
    for (int k = 0; k < n; k++) {
        close(w[k].turn_read);
        w[k].turn_read = -1;
    }
    return 1;
fail:
    fprintf(stderr, "%s: cannot start workers: %s\n", program, strerror(errno));
    return 0;
}

int wt_jobs_run(const struct wt_jobs *jobs, const char *program)
{
    if (jobs->workers <= 1 || jobs->count <= 1)
        return run_in_process(jobs);

    int n = jobs->workers < (int)jobs->count ? jobs->workers : (int)jobs->count;
    struct wt_jobs capped = *jobs;
    capped.workers = n;
    jobs = &capped;
    struct worker *w = calloc((size_t)n, sizeof *w);
    pid_t *pids = calloc((size_t)n, sizeof *pids);
    if (w == NULL || pids == NULL) {
        fprintf(stderr, "%s: %s\n", program, strerror(ENOMEM));
        free(w);
        free(pids);
        return 0;
    }
    for (int k = 0; k < n; k++)
        w[k].turn_read = w[k].turn_write = w[k].report_read = -1;

    int ok = start_workers(jobs, w, pids, program);
    int lost = 0;
    if (ok && !wt_write_all(w[owner_of(jobs, 0)].turn_write, "g", 1))
        lost = 1;
    for (size_t i = 0; ok && !lost && i < jobs->count; i++) {
        struct wt_job_report report;
        if (!wt_read_all(w[owner_of(jobs, i)].report_read, &report, sizeof report)) {
            lost = 1;
            break;
        }
        if (!jobs->collect(jobs->ctx, i, &report) || report.stop)
            break;
    }
    /* The turn has stopped or the run is done: no worker is emitting, so
     * killing the ones still preparing loses nothing. */
    for (int k = 0; k < n; k++)
        if (w[k].pid > 0)
            kill(w[k].pid, SIGKILL);
    close_worker_fds(w, n);
    int failed = 0;
    int killed_by = reap_workers(w, n, &failed);
    wt_signals_forward_to(NULL, 0);
    free(w);
    free(pids);
    if (lost && killed_by != 0)
        raise(killed_by); /* end as the worker did: a closed pipe quietly, say */
    if (ok && (lost || failed)) {
        fprintf(stderr, "%s: a worker process ended unexpectedly\n", program);
        ok = 0;
    }
    return ok;
}

/* ---- items streamed from one reader ------------------------------------- */

struct stream_item_header {
    int end; /* no more items */
    size_t len;
};

struct stream_result_header {
    int end;
    size_t out_len, msgs_len;
    struct wt_job_report report;
};

struct wt_stream_pool {
    struct worker w[WT_STREAM_MAX_WORKERS];
    pid_t pids[WT_STREAM_MAX_WORKERS];
    int to_worker[WT_STREAM_MAX_WORKERS];
    pthread_t writer;
};

static int read_bytes(int fd, struct wt_bytes *b, size_t len)
{
    b->len = 0;
    if (!wt_bytes_reserve(b, len) || !wt_read_all(fd, b->data, len))
        return 0;
    b->len = len;
    return 1;
}

static void stream_worker(struct wt_stream *s, int in, int out)
{
    struct wt_bytes item = {NULL, 0, 0, 0};
    for (;;) {
        struct stream_item_header h;
        if (!wt_read_all(in, &h, sizeof h))
            _exit(3);
        struct stream_result_header r;
        memset(&r, 0, sizeof r);
        if (h.end) {
            r.end = 1;
            wt_write_all(out, &r, sizeof r);
            _exit(0);
        }
        if (!read_bytes(in, &item, h.len))
            _exit(3);
        struct wt_stream_result result;
        memset(&result, 0, sizeof result);
        s->work(s->ctx, item.data, item.len, &result);
        r.out_len = result.out_len;
        r.msgs_len = result.msgs_len;
        r.report = result.report;
        if (!wt_write_all(out, &r, sizeof r) || !wt_write_all(out, result.out, result.out_len) ||
            !wt_write_all(out, result.msgs, result.msgs_len))
            _exit(3);
    }
}

static int stream_owner(const struct wt_stream *s, unsigned long long seq)
{
    return (int)(seq / WT_STREAM_BLOCK % (unsigned long long)s->workers);
}

/* Results in item order, up to the end marker of the worker that would have
 * had the next item. */
static void *stream_writer(void *arg)
{
    struct wt_stream *s = arg;
    struct wt_bytes buf = {NULL, 0, 0, 0};
    for (unsigned long long seq = 0;; seq++) {
        int fd = s->pool->w[stream_owner(s, seq)].report_read;
        struct stream_result_header r;
        if (!wt_read_all(fd, &r, sizeof r) || (!r.end && !read_bytes(fd, &buf, r.out_len))) {
            __atomic_store_n(&s->lost, 1, __ATOMIC_RELAXED);
            break;
        }
        if (r.end)
            break;
        if (s->write_errno == 0 && !wt_write_all(s->out_fd, buf.data, buf.len))
            s->write_errno = errno ? errno : EIO;
        if (!read_bytes(fd, &buf, r.msgs_len)) {
            __atomic_store_n(&s->lost, 1, __ATOMIC_RELAXED);
            break;
        }
        wt_bytes_append(s->msgs, buf.data, buf.len);
        s->collect(s->ctx, &r.report);
    }
    wt_bytes_free(&buf);
    if (__atomic_load_n(&s->lost, __ATOMIC_RELAXED)) {
        /* Nobody reads the others' results now: stop them before they and
         * the reader wait on each other for ever. */
        for (int k = 0; k < s->workers; k++)
            kill(s->pool->pids[k], SIGKILL);
    }
    return NULL;
}

static void stop_stream_workers(struct wt_stream *s, int started)
{
    struct wt_stream_pool *pool = s->pool;
    for (int k = 0; k < started; k++) {
        kill(pool->pids[k], SIGKILL);
        close(pool->to_worker[k]);
    }
    int failed = 0;
    reap_workers(pool->w, started, &failed);
    close_worker_fds(pool->w, started);
    wt_signals_forward_to(NULL, 0);
    free(pool);
    s->pool = NULL;
}

int wt_stream_start(struct wt_stream *s)
{
    if (s->workers > WT_STREAM_MAX_WORKERS)
        s->workers = WT_STREAM_MAX_WORKERS;
    s->write_errno = 0;
    s->lost = 0;
    s->sent = 0;
    s->pool = calloc(1, sizeof *s->pool);
    if (s->pool == NULL)
        return 0;
    struct wt_stream_pool *pool = s->pool;
    fflush(NULL);
    int started = 0;
    for (int k = 0; k < s->workers; k++) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            break;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            break;
        }
        /* Room for whole items: a small pipe makes reader and worker take
         * turns a few kilobytes at a time.  A failure is fine. */
        fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
        fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
        pid_t pid = wt_signals_fork_worker(pool->pids, k);
        if (pid < 0) {
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            break;
        }
        if (pid == 0) {
            for (int j = 0; j < k; j++) {
                close(pool->to_worker[j]);
                close(pool->w[j].report_read);
            }
            close(in[1]);
            close(out[0]);
            stream_worker(s, in[0], out[1]);
        }
        close(in[0]);
        close(out[1]);
        pool->w[k].pid = pid;
        pool->w[k].turn_read = pool->w[k].turn_write = -1;
        pool->w[k].report_read = out[0];
        pool->to_worker[k] = in[1];
        started++;
    }
    if (started < s->workers || pthread_create(&pool->writer, NULL, stream_writer, s) != 0) {
        stop_stream_workers(s, started);
        return 0;
    }
    return 1;
}

int wt_stream_send(struct wt_stream *s, const void *const *parts, const size_t *lens,
                   size_t count)
{
    if (__atomic_load_n(&s->lost, __ATOMIC_RELAXED))
        return 0;
    struct stream_item_header h = {0, 0};
    for (size_t i = 0; i < count; i++)
        h.len += lens[i];
    int fd = s->pool->to_worker[stream_owner(s, s->sent)];
    int ok = wt_write_all(fd, &h, sizeof h);
    for (size_t i = 0; ok && i < count; i++)
        ok = wt_write_all(fd, parts[i], lens[i]);
    if (!ok) {
        __atomic_store_n(&s->lost, 1, __ATOMIC_RELAXED);
        return 0;
    }
    s->sent++;
    return 1;
}

int wt_stream_finish(struct wt_stream *s)
{
    struct wt_stream_pool *pool = s->pool;
    struct stream_item_header end = {1, 0};
    for (int k = 0; k < s->workers; k++)
        wt_write_all(pool->to_worker[k], &end, sizeof end);
    pthread_join(pool->writer, NULL);
    /* Each worker's last write, its end marker, must find its pipe open:
     * the result pipes close only after the workers are gone. */
    for (int k = 0; k < s->workers; k++)
        close(pool->to_worker[k]);
    int failed = 0;
    int killed_by = reap_workers(pool->w, s->workers, &failed);
    close_worker_fds(pool->w, s->workers);
    wt_signals_forward_to(NULL, 0);
    free(pool);
    s->pool = NULL;
    return !failed && killed_by == 0 && !__atomic_load_n(&s->lost, __ATOMIC_RELAXED);
}
