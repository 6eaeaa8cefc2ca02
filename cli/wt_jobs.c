#define _GNU_SOURCE

#include "wt_jobs.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "wt_output.h"

enum { WT_MAX_WORKERS = 1024 };

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
    return jobs->owner != NULL ? jobs->owner[i] : (int)(i % (size_t)jobs->workers);
}

/* The turn and the report travel over one socket pair per worker: send()
 * with MSG_NOSIGNAL turns a dead peer into an error instead of a SIGPIPE
 * that would end the process. */
static int send_all(int fd, const void *data, size_t len)
{
    const char *p = data;
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

static int read_exact(int fd, void *data, size_t len)
{
    char *p = data;
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

static int run_in_process(const struct wt_jobs *jobs)
{
    for (size_t i = 0; i < jobs->count; i++) {
        struct wt_job_report report;
        memset(&report, 0, sizeof report);
        jobs->prepare(jobs->ctx, i);
        jobs->emit(jobs->ctx, i, &report);
        if (!jobs->collect(jobs->ctx, i, &report))
            break;
    }
    return 1;
}

/* The worker's loop: prepare the next own item, wait for its turn, emit it,
 * report.  A closed turn pipe means the run stopped. */
static void worker_main(const struct wt_jobs *jobs, int self, int fd)
{
    for (size_t i = 0; i < jobs->count; i++) {
        if (owner_of(jobs, i) != self)
            continue;
        jobs->prepare(jobs->ctx, i);
        char go;
        if (!read_exact(fd, &go, 1))
            _exit(0);
        struct wt_job_report report;
        memset(&report, 0, sizeof report);
        jobs->emit(jobs->ctx, i, &report);
        if (!send_all(fd, &report, sizeof report))
            _exit(0);
    }
    _exit(0);
}

struct worker {
    pid_t pid;
    int fd; /* the parent sends one byte ("your turn") and reads the report */
};

static void stop_workers(struct worker *w, int n, int sig)
{
    for (int k = 0; k < n; k++) {
        if (w[k].fd >= 0)
            close(w[k].fd);
        w[k].fd = -1;
        if (sig != 0 && w[k].pid > 0)
            kill(w[k].pid, sig);
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
        while (waitpid(w[k].pid, &wstatus, 0) < 0 && errno == EINTR)
            ;
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
    fflush(NULL);
    for (int k = 0; k < jobs->workers; k++) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            goto fail;
        pid_t pid = fork();
        if (pid < 0) {
            close(pair[0]);
            close(pair[1]);
            goto fail;
        }
        if (pid == 0) {
            wt_signals_forget_temp();
            wt_signals_forward_to(NULL, 0);
            /* Earlier workers' pipe ends belong to the parent alone. */
            for (int j = 0; j < k; j++)
                close(w[j].fd);
            close(pair[0]);
            worker_main(jobs, k, pair[1]);
        }
        close(pair[1]);
        w[k].pid = pid;
        w[k].fd = pair[0];
        pids[k] = pid;
        wt_signals_forward_to(pids, k + 1);
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

    int n = jobs->workers;
    struct worker *w = calloc((size_t)n, sizeof *w);
    pid_t *pids = calloc((size_t)n, sizeof *pids);
    if (w == NULL || pids == NULL) {
        fprintf(stderr, "%s: %s\n", program, strerror(ENOMEM));
        free(w);
        free(pids);
        return 0;
    }
    for (int k = 0; k < n; k++)
        w[k].fd = -1;

    int ok = start_workers(jobs, w, pids, program);
    int lost = 0;
    for (size_t i = 0; ok && i < jobs->count; i++) {
        struct worker *turn = &w[owner_of(jobs, i)];
        struct wt_job_report report;
        if (!send_all(turn->fd, "g", 1) || !read_exact(turn->fd, &report, sizeof report)) {
            lost = 1;
            break;
        }
        if (!jobs->collect(jobs->ctx, i, &report))
            break;
    }
    /* Items not yet emitted are abandoned: no worker holds an output open
     * between turns, so killing them loses nothing. */
    stop_workers(w, n, lost ? 0 : SIGKILL);
    int failed = 0;
    int killed_by = reap_workers(w, n, &failed);
    wt_signals_forward_to(NULL, 0);
    free(w);
    free(pids);
    if (killed_by != 0) {
        /* End as one process would have: a closed pipe quietly, say. */
        raise(killed_by);
    }
    if (ok && (lost || failed)) {
        fprintf(stderr, "%s: a worker process ended unexpectedly\n", program);
        ok = 0;
    }
    return ok;
}
