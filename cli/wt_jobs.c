#define _GNU_SOURCE

#include "wt_jobs.h"

#include <errno.h>
#include <fcntl.h>
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
        pid_t pid = fork();
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            goto fail;
        }
        if (pid == 0) {
            wt_signals_forget_temp();
            wt_signals_forward_to(NULL, 0);
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
        pids[k] = pid;
        wt_signals_forward_to(pids, k + 1);
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
