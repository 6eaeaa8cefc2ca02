/* Whole reads, writes and copies on descriptors, retrying short transfers
 * and EINTR. */
#ifndef WT_IO_H
#define WT_IO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes all of `len` bytes.  Returns 1, or 0 with errno set. */
int wt_write_all(int fd, const void *data, size_t len);

/* Reads exactly `len` bytes.  Returns 1, or 0 at an error or an end before
 * `len` bytes. */
int wt_read_all(int fd, void *data, size_t len);

/* Reads exactly `len` bytes at `offset`, leaving the file position alone.
 * Returns 1, or 0 at an error or an end before `len` bytes. */
int wt_read_all_at(int fd, void *data, size_t len, long long offset);

/* Copies the whole of the file `from`, from its start, to `to`.  Returns 1,
 * or 0 with errno set. */
int wt_copy_from_start(int from, int to);

#ifdef __cplusplus
}
#endif

#endif
