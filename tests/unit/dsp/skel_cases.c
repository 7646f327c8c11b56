/* The dispatcher and the service on a DSP image with every runtime function, including the PMU
 * group functions and both optional logging functions. */
#include <stdint.h>

#include "check.h"
#include "fake_hap.h"
#include "kestrel.h"
#include "kestrel_le.h"
#include "kestrel_skel.h"
#include "kestrel_skel_impl.h"
#include "slim_check.h"

#define FILL 0xa5u

static void fill(uint8_t* p, size_t n, uint8_t v) {
    for (size_t i = 0; i < n; ++i) {
        p[i] = v;
    }
}

static int all_bytes(const uint8_t* p, size_t n, uint8_t v) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != v) {
            return 0;
        }
    }
    return 1;
}

/* Invokes a method with one output buffer of len bytes, pre-filled with FILL. */
static int invoke_out(uint32_t scalars, uint8_t* buf, size_t len) {
    remote_arg arg;
    fill(buf, len, FILL);
    arg.buf.pv = buf;
    arg.buf.nLen = len;
    return kestrel_skel_handle_invoke(0x1234, scalars, &arg);
}

/* Method 0 arguments: length word, URI buffer, output handle. */
typedef struct open_call {
    uint8_t len_word[8];
    char uri[32];
    remote_arg args[3];
} open_call;

static int invoke_open(open_call* c, size_t len_word_size, uint32_t counted, const char* uri,
                       size_t uri_buffer) {
    size_t i = 0;
    fill(c->len_word, sizeof c->len_word, 0);
    kestrel_le_put_u32(c->len_word, counted);
    fill((uint8_t*)c->uri, sizeof c->uri, 'x');
    for (; uri[i] != '\0'; ++i) {
        c->uri[i] = uri[i];
    }
    c->uri[i] = '\0';
    c->args[0].buf.pv = c->len_word;
    c->args[0].buf.nLen = len_word_size;
    c->args[1].buf.pv = c->uri;
    c->args[1].buf.nLen = uri_buffer;
    fill((uint8_t*)&c->args[2], sizeof c->args[2], FILL);
    return kestrel_skel_handle_invoke(0, KESTREL_SCALARS_OPEN, c->args);
}

static void unsupported_methods(void) {
    uint8_t buf[32];
    CHECK_EQ(invoke_out(0x07000000u, buf, sizeof buf), KESTREL_ERROR_UNSUPPORTED);
    CHECK_EQ(invoke_out(0x1f000100u, buf, sizeof buf), KESTREL_ERROR_UNSUPPORTED);
    CHECK_EQ(kestrel_skel_handle_invoke(0, 0x08000000u, NULL), KESTREL_ERROR_UNSUPPORTED);
    CHECK_EQ(fake_hap.calls, 0);
    CHECK(all_bytes(buf, sizeof buf, FILL));
}

/* For every method, each count field of its scalars word in turn moved off its expected value to
 * 0, one more, and the field's maximum: the word is refused before anything in the runtime is
 * called, although the argument array holds a well-formed buffer for every element the word can
 * name. */
static void wrong_counts_are_refused_before_anything_runs(void) {
    static const uint32_t correct[KESTREL_METHOD_COUNT] = KESTREL_SCALARS_BY_METHOD;
    /* Input buffers, output buffers, input handles, output handles. */
    static uint32_t (*const count_field[4])(uint32_t) = {
        remote_scalars_in_bufs, remote_scalars_out_bufs, remote_scalars_in_handles,
        remote_scalars_out_handles};
    /* Length word 2 and a NUL in byte 1: as the two input buffers of method 0 it is a valid URI. */
    static uint8_t buf[64] = {2};
    static remote_arg args[0xff + 0xff + 0xf + 0xf];
    for (size_t i = 0; i < sizeof args / sizeof args[0]; ++i) {
        args[i].buf.pv = buf;
        args[i].buf.nLen = sizeof buf;
    }
    for (uint32_t m = 0; m < KESTREL_METHOD_COUNT; ++m) {
        for (int f = 0; f < 4; ++f) {
            const uint32_t expected = count_field[f](correct[m]);
            const uint32_t values[3] = {0, expected + 1, count_field[f](UINT32_MAX)};
            for (int v = 0; v < 3; ++v) {
                uint32_t counts[4];
                uint32_t word;
                int result;
                if (values[v] == expected) {
                    continue;
                }
                for (int k = 0; k < 4; ++k) {
                    counts[k] = k == f ? values[v] : count_field[k](correct[m]);
                }
                word = remote_scalars_make(m, counts[0], counts[1], counts[2], counts[3]);
                fake_hap.calls = 0;
                result = kestrel_skel_handle_invoke(0x1234, word, args);
                /* The word rides in the upper half, so that a failure names it. */
                CHECK_EQ((uint64_t)word << 32 | (uint32_t)result,
                         (uint64_t)word << 32 | (uint32_t)KESTREL_ERROR_BAD_PARAMETER);
                CHECK_EQ((uint64_t)word << 32 | (uint32_t)fake_hap.calls, (uint64_t)word << 32);
            }
        }
    }
}

