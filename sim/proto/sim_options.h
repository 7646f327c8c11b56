/* The optional functions of the virtual board's platform: one line each. Everything that depends
 * on which optional functions exist is produced from these lines: the C and C++ sources take them
 * through the two macros below (define the one you need, then include this file; the file has no
 * include guard and undefines both macros at its end), and sim/options.cmake reads them with a
 * regular expression, so every entry stays on one line and keeps the form shown.
 *
 * KESTREL_SIM_LIBRARY(variant)
 *     A variant of the simulated libadsprpc.so: built in sim/lib/VARIANT/, named by a board's
 *     "library". The first one is the library that programs link against (target adsprpc); the
 *     others are targets adsprpc_VARIANT.
 *
 * KESTREL_SIM_AP_OPTION(symbol, "variants")
 *     An optional entry point of libadsprpc.so, defined in client/adsprpc.cpp, exported by the
 *     variants named (separated by spaces) and absent from the others' dynamic symbols.
 *
 * KESTREL_SIM_DSP_OPTION(key, FLAG, "symbols")
 *     Optional runtime functions of a DSP: a domain has them unless its profile key KEY is false
 *     (Domain::KEY), and its DSP is configured with the flag SIM_CFG_FLAG (bit n for the option of
 *     position n). dsp_host/option_KEY.c defines the symbols (separated by spaces); the host on
 *     this machine loads it as dsp_host/libkestrel_sim_dsp_KEY.so, the Hexagon host links it in
 *     and carries one copy of the DSP library per combination of these options. */

/* clang-format off */
#ifndef KESTREL_SIM_LIBRARY
#define KESTREL_SIM_LIBRARY(variant)
#endif
#ifndef KESTREL_SIM_AP_OPTION
#define KESTREL_SIM_AP_OPTION(symbol, variants)
#endif
#ifndef KESTREL_SIM_DSP_OPTION
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols)
#endif

KESTREL_SIM_LIBRARY(full)
KESTREL_SIM_LIBRARY(no_system_request)
KESTREL_SIM_LIBRARY(minimal)

KESTREL_SIM_AP_OPTION(remote_handle_control, "full no_system_request")
KESTREL_SIM_AP_OPTION(remote_system_request, "full")
KESTREL_SIM_AP_OPTION(HAP_debug_runtime, "full no_system_request")
KESTREL_SIM_AP_OPTION(HAP_debug_v2, "full no_system_request")

KESTREL_SIM_DSP_OPTION(pmu, PMU, "__HAP_register_pmu_group __HAP_read_pmu_group __HAP_deregister_pmu_group")
KESTREL_SIM_DSP_OPTION(hap_debug_v2, DEBUG_V2, "HAP_debug_v2")
KESTREL_SIM_DSP_OPTION(hap_debug_runtime, DEBUG_RUNTIME, "HAP_debug_runtime")

#undef KESTREL_SIM_LIBRARY
#undef KESTREL_SIM_AP_OPTION
#undef KESTREL_SIM_DSP_OPTION
/* clang-format on */
