/* The encoders and decoders of the DSP link's messages: see sim_proto.h. Freestanding C, built
 * into the application side, the DSP host on this machine and the Hexagon DSP host. */
#include "sim_proto.h"

#include "kestrel_le.h"

static void copy_bytes(uint8_t* dst, const uint8_t* src, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        dst[i] = src[i];
    }
}

static uint32_t string_size(const char* s) {
    uint32_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n + 1;
}

/* ---- Writing ------------------------------------------------------------------------------- */

sim_out sim_writer(uint8_t* buf, uint32_t cap) {
    sim_out o;
    o.buf = buf;
    o.cap = buf != 0 ? cap : 0;
    o.len = 0;
    return o;
}

int sim_out_fits(const sim_out* o) {
    return o->len <= o->cap;
}

/* Counts n more bytes: where they go, or null when they do not fit. */
static uint8_t* out_space(sim_out* o, uint32_t n) {
    uint8_t* p = 0;
    if (o->buf != 0 && o->len <= o->cap && o->cap - o->len >= n) {
        p = o->buf + o->len;
    }
    o->len = n > 0xffffffffu - o->len ? 0xffffffffu : o->len + n;
    return p;
}

void sim_put_u32(sim_out* o, uint32_t v) {
    uint8_t* p = out_space(o, 4);
    if (p != 0) {
        kestrel_le_put_u32(p, v);
    }
}

void sim_put_u64(sim_out* o, uint64_t v) {
    uint8_t* p = out_space(o, 8);
    if (p != 0) {
        kestrel_le_put_u64(p, v);
    }
}

void sim_put_f64(sim_out* o, double v) {
    union {
        double d;
        uint64_t u;
    } bits;
    bits.d = v;
    sim_put_u64(o, bits.u);
}

void sim_put_bytes(sim_out* o, const void* src, uint32_t n) {
    uint8_t* p = out_space(o, n);
    if (p != 0) {
        copy_bytes(p, (const uint8_t*)src, n);
    }
}

void sim_put_pad8(sim_out* o) {
    const uint32_t n = (8u - (o->len & 7u)) & 7u;
    uint8_t* p = out_space(o, n);
    for (uint32_t i = 0; p != 0 && i < n; ++i) {
        p[i] = 0;
    }
}

/* ---- Reading ------------------------------------------------------------------------------- */

sim_in sim_reader(const uint8_t* buf, uint32_t len) {
    sim_in in;
    in.buf = buf;
    in.len = buf != 0 ? len : 0;
    in.off = 0;
    in.bad = 0;
    return in;
}

/* The next n bytes; null and the reader bad when the message is shorter. */
static const uint8_t* in_take(sim_in* in, uint32_t n) {
    if (in->bad || in->len - in->off < n) {
        in->bad = 1;
        return 0;
    }
    const uint8_t* p = in->buf != 0 ? in->buf + in->off : 0;
    in->off += n;
    return p;
}

uint32_t sim_get_u32(sim_in* in) {
    const uint8_t* p = in_take(in, 4);
    return p != 0 ? kestrel_le_get_u32(p) : 0;
}

uint64_t sim_get_u64(sim_in* in) {
    const uint8_t* p = in_take(in, 8);
    return p != 0 ? kestrel_le_get_u64(p) : 0;
}

double sim_get_f64(sim_in* in) {
    union {
        double d;
        uint64_t u;
    } bits;
    bits.u = sim_get_u64(in);
    return bits.d;
}

const uint8_t* sim_get_bytes(sim_in* in, uint32_t n) {
    return in_take(in, n);
}

void sim_get_pad8(sim_in* in) {
    in_take(in, (8u - (in->off & 7u)) & 7u);
}

/* ---- Frames -------------------------------------------------------------------------------- */

void sim_frame_begin(sim_out* o, uint32_t type) {
    sim_put_u32(o, type);
    sim_put_u32(o, 0);
}

void sim_frame_end(sim_out* o) {
    if (o->buf != 0 && o->cap >= SIM_FRAME_HEADER_BYTES && o->len >= SIM_FRAME_HEADER_BYTES) {
        kestrel_le_put_u32(o->buf + 4, o->len - SIM_FRAME_HEADER_BYTES);
    }
}

sim_frame_header sim_frame_header_get(const uint8_t* bytes) {
    sim_frame_header h;
    h.type = kestrel_le_get_u32(bytes);
    h.length = kestrel_le_get_u32(bytes + 4);
    return h;
}

/* ---- Configuration ------------------------------------------------------------------------- */

