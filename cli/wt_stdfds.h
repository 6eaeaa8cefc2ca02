/* The standard descriptors: made valid before anything is opened, so that
 * no file the program opens takes their place. */
#ifndef WT_STDFDS_H
#define WT_STDFDS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Makes descriptors 0, 1 and 2 valid before anything else is opened.  Those
 * that were closed are opened on /dev/null and remembered: reading a closed
 * standard input and writing a closed standard output then fail with
 * EBADF. */
void wt_standard_fds_guard(void);
int wt_stdin_was_closed(void);
int wt_stdout_was_closed(void);

#ifdef __cplusplus
}
#endif

#endif
