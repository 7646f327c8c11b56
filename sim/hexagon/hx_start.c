/* Start code and system calls of a freestanding Hexagon program under qemu-hexagon. */
#include "hx_sys.h"

#include "runtime.h"
#include "sim_io.h"

/* The kernel enters with r29 (sp) pointing at argc, followed by the argv pointers. The stack is
 * realigned to 8 bytes, the frame and link registers cleared, and main's status goes to
 * exit_group. */
__asm__(
    ".text\n"
    ".globl _start\n"
    ".type _start,@function\n"
    "_start:\n"
    "  r0 = r29\n"
    "  r29 = and(r29, #-8)\n"
    "  r30 = #0\n"
    "  r31 = #0\n"
    "  call hx_start_c\n"
    ".size _start, .-_start\n");

void hx_start_c(uint32_t* sp) __attribute__((noreturn, used));

void hx_start_c(uint32_t* sp) {
    const int argc = (int)sp[0];
    char** argv = (char**)(sp + 1);
    hx_exit(main(argc, argv));
}

long hx_syscall(long number, long a0, long a1, long a2, long a3) {
    register long r0 __asm__("r0") = a0;
    register long r1 __asm__("r1") = a1;
    register long r2 __asm__("r2") = a2;
    register long r3 __asm__("r3") = a3;
    register long r6 __asm__("r6") = number;
    __asm__ volatile("trap0(#1)" : "+r"(r0) : "r"(r1), "r"(r2), "r"(r3), "r"(r6) : "memory");
    return r0;
}

int32_t hx_read(int fd, void* buf, uint32_t len) {
    return (int32_t)hx_syscall(HX_SYS_READ, fd, (long)(uintptr_t)buf, (long)len, 0);
}

int32_t hx_write(int fd, const void* buf, uint32_t len) {
    return (int32_t)hx_syscall(HX_SYS_WRITE, fd, (long)(uintptr_t)buf, (long)len, 0);
}

int hx_open_read(const char* path) {
    return (int)hx_syscall(HX_SYS_OPENAT, HX_AT_FDCWD, (long)(uintptr_t)path, HX_O_RDONLY, 0);
}

int hx_close(int fd) {
    return (int)hx_syscall(HX_SYS_CLOSE, fd, 0, 0, 0);
}

int hx_clock_gettime(int clock, hx_timespec* ts) {
    return (int)hx_syscall(HX_SYS_CLOCK_GETTIME, clock, (long)(uintptr_t)ts, 0, 0);
}

int hx_ignore_signal(int sig) {
    /* The kernel's sigaction: handler, flags, mask (64 bits); SIG_IGN is 1. */
    uint32_t action[4] = {1u, 0u, 0u, 0u};
    return (int)hx_syscall(HX_SYS_RT_SIGACTION, sig, (long)(uintptr_t)action, 0, 8);
}

void hx_exit(int status) {
    for (;;) {
        hx_syscall(HX_SYS_EXIT_GROUP, status, 0, 0, 0);
    }
}

long hx_read_step(int fd, void* buf, size_t n) {
    return hx_read(fd, buf, (uint32_t)n);
}

long hx_write_step(int fd, void* buf, size_t n) {
    return hx_write(fd, buf, (uint32_t)n);
}

int hx_write_all(int fd, const void* buf, uint32_t len) {
    return sim_io_write_all(hx_write_step, fd, buf, len);
}

int hx_printf(int fd, const char* format, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, format);
    int n = dsp_vformat(line, sizeof line, format, ap);
    va_end(ap);
    if (n > (int)sizeof line - 1) {
        n = (int)sizeof line - 1;
    }
    return hx_write_all(fd, line, (uint32_t)n);
}