void sim_config_put(sim_out* o, const sim_config* c, const sim_config_lists* lists) {
    sim_put_u32(o, c->flags);
    sim_put_u32(o, c->clock_hz);
    sim_put_u64(o, c->upcycle_start);
    for (uint32_t i = 0; i < 3; ++i) {
        sim_put_u32(o, c->pmu_start[i]);
    }
    sim_put_u32(o, c->max_pmu_groups);
    sim_put_f64(o, c->core_load);
    sim_put_f64(o, c->pcpp);
    sim_put_f64(o, c->hvx_util);
    sim_put_f64(o, c->hmx_util);
    sim_put_u32(o, c->heap_bytes);
    sim_put_u32(o, c->n_faults);
    sim_put_u32(o, c->n_utimer);
    sim_put_u32(o, c->n_upcycle);
    sim_put_u32(o, c->n_pmu);
    sim_put_u32(o, c->n_clock);
    sim_put_bytes(o, c->domain, SIM_DOMAIN_NAME_BYTES);
    for (uint32_t i = 0; i < c->n_faults; ++i) {
        sim_put_u32(o, lists->faults[i].call);
        sim_put_u32(o, lists->faults[i].nth);
        sim_put_u32(o, (uint32_t)lists->faults[i].result);
        sim_put_u32(o, lists->faults[i].reserved);
    }
    for (uint32_t i = 0; i < c->n_utimer; ++i) {
        sim_put_u64(o, lists->utimer[i]);
    }
    for (uint32_t i = 0; i < c->n_upcycle; ++i) {
        sim_put_u64(o, lists->upcycle[i]);
    }
    for (uint32_t i = 0; i < 3 * c->n_pmu; ++i) {
        sim_put_u32(o, lists->pmu[i]);
    }
    for (uint32_t i = 0; i < c->n_clock; ++i) {
        sim_put_u32(o, lists->clock[i]);
    }
    sim_put_u32(o, c->n_steps);
    sim_put_u32(o, c->period_ms);
    for (uint32_t i = 0; i < c->n_steps; ++i) {
        sim_put_u32(o, lists->steps[i].at_ms);
        sim_put_u32(o, lists->steps[i].reserved);
        sim_put_f64(o, lists->steps[i].core_load);
        sim_put_f64(o, lists->steps[i].hvx_util);
        sim_put_f64(o, lists->steps[i].hmx_util);
    }
}

/* The first step at 0, each later one after the one before, the period after the last. */
static int steps_in_order(const sim_config* c, const sim_load_step* steps) {
    if (c->n_steps == 0) {
        return 1;
    }
    if (steps[0].at_ms != 0 || c->period_ms <= steps[c->n_steps - 1].at_ms) {
        return 0;
    }
    for (uint32_t i = 1; i < c->n_steps; ++i) {
        if (steps[i].at_ms <= steps[i - 1].at_ms) {
            return 0;
        }
    }
    return 1;
}

int sim_config_get(sim_in* in, sim_config* c, const sim_config_arrays* arrays) {
    sim_fault* faults = arrays->faults;
    uint64_t* utimer = arrays->utimer;
    uint64_t* upcycle = arrays->upcycle;
    uint32_t* pmu = arrays->pmu;
    uint32_t* clock = arrays->clock;
    sim_load_step* steps = arrays->steps;
    c->flags = sim_get_u32(in);
    c->clock_hz = sim_get_u32(in);
    c->upcycle_start = sim_get_u64(in);
    for (uint32_t i = 0; i < 3; ++i) {
        c->pmu_start[i] = sim_get_u32(in);
    }
    c->max_pmu_groups = sim_get_u32(in);
    c->core_load = sim_get_f64(in);
    c->pcpp = sim_get_f64(in);
    c->hvx_util = sim_get_f64(in);
    c->hmx_util = sim_get_f64(in);
    c->heap_bytes = sim_get_u32(in);
    c->n_faults = sim_get_u32(in);
    c->n_utimer = sim_get_u32(in);
    c->n_upcycle = sim_get_u32(in);
    c->n_pmu = sim_get_u32(in);
    c->n_clock = sim_get_u32(in);
    const uint8_t* domain = sim_get_bytes(in, SIM_DOMAIN_NAME_BYTES);
    if (in->bad || c->n_faults > SIM_MAX_DSP_FAULTS || c->n_utimer > SIM_MAX_SCRIPT ||
        c->n_upcycle > SIM_MAX_SCRIPT || c->n_pmu > SIM_MAX_SCRIPT || c->n_clock > SIM_MAX_SCRIPT) {
        return -1;
    }
    copy_bytes((uint8_t*)c->domain, domain, SIM_DOMAIN_NAME_BYTES);
    for (uint32_t i = 0; i < c->n_faults; ++i) {
        faults[i].call = sim_get_u32(in);
        faults[i].nth = sim_get_u32(in);
        faults[i].result = (int32_t)sim_get_u32(in);
        faults[i].reserved = sim_get_u32(in);
    }
    for (uint32_t i = 0; i < c->n_utimer; ++i) {
        utimer[i] = sim_get_u64(in);
    }
    for (uint32_t i = 0; i < c->n_upcycle; ++i) {
        upcycle[i] = sim_get_u64(in);
    }
    for (uint32_t i = 0; i < 3 * c->n_pmu; ++i) {
        pmu[i] = sim_get_u32(in);
    }
    for (uint32_t i = 0; i < c->n_clock; ++i) {
        clock[i] = sim_get_u32(in);
    }
    c->n_steps = sim_get_u32(in);
    c->period_ms = sim_get_u32(in);
    if (in->bad || c->n_steps > SIM_MAX_LOAD_STEPS) {
        return -1;
    }
    for (uint32_t i = 0; i < c->n_steps; ++i) {
        steps[i].at_ms = sim_get_u32(in);
        steps[i].reserved = sim_get_u32(in);
        steps[i].core_load = sim_get_f64(in);
        steps[i].hvx_util = sim_get_f64(in);
        steps[i].hmx_util = sim_get_f64(in);
    }
    return in->bad || !steps_in_order(c, steps) ? -1 : 0;
}

