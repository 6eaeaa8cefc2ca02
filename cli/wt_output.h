/* Output files that careful people can trust: a regular file is replaced
 * atomically and keeps its mode and owner, a device or FIFO is written in
 * place, and an interrupted run leaves no temporary file behind (wt_signals
 * removes it).  Shared by the command-line programs. */
#ifndef WT_OUTPUT_H
#define WT_OUTPUT_H

#include <stddef.h>
#include <sys/types.h>

#include "wt_signals.h"

#ifdef __cplusplus
extern "C" {
#endif

enum wt_output_kind {
    WT_OUTPUT_STDOUT, /* descriptor 1 */
    WT_OUTPUT_DIRECT, /* an existing device, FIFO or socket, written in place */
    WT_OUTPUT_REPLACE /* a temporary file renamed over the target at the end */
};

struct wt_output {
    enum wt_output_kind kind;
    int fd;
    const char *name;  /* for messages: the target as given */
    char *final_path;  /* the file that is replaced (a symlink's target) */
    const char *final_base; /* its last component, in final_path */
    int dir_fd;        /* its folder: temporary names are relative to it */
    char temp_name[WT_SIGNALS_NAME_MAX]; /* WT_OUTPUT_REPLACE: the temporary file */
    char *temp_path;   /* the same with the folder, for messages */
    char *notice;      /* what a signal says while the target is filled in place */
    int in_place;      /* the target has other hard links: copy into it */
    int has_old;       /* the target existed: its mode and owner are kept */
    mode_t old_mode;
    uid_t old_uid;
    gid_t old_gid;
};

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

#ifdef __cplusplus
}
#endif

#endif
