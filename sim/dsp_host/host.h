/* The DSP host: serves the application side's requests (load a library and open a session,
 * invoke, report status) over one byte stream. Freestanding; what it needs of the machine it
 * runs on is the small platform interface below, implemented once per kind of host. */
#ifndef KESTREL_SIM_DSP_HOST_H
#define KESTREL_SIM_DSP_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Provided by the machine -------------------------------------------------------------- */

/* Reads exactly len bytes from the application side: 0, or -1 at end of stream or error. */
int dsp_plat_read(void* buf, uint32_t len);
/* Writes all len bytes to the application side: 0 or -1. */
int dsp_plat_write(const void* buf, uint32_t len);
/* Monotonic clock in nanoseconds. */
uint64_t dsp_plat_now_ns(void);
/* Makes the optional runtime functions of the configuration flags (SIM_CFG_*) available to
 * libraries loaded afterwards. */
void dsp_plat_load_options(uint32_t flags);
/* Loads a DSP library; null on failure. */
void* dsp_plat_load(const char* path);
/* Finds an entry point of a loaded library; null when absent. */
void* dsp_plat_symbol(void* module, const char* name);
/* Ends the DSP process at once. */
void dsp_plat_exit(int status) __attribute__((noreturn));

/* ---- Provided by the host ----------------------------------------------------------------- */

/* Runs until the application side goes away: 0 then, 1 on a malformed stream. */
int dsp_host_run(void);

#ifdef __cplusplus
}
#endif

#endif
