#define _GNU_SOURCE

#include "wt_output.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int s_stdin_closed;
static int s_stdout_closed;

/* Read by the signal handler: the temporary file to remove and the workers
 * to pass the signal on to. */
static char *volatile s_temp_path;
static const pid_t *volatile s_forward_pids;
static volatile int s_forward_count;

void wt_standard_fds_guard(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == 0)
            s_stdin_closed = 1;
        if (fd == 1)
            s_stdout_closed = 1;
        /* The lowest free descriptor is this one. */
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            _exit(2);
    }
}

int wt_stdin_was_closed(void)
{
    return s_stdin_closed;
}

int wt_stdout_was_closed(void)
{
    return s_stdout_closed;
}

static void on_terminating_signal(int sig)
{
    int saved = errno;
    const pid_t *pids = s_forward_pids;
    for (int i = 0; pids != NULL && i < s_forward_count; i++)
        kill(pids[i], sig);
    char *temp = s_temp_path;
    if (temp != NULL)
        unlink(temp);
    signal(sig, SIG_DFL);
    errno = saved;
    raise(sig);
}

void wt_signals_install(void)
{
    static const int k_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_terminating_signal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < sizeof k_signals / sizeof k_signals[0]; i++)
        sigaddset(&action.sa_mask, k_signals[i]);
    for (size_t i = 0; i < sizeof k_signals / sizeof k_signals[0]; i++) {
        struct sigaction old;
        sigaction(k_signals[i], NULL, &old);
        /* A caller's "ignore" is kept for SIGINT and SIGHUP (nohup, background
         * jobs); a closed pipe always ends the run, as documented. */
        if (old.sa_handler == SIG_IGN && k_signals[i] != SIGPIPE)
            continue;
        sigaction(k_signals[i], &action, NULL);
    }
}

void wt_signals_forward_to(const pid_t *pids, int count)
{
    s_forward_pids = NULL;
    s_forward_count = count;
    s_forward_pids = pids;
}

void wt_signals_forget_temp(void)
{
    s_temp_path = NULL;
}

int wt_write_all(int fd, const void *data, size_t len)
{
    const char *p = data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

int wt_read_all(int fd, void *data, size_t len)
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

static char *dup_range(const char *s, size_t len)
{
    char *copy = malloc(len + 1);
    if (copy != NULL) {
        memcpy(copy, s, len);
        copy[len] = '\0';
    }
    return copy;
}

/* The file a write to `target` lands in: symbolic links are followed, so the
 * link stays and the file it names is replaced.  Returns a new string, or
 * NULL with errno set. */
static char *resolve_links(const char *target)
{
    char *path = dup_range(target, strlen(target));
    for (int hops = 0; path != NULL; hops++) {
        struct stat st;
        if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        if (hops == 40) {
            free(path);
            errno = ELOOP;
            return NULL;
        }
        char link[PATH_MAX];
        ssize_t n = readlink(path, link, sizeof link);
        if (n < 0 || (size_t)n >= sizeof link) {
            if (n >= 0)
                errno = ENAMETOOLONG;
            free(path);
            return NULL;
        }
        const char *slash = strrchr(path, '/');
        size_t dir_len = link[0] == '/' || slash == NULL ? 0 : (size_t)(slash - path) + 1;
        char *next = malloc(dir_len + (size_t)n + 1);
        if (next != NULL) {
            memcpy(next, path, dir_len);
            memcpy(next + dir_len, link, (size_t)n);
            next[dir_len + (size_t)n] = '\0';
        }
        free(path);
        path = next;
    }
    return NULL;
}

/* A temporary file beside `path`.  Its name is short and fixed in length, so
 * it fits wherever the target's name fits. */
static int create_temp_beside(const char *path, char **temp_out)
{
    static const char k_name[] = ".wttable-XXXXXX";
    const char *slash = strrchr(path, '/');
    size_t dir_len = slash == NULL ? 0 : (size_t)(slash - path) + 1;
    char *temp = malloc(dir_len + sizeof k_name);
    if (temp == NULL)
        return -1;
    memcpy(temp, path, dir_len);
    memcpy(temp + dir_len, k_name, sizeof k_name);

    /* No signal between creating the file and registering it for removal. */
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd >= 0)
        s_temp_path = temp;
    int saved = errno;
    sigprocmask(SIG_SETMASK, &old, NULL);
    if (fd < 0) {
        free(temp);
        errno = saved;
        return -1;
    }
    *temp_out = temp;
    return fd;
}

static void drop_temp(struct wt_output *out)
{
    if (out->temp_path == NULL)
        return;
    unlink(out->temp_path);
    if (s_temp_path == out->temp_path)
        s_temp_path = NULL;
    free(out->temp_path);
    out->temp_path = NULL;
}

