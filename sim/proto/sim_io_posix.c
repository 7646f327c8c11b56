/* The steps of sim_io.h on this machine's C library: a negative errno instead of -1. */
#define _GNU_SOURCE
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim_io.h"

_Static_assert(EINTR == SIM_IO_EINTR, "the loop repeats steps that end with EINTR");

long sim_io_posix_read(int fd, void* buf, size_t n) {
    const ssize_t r = read(fd, buf, n);
    return r < 0 ? -errno : (long)r;
}

long sim_io_posix_write(int fd, void* buf, size_t n) {
    const ssize_t r = write(fd, buf, n);
    return r < 0 ? -errno : (long)r;
}

long sim_io_posix_send(int fd, void* buf, size_t n) {
    const ssize_t r = send(fd, buf, n, MSG_NOSIGNAL);
    return r < 0 ? -errno : (long)r;
}
