/* The DSP host's request loop: see host.h. */
#include "host.h"

#include "fastrpc/remote_types.h"
#include "runtime.h"
#include "sim_proto.h"

#define MAX_MODULES 16
#define MAX_ARGS (255 + 255 + 15 + 15)
#define PATH_BYTES 512

typedef int (*invoke_fn)(remote_handle64 handle, uint32_t scalars, remote_arg* args);

typedef struct module {
    char path[PATH_BYTES];
    char entry[128];
    invoke_fn invoke;
} module;

static module modules[MAX_MODULES];
static uint32_t module_count;
/* Items of a request and of a reply lie at multiples of 8 bytes from the start. */
static _Alignas(8) uint8_t request[SIM_MAX_PAYLOAD];
/* Replies and trace lines are built whole, header first, and leave in one write each. */
static _Alignas(8) uint8_t reply[SIM_FRAME_HEADER_BYTES + SIM_MAX_PAYLOAD + SIM_REPLY_EXTRA];
static uint8_t trace_frame[SIM_FRAME_HEADER_BYTES + sizeof(((dsp_trace_line*)0)->text)];
static remote_arg args[MAX_ARGS];

static int send_frame(sim_out* o) {
    sim_frame_end(o);
    return sim_out_fits(o) ? dsp_plat_write(o->buf, o->len) : -1;
}

void dsp_host_trace(const char* text, uint32_t len) {
    sim_out o = sim_writer(trace_frame, sizeof trace_frame);
    sim_frame_begin(&o, SIM_MSG_TRACE);
    sim_put_bytes(&o, text, len);
    send_frame(&o);
}

static int call_skeleton(const module* m, uint64_t handle, uint32_t scalars) {
    dsp_trace_line t;
    const int result = m->invoke(handle, scalars, args);
    dsp_trace_begin(&t, "invoke");
    dsp_trace_uint(&t, "handle", handle);
    dsp_trace_uint(&t, "scalars", scalars);
    dsp_trace_uint(&t, "method", remote_scalars_method(scalars));
    dsp_trace_int(&t, "result", result);
    dsp_trace_end(&t);
    return result;
}

static const module* find_or_load(const char* path, const char* entry, int32_t* result) {
    for (uint32_t i = 0; i < module_count; ++i) {
        if (dsp_strcmp(modules[i].path, path) == 0 && dsp_strcmp(modules[i].entry, entry) == 0) {
            return &modules[i];
        }
    }
    void* lib = 0;
    void* fn = 0;
    if (module_count == MAX_MODULES || dsp_strnlen(path, PATH_BYTES) == PATH_BYTES ||
        dsp_strnlen(entry, 128) == 128) {
        *result = SIM_ERR_LOAD;
    } else if ((lib = dsp_plat_load(path)) == 0) {
        *result = SIM_ERR_LOAD;
    } else if ((fn = dsp_plat_symbol(lib, entry)) == 0) {
        *result = SIM_ERR_NO_ENTRY;
    } else {
        *result = 0;
    }
    dsp_trace_line t;
    dsp_trace_begin(&t, "load");
    dsp_trace_str(&t, "library", path, PATH_BYTES);
    dsp_trace_str(&t, "entry", entry, 128);
    dsp_trace_int(&t, "result", *result);
    dsp_trace_end(&t);
    if (*result != 0)
        return 0;
    module* m = &modules[module_count++];
    dsp_copy(m->path, path, dsp_strnlen(path, PATH_BYTES) + 1);
    dsp_copy(m->entry, entry, dsp_strnlen(entry, 128) + 1);
    /* A data pointer from the loader becomes the entry point's function pointer. */
    union {
        void* data;
        invoke_fn code;
    } entry_point;
    entry_point.data = fn;
    m->invoke = entry_point.code;
    return m;
}

static int handle_open(sim_in* in) {
    sim_open_reply r = {0, 0, 0};
    sim_open_req q;
    if (sim_open_req_get(in, &q) != 0)
        return -1;
    const module* m = find_or_load(q.path, q.entry, &r.result);
    if (m != 0) {
        /* Open is method 0: the URI length with its NUL, the URI, the new handle. */
        uint32_t uri_len = q.uri_len;
        args[0].buf.pv = &uri_len;
        args[0].buf.nLen = sizeof uri_len;
        args[1].buf.pv = (void*)q.uri;
        args[1].buf.nLen = q.uri_len;
        args[2].h64 = 0;
        r.result = call_skeleton(m, 0, remote_scalars_make(0, 2, 0, 0, 1));
        r.module = (uint32_t)(m - modules);
        r.handle = r.result == 0 ? args[2].h64 : 0;
    }
    sim_out o = sim_writer(reply, sizeof reply);
    sim_frame_begin(&o, SIM_MSG_REPLY);
    sim_open_reply_put(&o, &r);
    return send_frame(&o);
}

static int handle_invoke(sim_in* in) {
    sim_invoke_req q;
    if (sim_invoke_req_get(in, &q) != 0)
        return -1;
    if (q.flags & SIM_INVOKE_CRASH) {
        dsp_trace_line t;
        dsp_trace_begin(&t, "crash");
        dsp_trace_uint(&t, "method", remote_scalars_method(q.scalars));
        dsp_trace_end(&t);
        dsp_plat_exit(70);
    }
    if (q.module >= module_count)
        return -1;
    /* The argument array in this processor's own layout: input buffers point into the request,
     * output buffers straight into the reply. */
    sim_out o = sim_writer(reply, sizeof reply);
    sim_invoke_reply_begin(&o);
    if (sim_invoke_args_get(in, q.scalars, args, &o) != 0)
        return -1;
    const int32_t result = call_skeleton(&modules[q.module], q.handle, q.scalars);
    sim_invoke_reply_end(&o, result, q.scalars, args);
    return send_frame(&o);
}

static int handle_status(void) {
    const sim_status_reply s = {dsp_rt_pmu_groups(), dsp_rt_heap_blocks()};
    sim_out o = sim_writer(reply, sizeof reply);
    sim_frame_begin(&o, SIM_MSG_REPLY);
    sim_status_reply_put(&o, &s);
    return send_frame(&o);
}

/* Reads the next request into `request`: 0, -1 when the stream ended, -2 when it is too long. */
static int read_frame(sim_frame_header* h) {
    uint8_t head[SIM_FRAME_HEADER_BYTES];
    if (dsp_plat_read(head, sizeof head) != 0)
        return -1;
    *h = sim_frame_header_get(head);
    if (h->length > SIM_MAX_PAYLOAD)
        return -2;
    if (h->length != 0 && dsp_plat_read(request, h->length) != 0)
        return -1;
    return 0;
}

int dsp_host_run(void) {
    sim_frame_header h;
    int r = read_frame(&h);
    if (r == -1)
        return 0;
    if (r != 0 || h.type != SIM_MSG_CONFIG ||
        dsp_rt_configure(request, h.length, dsp_plat_now_ns()) != 0) {
        return 1;
    }
    dsp_plat_load_options(dsp_rt_flags());
    for (;;) {
        r = read_frame(&h);
        if (r == -1)
            return 0; /* the application side went away */
        if (r != 0)
            return 1;
        dsp_rt_set_now(dsp_plat_now_ns());
        sim_in in = sim_reader(request, h.length);
        if (h.type == SIM_MSG_OPEN) {
            r = handle_open(&in);
        } else if (h.type == SIM_MSG_INVOKE) {
            r = handle_invoke(&in);
        } else if (h.type == SIM_MSG_STATUS) {
            r = handle_status();
        } else {
            r = -1;
        }
        if (r != 0)
            return 1;
    }
}
