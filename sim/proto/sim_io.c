/* The whole-buffer loop of sim_io.h. Freestanding. */
#include "sim_io.h"

static int move_all(sim_io_step step, int fd, uint8_t* p, size_t len) {
    while (len > 0) {
        const long n = step(fd, p, len);
        if (n == -SIM_IO_EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

int sim_io_read_all(sim_io_step step, int fd, void* buf, size_t len) {
    return move_all(step, fd, (uint8_t*)buf, len);
}

int sim_io_write_all(sim_io_step step, int fd, const void* buf, size_t len) {
    /* A writing step leaves the bytes as they are. */
    return move_all(step, fd, (uint8_t*)buf, len);
}