static void short_or_missing_buffers_are_refused(void) {
    uint8_t buf[40];
    remote_arg arg;
    fill(buf, sizeof buf, FILL);
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_LEGACY_PERF_VALUE, buf, 15),
             KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_GROUP_PMT_VALUE, buf, 24), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_GROUP_PMT_VALUE, buf, 31), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_DSP_CURRENT_FREQ, buf, 7), KESTREL_ERROR_BAD_PARAMETER);
    CHECK(all_bytes(buf, sizeof buf, FILL));

    /* No array, or a null buffer, where the word announces arguments. */
    CHECK_EQ(kestrel_skel_handle_invoke(0, KESTREL_SCALARS_GET_GROUP_PMT_VALUE, NULL),
             KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(kestrel_skel_handle_invoke(0, KESTREL_SCALARS_CLOSE, NULL),
             KESTREL_ERROR_BAD_PARAMETER);
    arg.buf.pv = NULL;
    arg.buf.nLen = 32;
    CHECK_EQ(kestrel_skel_handle_invoke(0, KESTREL_SCALARS_GET_GROUP_PMT_VALUE, &arg),
             KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(fake_hap.calls, 0);
}

static void attribute_bits_are_ignored(void) {
    uint8_t buf[16];
    fake_hap.utimer = 192;
    CHECK_EQ(invoke_out(0xe0000000u | KESTREL_SCALARS_GET_LEGACY_PERF_VALUE, buf, sizeof buf), 0);
    CHECK_EQ(kestrel_le_get_u64(buf), 10);
}

static void open_checks_the_uri_length_word(void) {
    open_call c;
    /* "cdsp" + NUL is 5 bytes. */
    CHECK_EQ(invoke_open(&c, 3, 5, "cdsp", 5), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(invoke_open(&c, 4, 0, "cdsp", 5), KESTREL_ERROR_BAD_PARAMETER);
    /* Length word says 10, the buffer holds 9; in the second call the byte just past the
     * buffer is a NUL, so only the length check can refuse it. */
    CHECK_EQ(invoke_open(&c, 4, 10, "12345678", 9), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(invoke_open(&c, 4, 10, "123456789", 9), KESTREL_ERROR_BAD_PARAMETER);
    /* The last counted byte is 'p', not the NUL. */
    CHECK_EQ(invoke_open(&c, 4, 4, "cdsp", 5), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(fake_hap.calls, 0);
    CHECK(all_bytes((const uint8_t*)&c.args[2], sizeof c.args[2], FILL));
}

static void open_writes_the_new_handle(void) {
    open_call c;
    uint64_t h;
    uint64_t h2;
    /* Exact fit, and a buffer longer than the counted URI. */
    CHECK_EQ(invoke_open(&c, 4, 5, "cdsp", 5), 0);
    h = kestrel_le_get_u64((const uint8_t*)&c.args[2]);
    CHECK_EQ(fake_hap.malloc_last_size, 1);
    CHECK(h != 0);
    CHECK(fake_heap_is_live((void*)(uintptr_t)h));
    CHECK_EQ(invoke_open(&c, 8, 5, "cdsp", 20), 0);
    h2 = kestrel_le_get_u64((const uint8_t*)&c.args[2]);
    CHECK(h2 != h);
    CHECK_EQ(fake_hap.live_blocks, 2);

    /* Close through the dispatcher frees exactly that block. */
    {
        remote_arg in;
        in.h64 = h;
        CHECK_EQ(kestrel_skel_handle_invoke(h, KESTREL_SCALARS_CLOSE, &in), 0);
        CHECK(fake_hap.free_last == (void*)(uintptr_t)h);
        CHECK(!fake_heap_is_live((void*)(uintptr_t)h));
        CHECK_EQ(fake_hap.free_invalid, 0);
    }
    CHECK_EQ(kestrel_close(h2), 0);
}

static void open_without_heap_fails_and_logs(void) {
    open_call c;
    remote_handle64 h = 77;
    fake_hap.malloc_fails = 1;
    CHECK_EQ(invoke_open(&c, 4, 5, "cdsp", 5), -1);
    CHECK(all_bytes((const uint8_t*)&c.args[2], sizeof c.args[2], FILL));
    CHECK_EQ(fake_hap.debug_runtime_calls, 1);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "kestrel_open create handle failed.");
    /* Called directly, the handle comes back as 0. */
    CHECK_EQ(kestrel_open("file:///x", &h), -1);
    CHECK_EQ(h, 0);
}

static void close_of_handle_zero_frees_nothing(void) {
    remote_arg in;
    in.h64 = 0;
    CHECK_EQ(kestrel_skel_handle_invoke(0, KESTREL_SCALARS_CLOSE, &in), 0);
    CHECK_EQ(fake_hap.free_calls, 0);
    CHECK_EQ(kestrel_close(0), 0);
    CHECK_EQ(fake_hap.free_calls, 0);
}

/* Method 1 as the platform sends it: the handle in the one input-handle element. */
static int close_through_dispatcher(remote_handle64 h) {
    remote_arg in;
    in.h64 = h;
    return kestrel_skel_handle_invoke(h, KESTREL_SCALARS_CLOSE, &in);
}

static remote_handle64 open_context(void) {
    remote_handle64 h = 0;
    CHECK_EQ(kestrel_open("file:///x", &h), 0);
    return h;
}

static void second_close_is_refused_and_frees_nothing(void) {
    remote_handle64 h = open_context();
    int frees;
    CHECK_EQ(close_through_dispatcher(h), 0);
    frees = fake_hap.free_calls;
    CHECK_EQ(close_through_dispatcher(h), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(kestrel_close(h), KESTREL_ERROR_BAD_PARAMETER);
    CHECK_EQ(fake_hap.free_calls, frees);
}

static void forged_handles_are_refused_and_free_nothing(void) {
    remote_handle64 h = open_context();
    /* A live heap block that is not a context, an address inside the context's block, and
     * addresses the heap never handed out. */
    void* other = __wrap_malloc(1);
    uint8_t local = 0;
    const remote_handle64 forged[] = {(uintptr_t)other, h + 1, (uintptr_t)&local, 0x1234};
    for (size_t i = 0; i < sizeof forged / sizeof forged[0]; ++i) {
        CHECK_EQ(close_through_dispatcher(forged[i]), KESTREL_ERROR_BAD_PARAMETER);
    }
    CHECK_EQ(fake_hap.free_calls, 0);
    CHECK(fake_heap_is_live(other));
    /* The context itself still closes. */
    CHECK_EQ(close_through_dispatcher(h), 0);
    CHECK(fake_hap.free_last == (void*)(uintptr_t)h);
}

static void handle_with_upper_bits_set_is_refused(void) {
    remote_handle64 h = open_context();
    /* On the 32-bit DSP each is the context's address with one of the upper 32 bits set; on a
     * 64-bit host, another address. */
    for (int bit = 32; bit < 64; ++bit) {
        CHECK_EQ(close_through_dispatcher(h ^ (1ull << bit)), KESTREL_ERROR_BAD_PARAMETER);
    }
    CHECK_EQ(fake_hap.free_calls, 0);
    CHECK_EQ(close_through_dispatcher(h), 0);
    CHECK_EQ(fake_hap.live_blocks, 0);
}

static void open_beyond_the_context_table_fails_and_gives_the_block_back(void) {
    remote_handle64 h[SKEL_MAX_CONTEXTS];
    remote_handle64 extra = 77;
    for (size_t i = 0; i < SKEL_MAX_CONTEXTS; ++i) {
        h[i] = open_context();
    }
    CHECK_EQ(kestrel_open("file:///x", &extra), -1);
    CHECK_EQ(extra, 0);
    CHECK_EQ(fake_hap.live_blocks, SKEL_MAX_CONTEXTS);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "kestrel_open create handle failed.");
    /* A close makes room again. */
    CHECK_EQ(kestrel_close(h[0]), 0);
    h[0] = open_context();
    for (size_t i = 0; i < SKEL_MAX_CONTEXTS; ++i) {
        CHECK_EQ(kestrel_close(h[i]), 0);
    }
    CHECK_EQ(fake_hap.live_blocks, 0);
    CHECK_EQ(fake_hap.free_invalid, 0);
}

static void legacy_perf_value_layout(void) {
    uint8_t buf[20];
    fake_hap.utimer = 19200000u;
    fake_hap.upcycle = 0x0123456789abcdefull;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_LEGACY_PERF_VALUE, buf, sizeof buf), 0);
    CHECK_EQ(kestrel_le_get_u64(buf), 1000000u);
    CHECK_EQ(kestrel_le_get_u64(buf + 8), 0x0123456789abcdefull);
    /* Only the first 16 bytes of a longer buffer are written. */
    CHECK(all_bytes(buf + 16, 4, FILL));
    CHECK_EQ(fake_hap.pmu_read_calls, 0);
}

static void timer_conversion(void) {
    CHECK_EQ(skel_timer_to_us(19200000u), 1000000u);
    CHECK_EQ(skel_timer_to_us(191), 9);
    CHECK_EQ(skel_timer_to_us(192), 10);
    CHECK_EQ(skel_timer_to_us(0), 0);
    /* Unsigned 64-bit: the product wraps before the division. */
    CHECK_EQ(skel_timer_to_us(UINT64_MAX), (UINT64_MAX - 9u) / 192u);
    CHECK_EQ(skel_timer_to_us(1ull << 62), ((1ull << 62) * 10u) / 192u);
    /* Through method 2, the converted value is what crosses. */
    {
        uint8_t buf[16];
        fake_hap.utimer = 191;
        CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_LEGACY_PERF_VALUE, buf, sizeof buf), 0);
        CHECK_EQ(kestrel_le_get_u64(buf), 9);
    }
}

