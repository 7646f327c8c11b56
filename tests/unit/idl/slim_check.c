/* The expected descriptor is written out here from the interface's method table, independently
 * of how the library lays out its tables. */
#include "slim_check.h"

#include "check.h"

enum { P_I32_OUT, P_I64_OUT, P_STRING_IN, P_HANDLE_OUT, P_HANDLE_IN };

typedef struct expected_param {
    const char* name;
    int kind;
} expected_param;

typedef struct expected_method {
    const char* name;
    uint32_t scalars;
    int32_t in_size;
    int32_t out_size;
    int32_t max_args;
    uint8_t in_align;
    uint8_t out_align;
    int num_params;
    expected_param params[5];
} expected_method;

static const expected_method kMethods[7] = {
    {"open", 0x00020001u, 4, 0, 2, 4, 1, 2, {{"uri", P_STRING_IN}, {"h", P_HANDLE_OUT}}},
    {"close", 0x00000010u, 0, 0, 1, 1, 0, 1, {{"h", P_HANDLE_IN}}},
    {"get_legacy_perf_value",
     0x00000100u,
     0,
     16,
     2,
     1,
     8,
     2,
     {{"timer_cnt_us", P_I64_OUT}, {"pcycle", P_I64_OUT}}},
    {"pmu_init", 0, 0, 0, 0, 0, 0, 0, {{0, 0}}},
    {"pmu_deinit", 0, 0, 0, 0, 0, 0, 0, {{0, 0}}},
    {"get_group_pmt_value",
     0x00000100u,
     0,
     32,
     5,
     1,
     8,
     5,
     {{"pkg_cnt", P_I32_OUT},
      {"hvx_cnt", P_I32_OUT},
      {"hmx_cnt", P_I32_OUT},
      {"timer_cnt_us", P_I64_OUT},
      {"pcycle", P_I64_OUT}}},
    {"get_dsp_current_freq",
     0x00000100u,
     0,
     8,
     2,
     1,
     4,
     2,
     {{"dsp_freq", P_I32_OUT}, {"hmx_freq", P_I32_OUT}}},
};

/* The name pool, name by name, at the offsets the interface fixes. */
static const struct {
    const char* name;
    uint16_t offset;
} kPool[16] = {
    {"get_legacy_perf_value", 0},
    {"get_dsp_current_freq", 22},
    {"get_group_pmt_value", 43},
    {"timer_cnt_us", 63},
    {"pmu_deinit", 76},
    {"hmx_freq", 87},
    {"dsp_freq", 96},
    {"pmu_init", 105},
    {"hmx_cnt", 114},
    {"hvx_cnt", 122},
    {"pkg_cnt", 130},
    {"pcycle", 138},
    {"close", 145},
    {"open", 151},
    {"uri", 156},
    {"h", 160},
};

static void check_param(const kestrel_slim_parameter* p, int kind) {
    const int32_t ptr = (int32_t)sizeof(void*);
    CHECK_EQ(p->not_nil, 0);
    switch (kind) {
        case P_I32_OUT:
        case P_I64_OUT: {
            int32_t size = kind == P_I32_OUT ? 4 : 8;
            CHECK_EQ(p->native_size, size);
            CHECK_EQ(p->type_word0, 0);
            CHECK_EQ(p->type_word1, 1);
            CHECK_EQ(p->type, KESTREL_SLIM_TYPE_PRIMITIVE);
            CHECK_EQ(p->native_alignment, size);
            CHECK_EQ(p->mode, KESTREL_SLIM_MODE_OUT);
            break;
        }
        case P_STRING_IN:
            CHECK_EQ(p->native_size, 2 * ptr);
            CHECK_EQ(p->type_word0, 0);
            CHECK_EQ(p->type_word1, 0);
            CHECK_EQ(p->type, KESTREL_SLIM_TYPE_STRING);
            CHECK_EQ(p->native_alignment, ptr);
            CHECK_EQ(p->mode, KESTREL_SLIM_MODE_IN);
            break;
        default: /* handles */
            CHECK_EQ(p->native_size, ptr);
            CHECK_EQ(p->type_word0, 0xdeadc0deu);
            CHECK_EQ(p->type_word1, 0);
            CHECK_EQ(p->type, KESTREL_SLIM_TYPE_HANDLE);
            CHECK_EQ(p->native_alignment, ptr);
            CHECK_EQ(p->mode, kind == P_HANDLE_IN ? KESTREL_SLIM_MODE_IN : KESTREL_SLIM_MODE_OUT);
            break;
    }
}

static void check_pool(const char* strings) {
    size_t pos = 0;
    for (int i = 0; i < 16; ++i) {
        CHECK_EQ(pos, kPool[i].offset);
        CHECK_STREQ(strings + kPool[i].offset, kPool[i].name);
        pos = kPool[i].offset + check_str_len(kPool[i].name) + 1;
    }
    /* One further NUL closes the pool: 163 bytes in all. */
    CHECK_EQ(strings[pos], 0);
    CHECK_EQ(pos + 1, KESTREL_SLIM_STRINGS_SIZE);
}

void check_slim_descriptor(const kestrel_slim_interface* slim) {
    CHECK_EQ(slim->num_methods, 7);
    CHECK_EQ(slim->num_iids, 0);
    CHECK(slim->iids == NULL);
    check_pool(slim->strings);

    for (int m = 0; m < 7; ++m) {
        const expected_method* e = &kMethods[m];
        const kestrel_slim_method* r = slim->method_array[m];
        const uint16_t* names = slim->method_strings + slim->method_strings_arrays[m];

        CHECK_STREQ(slim->strings + names[0], e->name);
        CHECK_EQ(r->scalars, e->scalars);
        CHECK_EQ(r->prim_in_size, e->in_size);
        CHECK_EQ(r->prim_out_size, e->out_size);
        CHECK_EQ(r->max_args, e->max_args);
        CHECK_EQ(r->num_params, e->num_params);
        CHECK_EQ(r->prim_in_alignment, e->in_align);
        CHECK_EQ(r->prim_out_alignment, e->out_align);
        if (e->num_params == 0) {
            CHECK(r->params == NULL);
        }
        for (int k = 0; k < e->num_params && k < r->num_params; ++k) {
            CHECK_STREQ(slim->strings + names[1 + k], e->params[k].name);
            check_param(r->params[k], e->params[k].kind);
        }
    }

    /* Shared storage: methods 3 and 4 share one record; methods 5 and 6 start their parameter
     * lists at the first entry, method 2 at the fourth, open at the sixth and close at the
     * eighth of one array of eight. */
    CHECK(slim->method_array[3] == slim->method_array[4]);
    CHECK(slim->method_array[5]->params == slim->method_array[6]->params);
    CHECK(slim->method_array[2]->params == slim->method_array[5]->params + 3);
    CHECK(slim->method_array[0]->params == slim->method_array[5]->params + 5);
    CHECK(slim->method_array[1]->params == slim->method_array[5]->params + 7);

    /* The name index: where each method's names start, and all nineteen offsets. */
    {
        static const uint16_t starts[7] = {12, 15, 9, 18, 17, 0, 6};
        static const uint16_t offsets[19] = {43, 130, 122, 114, 63,  138, 22,  96, 87, 0,
                                             63, 138, 151, 156, 160, 145, 160, 76, 105};
        for (int m = 0; m < 7; ++m) {
            CHECK_EQ(slim->method_strings_arrays[m], starts[m]);
        }
        for (int i = 0; i < 19; ++i) {
            CHECK_EQ(slim->method_strings[i], offsets[i]);
        }
    }
}