/* Gives the temporary file the old file's permission bits and, where this
 * process may, its owner and group; a new file gets the usual mode. */
static void copy_attributes(const struct wt_output *out)
{
    if (!out->has_old) {
        mode_t mask = umask(0);
        umask(mask);
        fchmod(out->fd, 0666 & ~mask);
        return;
    }
    if (fchown(out->fd, out->old_uid, out->old_gid) != 0) {
        /* Not allowed to give the file away: keep at least the group. */
        if (fchown(out->fd, (uid_t)-1, out->old_gid) != 0) {
            /* Neither: do not hand set-id bits to another owner. */
            fchmod(out->fd, out->old_mode & 0777);
            return;
        }
    }
    fchmod(out->fd, out->old_mode & 07777);
}

int wt_output_open(struct wt_output *out, const char *target)
{
    memset(out, 0, sizeof *out);
    out->fd = -1;
    out->name = target;
    if (target == NULL || strcmp(target, "-") == 0) {
        out->kind = WT_OUTPUT_STDOUT;
        out->fd = 1;
        out->name = "(standard output)";
        return 1;
    }
    char *path = resolve_links(target);
    if (path == NULL)
        return 0;
    struct stat st;
    if (stat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            free(path);
            errno = EISDIR;
            return 0;
        }
        if (!S_ISREG(st.st_mode)) {
            /* A device, FIFO or socket is never replaced: write into it. */
            out->kind = WT_OUTPUT_DIRECT;
            out->fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
            free(path);
            return out->fd >= 0;
        }
        out->has_old = 1;
        out->old_mode = st.st_mode;
        out->old_uid = st.st_uid;
        out->old_gid = st.st_gid;
        /* Renaming would break the other links: fill the file itself. */
        out->in_place = st.st_nlink > 1;
        if (access(path, W_OK) != 0) {
            /* Replacing would bypass the file's own permissions. */
            free(path);
            return 0;
        }
    } else if (errno != ENOENT) {
        free(path);
        return 0;
    } else if (path[0] != '\0' && path[strlen(path) - 1] == '/') {
        free(path);
        errno = EISDIR;
        return 0;
    }
    out->kind = WT_OUTPUT_REPLACE;
    out->final_path = path;
    out->fd = create_temp_beside(path, &out->temp_path);
    if (out->fd < 0) {
        int saved = errno;
        free(path);
        out->final_path = NULL;
        errno = saved;
        return 0;
    }
    copy_attributes(out);
    return 1;
}

/* Copies the finished temporary file into the target, for a target with
 * other hard links that a rename would cut off. */
static int copy_into_target(struct wt_output *out)
{
    int dst = open(out->final_path, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (dst < 0)
        return 0;
    if (lseek(out->fd, 0, SEEK_SET) != 0) {
        int saved = errno;
        close(dst);
        errno = saved;
        return 0;
    }
    char block[1 << 16];
    for (;;) {
        ssize_t n = read(out->fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n > 0 && !wt_write_all(dst, block, (size_t)n))) {
            int saved = errno;
            close(dst);
            errno = saved;
            return 0;
        }
        if (n == 0)
            break;
    }
    if (fsync(dst) != 0 && errno != EINVAL) {
        int saved = errno;
        close(dst);
        errno = saved;
        return 0;
    }
    return close(dst) == 0;
}

int wt_output_close(struct wt_output *out, int keep, const char **kept_copy)
{
    if (kept_copy != NULL)
        *kept_copy = NULL;
    int ok = 1;
    switch (out->kind) {
    case WT_OUTPUT_STDOUT:
        if (keep && wt_stdout_was_closed()) {
            errno = EBADF;
            ok = 0;
        }
        return ok;
    case WT_OUTPUT_DIRECT:
        ok = close(out->fd) == 0 || errno == EINTR;
        out->fd = -1;
        return ok;
    case WT_OUTPUT_REPLACE:
        break;
    }
    if (!keep) {
        close(out->fd);
        drop_temp(out);
        free(out->final_path);
        out->final_path = NULL;
        return 1;
    }
    if (out->in_place) {
        ok = copy_into_target(out);
        int saved = errno;
        close(out->fd);
        if (ok) {
            drop_temp(out);
        } else if (kept_copy != NULL) {
            /* The target may be cut short: the whole output stays here. */
            s_temp_path = NULL;
            *kept_copy = out->temp_path;
        }
        errno = saved;
    } else {
        ok = close(out->fd) == 0 && rename(out->temp_path, out->final_path) == 0;
        int saved = errno;
        if (ok) {
            s_temp_path = NULL;
            free(out->temp_path);
            out->temp_path = NULL;
        } else {
            drop_temp(out);
        }
        errno = saved;
    }
    out->fd = -1;
    free(out->final_path);
    out->final_path = NULL;
    return ok;
}
