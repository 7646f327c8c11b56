/* The DSP host built for Hexagon, run under qemu-hexagon: the request stream is standard input
 * and output as for the host on this machine, and the machine interface of host.h is made of
 * system calls. There is no dynamic loader: the DSP library is linked in, once per combination
 * of the optional runtime functions (see CMakeLists.txt), and "loading" checks that the library
 * file the application side found exists and names the DSP library, then picks the copy whose
 * optional functions match the board. */
#include <stdint.h>

#include "host.h"
#include "hx_sys.h"
#include "runtime.h"
#include "sim_io.h"
#include "sim_proto.h"
#include "skel_variants.h"

/* The one library this DSP carries and its entry point. */
static const char kLibraryName[] = "libkestrel_skel.so";
static const char kEntryName[] = "kestrel_skel_handle_invoke";

static uint32_t option_flags;
static int module_token;

int dsp_plat_read(void* buf, uint32_t len) {
    return sim_io_read_all(hx_read_step, 0, buf, len);
}

int dsp_plat_write(const void* buf, uint32_t len) {
    return hx_write_all(1, buf, len);
}

uint64_t dsp_plat_now_ns(void) {
    hx_timespec ts = {0, 0};
    hx_clock_gettime(HX_CLOCK_MONOTONIC, &ts);
    return (uint64_t)(uint32_t)ts.tv_sec * 1000000000u + (uint64_t)(uint32_t)ts.tv_nsec;
}

void dsp_plat_load_options(uint32_t flags) {
    option_flags = flags & SIM_CFG_OPTIONS;
}

/* The last component of a path. */
static const char* base_name(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

/* Whether the file exists, can be read and starts like an ELF file, as a loader would see it. */
static int is_elf_file(const char* path) {
    const int fd = hx_open_read(path);
    if (fd < 0) {
        return 0;
    }
    uint8_t magic[4] = {0, 0, 0, 0};
    const int32_t n = hx_read(fd, magic, sizeof magic);
    hx_close(fd);
    return n == 4 && magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

void* dsp_plat_load(const char* path) {
    if (dsp_strcmp(base_name(path), kLibraryName) != 0 || !is_elf_file(path)) {
        return 0;
    }
    return &module_token;
}

void* dsp_plat_symbol(void* module, const char* name) {
    if (module != &module_token || dsp_strcmp(name, kEntryName) != 0) {
        return 0;
    }
    /* The host turns the data pointer back into the entry point's function pointer. */
    union {
        skel_invoke_fn code;
        void* data;
    } entry;
    entry.code = skel_variant_entry(option_flags);
    return entry.data;
}

void dsp_plat_exit(int status) {
    hx_exit(status);
}

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    /* Ctrl-C in a terminal reaches the whole process group; the DSP is not interrupted. */
    hx_ignore_signal(HX_SIGINT);
    return dsp_host_run();
}
