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
static uint64_t request[(SIM_MAX_PAYLOAD + 7) / 8];
static uint64_t reply[(SIM_MAX_PAYLOAD + SIM_REPLY_EXTRA) / 8 + 1];
static remote_arg args[MAX_ARGS];

static int send_frame(uint32_t type, const void* payload, uint32_t len) {
    sim_frame_header h = {type, len};
    if (dsp_plat_write(&h, sizeof h) != 0)
        return -1;
    return len == 0 ? 0 : dsp_plat_write(payload, len);
}

void dsp_host_trace(const char* text, uint32_t len) {
    send_frame(SIM_MSG_TRACE, text, len);
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

static int handle_open(const uint8_t* p, uint32_t len) {
    sim_open_reply r = {0, 0, 0};
    sim_open_req q;
    if (len < sizeof q)
        return -1;
    dsp_copy(&q, p, sizeof q);
    if (q.path_len == 0 || q.entry_len == 0 || q.uri_len == 0 ||
        (uint64_t)q.path_len + q.entry_len + q.uri_len > len - sizeof q) {
        return -1;
    }
    const char* path = (const char*)p + sizeof q;
    const char* entry = path + q.path_len;
    const char* uri = entry + q.entry_len;
    if (path[q.path_len - 1] != '\0' || entry[q.entry_len - 1] != '\0' ||
        uri[q.uri_len - 1] != '\0') {
        return -1;
    }
    const module* m = find_or_load(path, entry, &r.result);
    if (m != 0) {
        /* Open is method 0: the URI length with its NUL, the URI, the new handle. */
        uint32_t uri_len = q.uri_len;
        args[0].buf.pv = &uri_len;
        args[0].buf.nLen = sizeof uri_len;
        args[1].buf.pv = (void*)uri;
        args[1].buf.nLen = q.uri_len;
        args[2].h64 = 0;
        r.result = call_skeleton(m, 0, remote_scalars_make(0, 2, 0, 0, 1));
        r.module = (uint32_t)(m - modules);
        r.handle = r.result == 0 ? args[2].h64 : 0;
    }
    return send_frame(SIM_MSG_REPLY, &r, sizeof r);
}

static int handle_invoke(const uint8_t* p, uint32_t len) {
    sim_invoke_req q;
    if (len < sizeof q)
        return -1;
    dsp_copy(&q, p, sizeof q);
    if (q.flags & SIM_INVOKE_CRASH) {
        dsp_trace_line t;
        dsp_trace_begin(&t, "crash");
        dsp_trace_uint(&t, "method", remote_scalars_method(q.scalars));
        dsp_trace_end(&t);
        dsp_plat_exit(70);
    }
    if (q.module >= module_count)
        return -1;
    const uint32_t nin = remote_scalars_in_bufs(q.scalars);
    const uint32_t nout = remote_scalars_out_bufs(q.scalars);
    const uint32_t nhin = remote_scalars_in_handles(q.scalars);
    const uint32_t nhout = remote_scalars_out_handles(q.scalars);
    uint8_t* out = (uint8_t*)reply;
    uint32_t out_off = sizeof(sim_invoke_reply);
    uint32_t off = sizeof q;
    /* Rebuild the argument array in this processor's own layout; input buffers point into the
     * request, output buffers straight into the reply. */
    for (uint32_t i = 0; i < nin + nout; ++i) {
        uint32_t n;
        if (off > len || len - off < 8)
            return -1;
        dsp_copy(&n, p + off, 4);
        off += 8;
        if (n > len - off)
            return -1;
        if (i < nin) {
            args[i].buf.pv = (void*)(p + off);
        } else {
            dsp_copy(out + out_off, p + off, n);
            args[i].buf.pv = out + out_off;
            out_off = sim_align8(out_off + n);
        }
        args[i].buf.nLen = n;
        off = sim_align8(off + n);
    }
    for (uint32_t i = 0; i < nhin; ++i) {
        uint64_t h;
        if (off > len || len - off < 8)
            return -1;
        dsp_copy(&h, p + off, 8);
        args[nin + nout + i].h64 = h;
        off += 8;
    }
    for (uint32_t i = 0; i < nhout; ++i)
        args[nin + nout + nhin + i].h64 = 0;
    sim_invoke_reply r = {0, 0};
    r.result = call_skeleton(&modules[q.module], q.handle, q.scalars);
    if (r.result != 0)
        return send_frame(SIM_MSG_REPLY, &r, sizeof r);
    for (uint32_t i = 0; i < nhout; ++i) {
        dsp_copy(out + out_off, &args[nin + nout + nhin + i].h64, 8);
        out_off += 8;
    }
    dsp_copy(out, &r, sizeof r);
    return send_frame(SIM_MSG_REPLY, out, out_off);
}

static int handle_status(void) {
    sim_status_reply s = {dsp_rt_pmu_groups(), dsp_rt_heap_blocks()};
    return send_frame(SIM_MSG_REPLY, &s, sizeof s);
}

static int read_frame(sim_frame_header* h) {
    if (dsp_plat_read(h, sizeof *h) != 0)
        return -1;
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
        dsp_rt_configure((const uint8_t*)request, h.length, dsp_plat_now_ns()) != 0) {
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
        const uint8_t* p = (const uint8_t*)request;
        if (h.type == SIM_MSG_OPEN) {
            r = handle_open(p, h.length);
        } else if (h.type == SIM_MSG_INVOKE) {
            r = handle_invoke(p, h.length);
        } else if (h.type == SIM_MSG_STATUS) {
            r = handle_status();
        } else {
            r = -1;
        }
        if (r != 0)
            return 1;
    }
}