/* ---- Open ---------------------------------------------------------------------------------- */

void sim_open_req_put(sim_out* o, const char* path, const char* entry, const char* uri) {
    const uint32_t path_len = string_size(path);
    const uint32_t entry_len = string_size(entry);
    const uint32_t uri_len = string_size(uri);
    sim_put_u32(o, path_len);
    sim_put_u32(o, entry_len);
    sim_put_u32(o, uri_len);
    sim_put_u32(o, 0);
    sim_put_bytes(o, path, path_len);
    sim_put_bytes(o, entry, entry_len);
    sim_put_bytes(o, uri, uri_len);
}

/* A string of n bytes with its NUL; null when it is empty, short or not terminated. */
static const char* get_string(sim_in* in, uint32_t n) {
    const uint8_t* p = n != 0 ? sim_get_bytes(in, n) : 0;
    return p != 0 && p[n - 1] == '\0' ? (const char*)p : 0;
}

int sim_open_req_get(sim_in* in, sim_open_req* q) {
    const uint32_t path_len = sim_get_u32(in);
    const uint32_t entry_len = sim_get_u32(in);
    const uint32_t uri_len = sim_get_u32(in);
    sim_get_u32(in);
    q->path = get_string(in, path_len);
    q->entry = get_string(in, entry_len);
    q->uri = get_string(in, uri_len);
    q->uri_len = uri_len;
    return q->path != 0 && q->entry != 0 && q->uri != 0 ? 0 : -1;
}

void sim_open_reply_put(sim_out* o, const sim_open_reply* r) {
    sim_put_u32(o, (uint32_t)r->result);
    sim_put_u32(o, r->module);
    sim_put_u64(o, r->handle);
}

int sim_open_reply_get(sim_in* in, sim_open_reply* r) {
    r->result = (int32_t)sim_get_u32(in);
    r->module = sim_get_u32(in);
    r->handle = sim_get_u64(in);
    return in->bad ? -1 : 0;
}

/* ---- Invoke -------------------------------------------------------------------------------- */

int sim_invoke_req_put(sim_out* o, const sim_invoke_req* q, const remote_arg* args) {
    const uint32_t nbufs = remote_scalars_in_bufs(q->scalars) + remote_scalars_out_bufs(q->scalars);
    const uint32_t nhin = remote_scalars_in_handles(q->scalars);
    if (remote_scalars_length(q->scalars) != 0 && args == 0) {
        return -1;
    }
    sim_put_u32(o, q->module);
    sim_put_u32(o, q->scalars);
    sim_put_u64(o, q->handle);
    sim_put_u32(o, q->flags);
    sim_put_u32(o, 0);
    for (uint32_t i = 0; i < nbufs; ++i) {
        const remote_buf* b = &args[i].buf;
        if (b->nLen > SIM_MAX_PAYLOAD || (b->pv == 0 && b->nLen != 0)) {
            return -1;
        }
        sim_put_u32(o, (uint32_t)b->nLen);
        sim_put_u32(o, 0);
        sim_put_bytes(o, b->pv, (uint32_t)b->nLen);
        sim_put_pad8(o);
    }
    for (uint32_t i = 0; i < nhin; ++i) {
        sim_put_u64(o, args[nbufs + i].h64);
    }
    return 0;
}