static void pmu_init_registers_the_three_events(void) {
    CHECK_EQ(kestrel_skel_handle_invoke(5, KESTREL_SCALARS_PMU_INIT, NULL), 0);
    CHECK_EQ(fake_hap.pmu_register_calls, 1);
    CHECK_EQ(fake_hap.pmu_registered.num_events, 3);
    CHECK_EQ(fake_hap.pmu_registered.events[0], 0x0003);
    CHECK_EQ(fake_hap.pmu_registered.events[1], 0x0111);
    CHECK_EQ(fake_hap.pmu_registered.events[2], 0x0200);
    CHECK_EQ(fake_hap.pmu_registered.events[3], 0);

    /* The record is rewritten on every registration, whatever happened to it in between. */
    fake_hap.pmu_register_record->num_events = 9;
    fake_hap.pmu_register_record->events[1] = 0x7777;
    CHECK_EQ(kestrel_pmu_init(5), 0);
    CHECK_EQ(fake_hap.pmu_registered.num_events, 3);
    CHECK_EQ(fake_hap.pmu_registered.events[1], 0x0111);
    CHECK_EQ(fake_hap.debug_runtime_calls, 0);
}

static void pmu_init_failure(void) {
    fake_hap.pmu_register_result = 0x8000000f;
    CHECK_EQ(kestrel_skel_handle_invoke(5, KESTREL_SCALARS_PMU_INIT, NULL), -1);
    CHECK_EQ(fake_hap.debug_runtime_calls, 1);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "register pmu event failure.");
}

