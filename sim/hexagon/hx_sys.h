/* Linux system calls of a freestanding Hexagon program (32-bit, generic system call table), as
 * qemu-hexagon's user mode executes them: trap0(#1) with the number in r6 and the arguments in
 * r0 to r5; the result comes back in r0, a negative errno on failure. */
#ifndef KESTREL_SIM_HEXAGON_HX_SYS_H
#define KESTREL_SIM_HEXAGON_HX_SYS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    HX_SYS_OPENAT = 56,
    HX_SYS_CLOSE = 57,
    HX_SYS_READ = 63,
    HX_SYS_WRITE = 64,
    HX_SYS_EXIT_GROUP = 94,
    HX_SYS_CLOCK_GETTIME = 113,
    HX_SYS_RT_SIGACTION = 134,
};

enum { HX_AT_FDCWD = -100 };
enum { HX_O_RDONLY = 0 };
enum { HX_CLOCK_MONOTONIC = 1 };
enum { HX_SIGINT = 2 };

/* The 32-bit kernel's timespec of clock_gettime (113). */
typedef struct hx_timespec {
    int32_t tv_sec;
    int32_t tv_nsec;
} hx_timespec;

long hx_syscall(long number, long a0, long a1, long a2, long a3);

int32_t hx_read(int fd, void* buf, uint32_t len);
int32_t hx_write(int fd, const void* buf, uint32_t len);
int hx_open_read(const char* path);
int hx_close(int fd);
int hx_clock_gettime(int clock, hx_timespec* ts);
/* Sets the disposition of a signal to "ignore". */
int hx_ignore_signal(int sig);
void hx_exit(int status) __attribute__((noreturn));

/* hx_read and hx_write as steps of sim_io.h's whole-buffer loop. */
long hx_read_step(int fd, void* buf, size_t n);
long hx_write_step(int fd, void* buf, size_t n);
/* Writes all of the text (to a file descriptor): 0 or -1. */
int hx_write_all(int fd, const void* buf, uint32_t len);
/* Formats like printf (see dsp_vformat for the conversions) and writes the result to fd; a
 * line longer than 1 KiB is cut. */
int hx_printf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Entry of the program, called by the start code. */
int main(int argc, char** argv);

#ifdef __cplusplus
}
#endif

#endif
