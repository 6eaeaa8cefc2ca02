#define _GNU_SOURCE

#include "wt_io.h"

#include <errno.h>
#include <unistd.h>

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

int wt_read_all_at(int fd, void *data, size_t len, long long offset)
{
    char *p = data;
    while (len > 0) {
        ssize_t n = pread(fd, p, len, (off_t)offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
        offset += n;
    }
    return 1;
}

int wt_copy_from_start(int from, int to)
{
    if (lseek(from, 0, SEEK_SET) != 0)
        return 0;
    char block[1 << 16];
    for (;;) {
        ssize_t n = read(from, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (n > 0 && !wt_write_all(to, block, (size_t)n)))
            return 0;
        if (n == 0)
            return 1;
    }
}
