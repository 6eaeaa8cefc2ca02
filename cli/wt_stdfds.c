#include "wt_stdfds.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

static int s_stdin_closed;
static int s_stdout_closed;

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