int sim_invoke_req_get(sim_in* in, sim_invoke_req* q) {
    q->module = sim_get_u32(in);
    q->scalars = sim_get_u32(in);
    q->handle = sim_get_u64(in);
    q->flags = sim_get_u32(in);
    q->reserved = sim_get_u32(in);
    return in->bad ? -1 : 0;
}

int sim_invoke_args_get(sim_in* in, uint32_t scalars, remote_arg* args, sim_out* reply) {
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nbufs = nin + remote_scalars_out_bufs(scalars);
    const uint32_t nhin = remote_scalars_in_handles(scalars);
    const uint32_t nhout = remote_scalars_out_handles(scalars);
    for (uint32_t i = 0; i < nbufs; ++i) {
        const uint32_t n = sim_get_u32(in);
        sim_get_u32(in);
        const uint8_t* p = sim_get_bytes(in, n);
        sim_get_pad8(in);
        if (in->bad) {
            return -1;
        }
        if (i < nin) {
            args[i].buf.pv = (void*)p;
        } else {
            uint8_t* dst = out_space(reply, n);
            if (dst == 0) {
                return -1;
            }
            copy_bytes(dst, p, n);
            sim_put_pad8(reply);
            args[i].buf.pv = dst;
        }
        args[i].buf.nLen = n;
    }
    for (uint32_t i = 0; i < nhin; ++i) {
        args[nbufs + i].h64 = sim_get_u64(in);
    }
    for (uint32_t i = 0; i < nhout; ++i) {
        args[nbufs + nhin + i].h64 = 0;
    }
    return in->bad || !sim_out_fits(reply) ? -1 : 0;
}

void sim_invoke_reply_begin(sim_out* o) {
    sim_frame_begin(o, SIM_MSG_REPLY);
    sim_put_u32(o, 0); /* the result, set at the end */
    sim_put_u32(o, 0);
}

void sim_invoke_reply_end(sim_out* o, int32_t result, uint32_t scalars, const remote_arg* args) {
    const uint32_t head = SIM_FRAME_HEADER_BYTES + SIM_INVOKE_REPLY_BYTES;
    const uint32_t first_out_handle = remote_scalars_in_bufs(scalars) +
                                      remote_scalars_out_bufs(scalars) +
                                      remote_scalars_in_handles(scalars);
    if (o->buf != 0 && o->cap >= head) {
        kestrel_le_put_u32(o->buf + SIM_FRAME_HEADER_BYTES, (uint32_t)result);
    }
    if (result != 0) {
        o->len = head;
    } else {
        for (uint32_t i = 0; i < remote_scalars_out_handles(scalars); ++i) {
            sim_put_u64(o, args[first_out_handle + i].h64);
        }
    }
    sim_frame_end(o);
}

int32_t sim_invoke_reply_get(sim_in* in, uint32_t scalars, remote_arg* args) {
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nbufs = nin + remote_scalars_out_bufs(scalars);
    const uint32_t first_out_handle = nbufs + remote_scalars_in_handles(scalars);
    const int32_t result = (int32_t)sim_get_u32(in);
    sim_get_u32(in);
    if (in->bad) {
        return SIM_ERR_DSP_LOST;
    }
    if (result != 0) {
        return result;
    }
    /* The whole reply is measured before anything is copied: a short one leaves every output
     * of the caller as it was, as a failed call does. */
    sim_in whole = *in;
    for (uint32_t i = nin; i < nbufs; ++i) {
        sim_get_bytes(&whole, (uint32_t)args[i].buf.nLen);
        sim_get_pad8(&whole);
    }
    for (uint32_t i = 0; i < remote_scalars_out_handles(scalars); ++i) {
        sim_get_u64(&whole);
    }
    if (whole.bad) {
        in->bad = 1;
        return SIM_ERR_DSP_LOST;
    }
    for (uint32_t i = nin; i < nbufs; ++i) {
        const uint32_t n = (uint32_t)args[i].buf.nLen;
        const uint8_t* p = sim_get_bytes(in, n);
        sim_get_pad8(in);
        if (n != 0) {
            copy_bytes((uint8_t*)args[i].buf.pv, p, n);
        }
    }
    for (uint32_t i = 0; i < remote_scalars_out_handles(scalars); ++i) {
        args[first_out_handle + i].h64 = sim_get_u64(in);
    }
    return 0;
}

/* ---- Status -------------------------------------------------------------------------------- */

void sim_status_reply_put(sim_out* o, const sim_status_reply* s) {
    sim_put_u32(o, s->pmu_groups);
    sim_put_u32(o, s->heap_blocks);
}

int sim_status_reply_get(sim_in* in, sim_status_reply* s) {
    s->pmu_groups = sim_get_u32(in);
    s->heap_blocks = sim_get_u32(in);
    return in->bad ? -1 : 0;
}
