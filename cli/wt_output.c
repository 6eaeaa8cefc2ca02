#define _GNU_SOURCE

#include "wt_output.h"

#include "wt_io.h"
#include "wt_signals.h"
#include "wt_stdfds.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

static void drop_temp(struct wt_output *out)
{
    if (out->temp_name[0] == '\0')
        return;
    unlinkat(out->dir_fd, out->temp_name, 0);
    wt_signals_forget_temp();
    out->temp_name[0] = '\0';
}

static void release_names(struct wt_output *out)
{
    free(out->temp_path);
    out->temp_path = NULL;
    free(out->final_path);
    out->final_path = NULL;
    if (out->dir_fd >= 0)
        close(out->dir_fd);
    out->dir_fd = -1;
}

/* The temporary file is made and named relative to its folder, so its name
 * fits wherever the target's fits, however long the folder's path. */
static int open_dir_of(const char *path, const char **base)
{
    const char *slash = strrchr(path, '/');
    *base = slash == NULL ? path : slash + 1;
    if (slash == NULL)
        return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash == path)
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    size_t dir_len = (size_t)(slash - path);
    char *dir = malloc(dir_len + 1);
    if (dir == NULL)
        return -1;
    memcpy(dir, path, dir_len);
    dir[dir_len] = '\0';
    int fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    int saved = errno;
    free(dir);
    errno = saved;
    return fd;
}

static void random_temp_name(char name[WT_SIGNALS_NAME_MAX])
{
    static const char k_chars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static unsigned long long s_counter;
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != (ssize_t)sizeof bytes) {
        unsigned long long v = (unsigned long long)getpid() * 1000003u + ++s_counter +
                               (unsigned long long)time(NULL) * 7919u;
        memcpy(bytes, &v, sizeof bytes);
    }
    memcpy(name, ".wttable-", 9);
    for (int i = 0; i < 8; i++)
        name[9 + i] = k_chars[bytes[i] % (sizeof k_chars - 1)];
    name[17] = '\0';
}

/* A temporary file beside `path`, registered for removal by the signal
 * handler.  Returns its descriptor, or -1 with errno set. */
static int create_temp_beside(struct wt_output *out, const char *path)
{
    const char *base;
    out->dir_fd = open_dir_of(path, &base);
    if (out->dir_fd < 0)
        return -1;
    out->final_base = base;
    for (int tries = 0; tries < 100; tries++) {
        random_temp_name(out->temp_name);
        /* No signal between creating the file and registering it for removal. */
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_BLOCK, &all, &old);
        int fd = openat(out->dir_fd, out->temp_name,
                        O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0)
            wt_signals_remove_on_exit(out->dir_fd, out->temp_name);
        int saved = errno;
        sigprocmask(SIG_SETMASK, &old, NULL);
        if (fd >= 0) {
            size_t dir_len = (size_t)(base - path);
            size_t need = dir_len + strlen(out->temp_name) + 1;
            out->temp_path = malloc(need);
            if (out->temp_path == NULL) {
                close(fd);
                drop_temp(out);
                errno = ENOMEM;
                return -1;
            }
            snprintf(out->temp_path, need, "%.*s%s", (int)dir_len, path, out->temp_name);
            return fd;
        }
        out->temp_name[0] = '\0';
        if (saved != EEXIST) {
            errno = saved;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
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
    out->dir_fd = -1;
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
    out->fd = create_temp_beside(out, path);
    if (out->fd < 0) {
        int saved = errno;
        release_names(out);
        errno = saved;
        return 0;
    }
    copy_attributes(out);
    return 1;
}

/* "PROGRAM: interrupted while TARGET was rewritten; the whole output is
 * kept in TEMP", made before the copy so that the handler only writes. */
static char *in_place_notice(const struct wt_output *out)
{
    static const char k_middle[] = ": interrupted while rewriting ";
    static const char k_kept[] = "; the whole output is kept in ";
    const char *program = wt_signals_program();
    size_t need = strlen(program) + sizeof k_middle + strlen(out->final_path) + sizeof k_kept +
                  strlen(out->temp_path) + 2;
    char *notice = malloc(need);
    if (notice != NULL)
        snprintf(notice, need, "%s%s%s%s%s\n", program, k_middle, out->final_path, k_kept,
                 out->temp_path);
    return notice;
}

/* Copies the finished temporary file into the target, for a target with
 * other hard links that a rename would cut off.  The room is reserved
 * first, so a full disk leaves the target as it was. */
static int copy_into_target(struct wt_output *out)
{
    struct stat st;
    if (fstat(out->fd, &st) != 0)
        return 0;
    int dst = openat(out->dir_fd, out->final_base, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (dst < 0)
        return 0;
    if (st.st_size > 0 && fallocate(dst, FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        int saved = errno;
        close(dst);
        errno = saved;
        return 0;
    }
    /* While the target is neither old nor new, the temporary file is the
     * only whole copy: a signal must keep it. */
    char *notice = in_place_notice(out);
    if (notice == NULL) {
        close(dst);
        errno = ENOMEM;
        return 0;
    }
    out->notice = notice;
    wt_signals_say_on_exit(notice);
    int ok = wt_copy_from_start(out->fd, dst) && ftruncate(dst, st.st_size) == 0 &&
             (fsync(dst) == 0 || errno == EINVAL);
    int saved = errno;
    ok = close(dst) == 0 && ok;
    if (!ok)
        errno = saved;
    return ok; /* the caller clears and frees the notice */
}

int wt_output_close(struct wt_output *out, int keep, char **kept_copy)
{
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
    int saved = 0;
    if (!keep) {
        close(out->fd);
        drop_temp(out);
    } else if (out->in_place) {
        ok = copy_into_target(out);
        saved = errno;
        close(out->fd);
        if (ok) {
            /* The target is whole: the notice goes before the copy it names
             * (a signal between the two removes the copy, as it should). */
            wt_signals_say_on_exit(NULL);
            drop_temp(out);
        } else {
            /* The target may be cut short: the whole output stays here, and
             * the caller names it. */
            wt_signals_forget_temp();
            wt_signals_say_on_exit(NULL);
            *kept_copy = out->temp_path;
            out->temp_path = NULL;
        }
        /* Freed only once the signal handler can no longer read it. */
        free(out->notice);
        out->notice = NULL;
    } else {
        ok = close(out->fd) == 0 &&
             renameat(out->dir_fd, out->temp_name, out->dir_fd, out->final_base) == 0;
        saved = errno;
        if (ok)
            wt_signals_forget_temp();
        else
            drop_temp(out);
    }
    out->fd = -1;
    release_names(out);
    errno = saved;
    return ok;
}
