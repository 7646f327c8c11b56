/* The one loop that moves a whole buffer through read or write calls that may each move less:
 * the DSP link on both sides, the trace file, the Hexagon programs' output. The call it repeats
 * is a step: it moves at most n bytes and returns how many, 0 at the end of the stream, or a
 * negative errno as Linux system calls do; an interrupted step (EINTR) is repeated.
 * Freestanding; the POSIX steps at the end are for builds with a C library. */
#ifndef KESTREL_SIM_IO_H
#define KESTREL_SIM_IO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Linux's EINTR, the same on every machine the virtual board runs on. */
#define SIM_IO_EINTR 4

/* A step of either direction; one that writes does not change the bytes. */
typedef long (*sim_io_step)(int fd, void* buf, size_t n);

/* Reads exactly len bytes: 0, or -1 at the end of the stream or on an error. */
int sim_io_read_all(sim_io_step step, int fd, void* buf, size_t len);
/* Writes all len bytes: 0 or -1. */
int sim_io_write_all(sim_io_step step, int fd, const void* buf, size_t len);

/* Steps of this machine's C library (not in freestanding builds). */
long sim_io_posix_read(int fd, void* buf, size_t n);
long sim_io_posix_write(int fd, void* buf, size_t n);
/* Sends on a socket; a peer that has gone is an error (EPIPE), not a SIGPIPE. */
long sim_io_posix_send(int fd, void* buf, size_t n);

#ifdef __cplusplus
}
#endif

#endif