static void deregistration_uses_the_last_group(void) {
    fake_hap.pmu_next_group_id = 41;
    CHECK_EQ(kestrel_pmu_init(1), 0);
    CHECK_EQ(kestrel_pmu_init(1), 0);
    CHECK_EQ(kestrel_skel_handle_invoke(1, KESTREL_SCALARS_PMU_DEINIT, NULL), 0);
    CHECK_EQ(fake_hap.pmu_deregister_calls, 1);
    CHECK_EQ(fake_hap.pmu_deregistered_id, 42);

    /* A failed deregistration logs, returns -1 and keeps the id for another try. */
    fake_hap.pmu_deregister_result = 3;
    CHECK_EQ(kestrel_pmu_deinit(1), -1);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "deregister pmu event failure.");
    fake_hap.pmu_deregister_result = 0;
    CHECK_EQ(kestrel_pmu_deinit(1), 0);
    CHECK_EQ(fake_hap.pmu_deregistered_id, 42);
}

static void group_value_layout_leaves_the_gap(void) {
    uint8_t buf[36];
    CHECK_EQ(kestrel_pmu_init(1), 0);
    fake_hap.pmu_values[0] = 0x11223344u;
    fake_hap.pmu_values[1] = 0xa0b0c0d0u;
    fake_hap.pmu_values[2] = 7;
    fake_hap.pmu_values[3] = 0xdeadbeefu;
    fake_hap.utimer = 19200000u * 3u;
    fake_hap.upcycle = 0xfedcba9876543210ull;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_GROUP_PMT_VALUE, buf, sizeof buf), 0);
    CHECK(fake_hap.pmu_read_record == fake_hap.pmu_register_record);
    CHECK_EQ(kestrel_le_get_u32(buf + 0), 0x11223344u);
    CHECK_EQ(kestrel_le_get_u32(buf + 4), 0xa0b0c0d0u);
    CHECK_EQ(kestrel_le_get_u32(buf + 8), 7);
    CHECK(all_bytes(buf + 12, 4, FILL));
    CHECK_EQ(kestrel_le_get_u64(buf + 16), 3000000u);
    CHECK_EQ(kestrel_le_get_u64(buf + 24), 0xfedcba9876543210ull);
    CHECK(all_bytes(buf + 32, 4, FILL));
}

