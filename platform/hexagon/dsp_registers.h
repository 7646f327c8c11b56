/* Readers of the Hexagon user control registers UPCYCLE (processor cycles) and UTIMER
 * (19.2 MHz timer). On a Hexagon device they are read directly. Everywhere else (host builds,
 * and Hexagon builds made for an emulator whose registers read 0) they are calls into whatever
 * DSP the library runs on, which defines these two functions. */
#ifndef KESTREL_PLATFORM_DSP_REGISTERS_H
#define KESTREL_PLATFORM_DSP_REGISTERS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__hexagon__) && !defined(KESTREL_DSP_EMULATED_REGISTERS)
static inline uint64_t dsp_read_upcycle(void) {
    uint64_t value;
    __asm__ volatile("%0 = upcycle" : "=r"(value));
    return value;
}
static inline uint64_t dsp_read_utimer(void) {
    uint64_t value;
    __asm__ volatile("%0 = utimer" : "=r"(value));
    return value;
}
#else
uint64_t dsp_read_upcycle(void);
uint64_t dsp_read_utimer(void);
#endif

#ifdef __cplusplus
}
#endif

#endif
