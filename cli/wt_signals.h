/* Terminating signals: the program ends with the signal's status after
 * passing it on to its workers and removing its temporary file, or, while
 * that file is the only whole copy of the output, keeping it and saying
 * where it is. */
#ifndef WT_SIGNALS_H
#define WT_SIGNALS_H

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { WT_SIGNALS_NAME_MAX = 32 };

/* Installs handlers for SIGINT, SIGTERM, SIGHUP and SIGPIPE; SIGPIPE is set
 * to its default action first, whatever the caller left, and SIGCHLD too.
 * Messages name `program`. */
void wt_signals_install(const char *program);
const char *wt_signals_program(void);

/* Asks the handler to forward a terminating signal to these processes (the
 * workers) before the program ends; NULL to stop. */
void wt_signals_forward_to(const pid_t *pids, int count);

/* fork() for a worker: in this process the worker becomes pids[index] and
 * signals reach pids[0 .. index]; the worker forgets this process's
 * temporary file and dies with it.  No signal can fall between the two. */
pid_t wt_signals_fork_worker(pid_t *pids, int index);

/* The temporary file `name` (shorter than WT_SIGNALS_NAME_MAX) in the
 * folder `dir_fd` is removed if a signal ends the program. */
void wt_signals_remove_on_exit(int dir_fd, const char *name);

/* Forgets that file: it was renamed or removed, or, in a worker process,
 * it is the parent's to remove. */
void wt_signals_forget_temp(void);

/* While `notice` is set (NULL to clear), a signal keeps the temporary file
 * and writes the notice to standard error instead.  The caller owns it. */
void wt_signals_say_on_exit(char *notice);

#ifdef __cplusplus
}
#endif

#endif