static void group_value_failure_sends_nothing(void) {
    uint8_t buf[32];
    int32_t pkg = 1, hvx = 2, hmx = 3;
    int64_t timer = 4, pcycle = 5;
    fake_hap.pmu_read_result = 1;
    fake_hap.utimer = 192;
    fake_hap.upcycle = 99;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_GROUP_PMT_VALUE, buf, sizeof buf), -1);
    CHECK(all_bytes(buf, sizeof buf, FILL));
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "read pmu event failure.");

    /* The service itself has already written the timer and cycles, not the counters. */
    CHECK_EQ(kestrel_get_group_pmt_value(0, &pkg, &hvx, &hmx, &timer, &pcycle), -1);
    CHECK_EQ(timer, 10);
    CHECK_EQ(pcycle, 99);
    CHECK_EQ(pkg, 1);
    CHECK_EQ(hvx, 2);
    CHECK_EQ(hmx, 3);
}

static void clock_query(void) {
    uint8_t buf[12];
    fake_hap.clock_hz = 0x9abcdef0u;
    fake_hap.power_set_result = 1; /* only a negative result is a failure */
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_DSP_CURRENT_FREQ, buf, sizeof buf), 0);
    CHECK_EQ(kestrel_le_get_u32(buf), 0x9abcdef0u);
    CHECK_EQ(kestrel_le_get_u32(buf + 4), 0); /* hmx_freq */
    CHECK(all_bytes(buf + 8, 4, FILL));

    /* Set request: 120 bytes, type 7, payload bytes 1 and 1, all else zero. */
    CHECK_EQ(kestrel_le_get_u32(fake_hap.power_set_request), 7);
    CHECK_EQ(fake_hap.power_set_request[8], 1);
    CHECK_EQ(fake_hap.power_set_request[9], 1);
    CHECK(all_bytes(fake_hap.power_set_request + 4, 4, 0));
    CHECK(all_bytes(fake_hap.power_set_request + 10, 110, 0));
    /* Get response as handed over: 16 bytes, type 4, all else zero. */
    CHECK_EQ(kestrel_le_get_u32(fake_hap.power_get_response), 4);
    CHECK(all_bytes(fake_hap.power_get_response + 4, 12, 0));

    /* One fresh one-byte context for both calls, freed afterwards. */
    CHECK_EQ(fake_hap.malloc_calls, 1);
    CHECK_EQ(fake_hap.malloc_last_size, 1);
    CHECK(fake_hap.power_set_context != NULL);
    CHECK(fake_hap.power_get_context == fake_hap.power_set_context);
    CHECK(fake_hap.power_context_live);
    CHECK_EQ(fake_hap.live_blocks, 0);
    CHECK_EQ(fake_hap.free_invalid, 0);
}

static void clock_query_never_writes_hmx_freq(void) {
    int32_t dsp = -5, hmx = -6;
    fake_hap.clock_hz = 1804800000u;
    CHECK_EQ(kestrel_get_dsp_current_freq(0, &dsp, &hmx), 0);
    CHECK_EQ(dsp, 1804800000);
    CHECK_EQ(hmx, -6);
}

