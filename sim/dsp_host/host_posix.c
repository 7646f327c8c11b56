/* The DSP host on this machine: the request stream is standard input and output, libraries
 * are loaded with dlopen. Started by the simulated client library, one process per domain. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "host.h"
#include "sim_io.h"
#include "sim_proto.h"
#include "workloads_posix.h"

int dsp_plat_read(void* buf, uint32_t len) {
    dsp_workloads_wait(0);
    return sim_io_read_all(sim_io_posix_read, 0, buf, len);
}

int dsp_plat_write(const void* buf, uint32_t len) {
    return sim_io_write_all(sim_io_posix_write, 1, buf, len);
}

uint64_t dsp_plat_now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* The optional runtime functions live in shared objects next to this program (in dsp_host/, one
 * per line of sim_options.h), so that on a board without them a library's weak references stay
 * null. */
static void load_option(const char* name) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return;
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash == NULL)
        return;
    *slash = '\0';
    char path[PATH_MAX + 64];
    snprintf(path, sizeof path, "%s/dsp_host/%s", exe, name);
    dlopen(path, RTLD_NOW | RTLD_GLOBAL);
}

void dsp_plat_load_options(uint32_t flags) {
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) \
    if (flags & SIM_CFG_##FLAG)                    \
        load_option("libkestrel_sim_dsp_" #key ".so");
#include "sim_options.h"
}

/* True for a 32-bit ELF file built for Hexagon (e_machine 164, little-endian). */
static int is_hexagon_library(const char* path) {
    unsigned char header[20];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int whole = sim_io_read_all(sim_io_posix_read, fd, header, sizeof header) == 0;
    close(fd);
    return whole && memcmp(header, "\177ELF", 4) == 0 && header[4] == 1 && header[5] == 1 &&
           header[18] == 164 && header[19] == 0;
}

/* A DSP library built for Hexagon cannot be loaded on this machine: the DSP runs it by its host
 * build of the same name, from the folder KESTREL_SIM_DSP_TWINS names (the runner sets it when it
 * serves the Hexagon libraries). Without that folder the load fails, as it would. */
void* dsp_plat_load(const char* path) {
    const char* twins = getenv("KESTREL_SIM_DSP_TWINS");
    char twin[PATH_MAX];
    if (twins != NULL && twins[0] != '\0' && is_hexagon_library(path)) {
        const char* slash = strrchr(path, '/');
        int n = snprintf(twin, sizeof twin, "%s/%s", twins, slash != NULL ? slash + 1 : path);
        if (n < 0 || (size_t)n >= sizeof twin)
            return NULL;
        path = twin;
    }
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* dsp_plat_symbol(void* module, const char* name) {
    return dlsym(module, name);
}

void dsp_plat_exit(int status) {
    _exit(status);
}

int main(void) {
    /* Ctrl-C in a terminal reaches the whole process group; the DSP is not interrupted. */
    signal(SIGINT, SIG_IGN);
    return dsp_host_run();
}
