#define _GNU_SOURCE

#include "wt_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

/* Read by the signal handler: the temporary file to remove, or the notice
 * to write instead, and the workers to pass the signal on to. */
static volatile sig_atomic_t s_temp_armed;
static int s_temp_dir = -1;
static char s_temp_name[WT_SIGNALS_NAME_MAX];
static char *volatile s_notice;
static const pid_t *volatile s_forward_pids;
static volatile int s_forward_count;
static const char *s_program = "wttable";

static const int k_terminating[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

static void on_terminating_signal(int sig)
{
    int saved = errno;
    const pid_t *pids = s_forward_pids;
    for (int i = 0; pids != NULL && i < s_forward_count; i++)
        kill(pids[i], sig);
    char *notice = s_notice;
    if (notice != NULL)
        (void)!write(2, notice, strlen(notice));
    else if (s_temp_armed)
        unlinkat(s_temp_dir, s_temp_name, 0);
    signal(sig, SIG_DFL);
    errno = saved;
    raise(sig);
}

void wt_signals_install(const char *program)
{
    s_program = program;
    /* An ignored SIGCHLD, inherited across exec, would reap the workers
     * before waitpid could tell how they ended. */
    signal(SIGCHLD, SIG_DFL);
    const int *k_signals = k_terminating;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_terminating_signal;
    sigemptyset(&action.sa_mask);
    const size_t count = sizeof k_terminating / sizeof k_terminating[0];
    for (size_t i = 0; i < count; i++)
        sigaddset(&action.sa_mask, k_signals[i]);
    for (size_t i = 0; i < count; i++) {
        struct sigaction old;
        sigaction(k_signals[i], NULL, &old);
        /* A caller's "ignore" is kept for SIGINT and SIGHUP (nohup, background
         * jobs); a closed pipe always ends the run, as documented. */
        if (old.sa_handler == SIG_IGN && k_signals[i] != SIGPIPE)
            continue;
        sigaction(k_signals[i], &action, NULL);
    }
}

static void block_terminating(sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    for (size_t i = 0; i < sizeof k_terminating / sizeof k_terminating[0]; i++)
        sigaddset(&set, k_terminating[i]);
    sigprocmask(SIG_BLOCK, &set, old);
}

pid_t wt_signals_fork_worker(pid_t *pids, int index)
{
    /* A signal between fork and the worker's listing would end this
     * process and leave the worker waiting for a turn that never comes. */
    sigset_t old;
    block_terminating(&old);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        wt_signals_forget_temp();
        wt_signals_forward_to(NULL, 0);
        /* Should this process be killed outright, its workers go too. */
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
    } else if (pid > 0) {
        pids[index] = pid;
        wt_signals_forward_to(pids, index + 1);
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
    return pid;
}

void wt_signals_forward_to(const pid_t *pids, int count)
{
    s_forward_pids = NULL;
    s_forward_count = count;
    s_forward_pids = pids;
}

const char *wt_signals_program(void)
{
    return s_program;
}

void wt_signals_remove_on_exit(int dir_fd, const char *name)
{
    s_temp_armed = 0;
    s_temp_dir = dir_fd;
    snprintf(s_temp_name, sizeof s_temp_name, "%s", name);
    s_temp_armed = 1;
}

void wt_signals_forget_temp(void)
{
    s_temp_armed = 0;
}

void wt_signals_say_on_exit(char *notice)
{
    s_notice = notice;
}