static void clock_query_failures(void) {
    uint8_t buf[8];
    fake_hap.power_set_result = -1;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_DSP_CURRENT_FREQ, buf, sizeof buf), -1);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "HAP_power_set dsp failure.");
    CHECK_EQ(fake_hap.power_get_calls, 0);
    CHECK_EQ(fake_hap.live_blocks, 0);
    CHECK(all_bytes(buf, sizeof buf, FILL));

    fake_hap.power_set_result = 0;
    fake_hap.power_get_result = 1;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_DSP_CURRENT_FREQ, buf, sizeof buf), -1);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "HAP_power_get dsp clk failure.");
    CHECK_EQ(fake_hap.live_blocks, 0);
    CHECK(all_bytes(buf, sizeof buf, FILL));
    CHECK_EQ(fake_hap.free_invalid, 0);
}

static void clock_query_with_exhausted_heap(void) {
    uint8_t buf[8];
    fake_hap.malloc_fails = 1;
    fake_hap.clock_hz = 19200000u;
    CHECK_EQ(invoke_out(KESTREL_SCALARS_GET_DSP_CURRENT_FREQ, buf, sizeof buf), 0);
    CHECK(fake_hap.power_set_context == NULL);
    CHECK_EQ(fake_hap.free_calls, 0);
    CHECK_EQ(kestrel_le_get_u32(buf), 19200000u);
}

static void log_goes_to_the_runtime_when_both_are_present(void) {
    service_log(123, "value %d of %s", 7, "x");
    CHECK_EQ(fake_hap.debug_runtime_calls, 1);
    CHECK_EQ(fake_hap.debug_runtime_last.level, 2);
    CHECK_STREQ(fake_hap.debug_runtime_last.file, "kestrel_skel_impl");
    CHECK_EQ(fake_hap.debug_runtime_last.line, 123);
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "value 7 of x");
    CHECK_EQ(fake_hap.debug_calls, 0);
    CHECK_EQ(fake_hap.debug_v2_calls, 0);
    /* A message is passed as text, never interpreted as a format a second time. */
    service_log(1, "%s", "100%s done");
    CHECK_STREQ(fake_hap.debug_runtime_last.text, "100%s done");
}

static void exported_values(void) {
    CHECK_STREQ(kestrel_skel_handle_invoke_uri,
                "file:///libkestrel_skel.so?kestrel_skel_handle_invoke&_modver=1.0");
    CHECK_EQ(kestrel_skel_handle_invoke_qaic_version, 10049);
}

static void descriptor(void) {
    check_slim_descriptor(&kestrel_slim);
}

const check_case check_cases[] = {
    {"unsupported_methods", unsupported_methods},
    {"wrong_counts_are_refused_before_anything_runs",
     wrong_counts_are_refused_before_anything_runs},
    {"short_or_missing_buffers_are_refused", short_or_missing_buffers_are_refused},
    {"attribute_bits_are_ignored", attribute_bits_are_ignored},
    {"open_checks_the_uri_length_word", open_checks_the_uri_length_word},
    {"open_writes_the_new_handle", open_writes_the_new_handle},
    {"open_without_heap_fails_and_logs", open_without_heap_fails_and_logs},
    {"close_of_handle_zero_frees_nothing", close_of_handle_zero_frees_nothing},
    {"second_close_is_refused_and_frees_nothing", second_close_is_refused_and_frees_nothing},
    {"forged_handles_are_refused_and_free_nothing", forged_handles_are_refused_and_free_nothing},
    {"handle_with_upper_bits_set_is_refused", handle_with_upper_bits_set_is_refused},
    {"open_beyond_the_context_table_fails_and_gives_the_block_back",
     open_beyond_the_context_table_fails_and_gives_the_block_back},
    {"legacy_perf_value_layout", legacy_perf_value_layout},
    {"timer_conversion", timer_conversion},
    {"pmu_init_registers_the_three_events", pmu_init_registers_the_three_events},
    {"pmu_init_failure", pmu_init_failure},
    {"deregistration_uses_the_last_group", deregistration_uses_the_last_group},
    {"group_value_layout_leaves_the_gap", group_value_layout_leaves_the_gap},
    {"group_value_failure_sends_nothing", group_value_failure_sends_nothing},
    {"clock_query", clock_query},
    {"clock_query_never_writes_hmx_freq", clock_query_never_writes_hmx_freq},
    {"clock_query_failures", clock_query_failures},
    {"clock_query_with_exhausted_heap", clock_query_with_exhausted_heap},
    {"log_goes_to_the_runtime_when_both_are_present",
     log_goes_to_the_runtime_when_both_are_present},
    {"exported_values", exported_values},
    {"descriptor", descriptor},
};
const size_t check_case_count = sizeof check_cases / sizeof check_cases[0];
