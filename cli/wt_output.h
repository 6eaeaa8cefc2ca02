/* Output files that careful people can trust: a regular file is replaced
 * atomically and keeps its mode and owner, a device or FIFO is written in
 * place, and an interrupted run leaves no temporary file behind.  Shared by
 * the command-line programs. */
#ifndef WT_OUTPUT_H
#define WT_OUTPUT_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum wt_output_kind {
    WT_OUTPUT_STDOUT, /* descriptor 1 */
    WT_OUTPUT_DIRECT, /* an existing device, FIFO or socket, written in place */
    WT_OUTPUT_REPLACE /* a temporary file renamed over the target at the end */
};

enum { WT_OUTPUT_TEMP_NAME = 24 };

struct wt_output {
    enum wt_output_kind kind;
    int fd;
    const char *name;  /* for messages: the target as given */
    char *final_path;  /* the file that is replaced (a symlink's target) */
    const char *final_base; /* its last component, in final_path */
    int dir_fd;        /* its folder: temporary names are relative to it */
    char temp_name[WT_OUTPUT_TEMP_NAME]; /* WT_OUTPUT_REPLACE: the temporary file */
    char *temp_path;   /* the same with the folder, for messages */
    int in_place;      /* the target has other hard links: copy into it */
    int has_old;       /* the target existed: its mode and owner are kept */
    mode_t old_mode;
    uid_t old_uid;
    gid_t old_gid;
};

/* Makes descriptors 0, 1 and 2 valid before anything else is opened, so that
 * no file the program opens takes their place.  Those that were closed are
 * opened on /dev/null and remembered: reading a closed standard input and
 * writing a closed standard output then fail with EBADF. */
void wt_standard_fds_guard(void);
int wt_stdin_was_closed(void);
int wt_stdout_was_closed(void);

/* Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE that remove the
 * current temporary file and end the process with the signal's status.
 * SIGPIPE is set to its default action first, whatever the caller left.
 * While a hard-linked target is being filled in place the temporary file is
 * the only whole copy: then it is kept, and named on standard error after
 * `program`. */
void wt_signals_install(const char *program);

/* Asks the signal handler to forward a terminating signal to these processes
 * (the workers) before the program ends; NULL to stop. */
void wt_signals_forward_to(const pid_t *pids, int count);

/* Forgets the temporary file of an inherited output, in a worker process
 * that must not remove its parent's file. */
void wt_signals_forget_temp(void);

/* Opens the output named `target` ("-" or NULL: standard output).  Returns 1,
 * or 0 with errno set (EISDIR for a folder). */
int wt_output_open(struct wt_output *out, const char *target);

/* Ends the output.  With `keep` the temporary file replaces the target;
 * without it the temporary file is removed and the target is left as it
 * was.  Returns 1, or 0 with errno set when closing or replacing failed (the
 * target is then unchanged, or for a hard-linked target that may be cut
 * short its new content is kept in the temporary file, whose name, to be
 * reported and freed by the caller, *kept_copy gets; else NULL). */
int wt_output_close(struct wt_output *out, int keep, char **kept_copy);

/* Writes all of `len` bytes to a descriptor, retrying short writes and
 * EINTR.  Returns 1, or 0 with errno set. */
int wt_write_all(int fd, const void *data, size_t len);

/* Reads exactly `len` bytes, retrying short reads and EINTR.  Returns 1, or
 * 0 at an error or an end before `len` bytes. */
int wt_read_all(int fd, void *data, size_t len);

/* Copies the whole of the file `from`, from its start, to `to`.  Returns 1,
 * or 0 with errno set. */
int wt_copy_from_start(int from, int to);

#ifdef __cplusplus
}
#endif

#endif
