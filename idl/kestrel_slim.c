/* The interface descriptor `kestrel_slim`, built into both libraries. Only the descriptor
 * itself is exported; its tables are local data. Native sizes and alignments of strings and
 * handles follow the pointer size of the library it is built into. */
#include "kestrel_slim.h"

#include "kestrel.h"

#define PTR_SIZE ((int32_t)sizeof(void*))

/* Parameter records, in pool order. */
static const kestrel_slim_parameter parameters[5] = {
    /* string in: pointer and length */
    {2 * PTR_SIZE, 0, 0, KESTREL_SLIM_TYPE_STRING, (uint8_t)PTR_SIZE, KESTREL_SLIM_MODE_IN, 0},
    /* handle out */
    {PTR_SIZE, KESTREL_SLIM_HANDLE_TAG, 0, KESTREL_SLIM_TYPE_HANDLE, (uint8_t)PTR_SIZE,
     KESTREL_SLIM_MODE_OUT, 0},
    /* handle in */
    {PTR_SIZE, KESTREL_SLIM_HANDLE_TAG, 0, KESTREL_SLIM_TYPE_HANDLE, (uint8_t)PTR_SIZE,
     KESTREL_SLIM_MODE_IN, 0},
    /* signed 64-bit out */
    {8, 0, 1, KESTREL_SLIM_TYPE_PRIMITIVE, 8, KESTREL_SLIM_MODE_OUT, 0},
    /* signed 32-bit out */
    {4, 0, 1, KESTREL_SLIM_TYPE_PRIMITIVE, 4, KESTREL_SLIM_MODE_OUT, 0},
};

/* Parameter lists: each method's list is a run of consecutive entries. */
static const kestrel_slim_parameter* const parameterArrays[8] = {
    &parameters[4], &parameters[4], &parameters[4], &parameters[3],
    &parameters[3], &parameters[0], &parameters[1], &parameters[2],
};

static const kestrel_slim_method methods[6] = {
    /* open */
    {0x00020001u, 4, 0, 2, 2, &parameterArrays[5], 4, 1},
    /* close */
    {0x00000010u, 0, 0, 1, 1, &parameterArrays[7], 1, 0},
    /* get_legacy_perf_value */
    {0x00000100u, 0, 16, 2, 2, &parameterArrays[3], 1, 8},
    /* pmu_init, pmu_deinit */
    {0x00000000u, 0, 0, 0, 0, 0, 0, 0},
    /* get_group_pmt_value */
    {0x00000100u, 0, 32, 5, 5, &parameterArrays[0], 1, 8},
    /* get_dsp_current_freq */
    {0x00000100u, 0, 8, 2, 2, &parameterArrays[0], 1, 4},
};

static const kestrel_slim_method* const methodArrays[KESTREL_METHOD_COUNT] = {
    &methods[0], &methods[1], &methods[2], &methods[3], &methods[3], &methods[4], &methods[5],
};

/* Per method index: where its name starts in methodStrings; its parameter names follow. */
static const uint16_t methodStringsArrays[KESTREL_METHOD_COUNT] = {12, 15, 9, 18, 17, 0, 6};

static const uint16_t methodStrings[19] = {
    43,  130, 122, 114, 63, 138, /* get_group_pmt_value(pkg_cnt, hvx_cnt, hmx_cnt, timer, pcycle) */
    22,  96,  87,                /* get_dsp_current_freq(dsp_freq, hmx_freq) */
    0,   63,  138,               /* get_legacy_perf_value(timer_cnt_us, pcycle) */
    151, 156, 160,               /* open(uri, h) */
    145, 160,                    /* close(h) */
    76,                          /* pmu_deinit */
    105,                         /* pmu_init */
};

/* The name pool, longest names first; the literal's own terminator is the pool's final NUL. */
static const char strings[KESTREL_SLIM_STRINGS_SIZE] =
    "get_legacy_perf_value\0"
    "get_dsp_current_freq\0"
    "get_group_pmt_value\0"
    "timer_cnt_us\0"
    "pmu_deinit\0"
    "hmx_freq\0"
    "dsp_freq\0"
    "pmu_init\0"
    "hmx_cnt\0"
    "hvx_cnt\0"
    "pkg_cnt\0"
    "pcycle\0"
    "close\0"
    "open\0"
    "uri\0"
    "h\0";

KESTREL_EXPORT const kestrel_slim_interface kestrel_slim = {
    KESTREL_METHOD_COUNT, methodArrays, 0, 0, methodStringsArrays, methodStrings, strings,
};
