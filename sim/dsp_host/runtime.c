/* The DSP runtime stand-in: see runtime.h. */
#include "runtime.h"

#include "hexagon/dsp_registers.h"

#define MAX_GROUPS 16
#define ARENA_BYTES (1u << 20)
#define EVENT_COMMITTED_PACKETS 0x0003u
#define EVENT_HVX_PACKETS 0x0111u
#define EVENT_HMX_ACTIVE 0x0200u

typedef struct pmu_group {
    int used;
    uint32_t id;
    uint32_t num_events;
    uint16_t events[4];
} pmu_group;

/* Heap blocks: a header in front of each block; blocks tile the arena. */
typedef struct block_header {
    uint32_t size; /* bytes after the header */
    uint32_t used;
    uint64_t pad; /* keeps blocks 16-byte aligned */
} block_header;

static struct {
    sim_config cfg;
    sim_fault faults[SIM_MAX_DSP_FAULTS];
    uint32_t fault_seen[SIM_MAX_DSP_FAULTS];
    uint64_t utimer[SIM_MAX_SCRIPT];
    uint64_t upcycle[SIM_MAX_SCRIPT];
    uint32_t pmu[3 * SIM_MAX_SCRIPT]; /* triples */
    uint32_t clock[SIM_MAX_SCRIPT];
    sim_load_step steps[SIM_MAX_LOAD_STEPS];
    /* Per step: its length and the integrals of the load over the period up to its start
     * (seconds of busy core, of busy core times HVX share, times HMX share); [n_steps] holds
     * the whole period's. */
    uint64_t step_ns[SIM_MAX_LOAD_STEPS];
    double cum_core[SIM_MAX_LOAD_STEPS + 1], cum_hvx[SIM_MAX_LOAD_STEPS + 1],
        cum_hmx[SIM_MAX_LOAD_STEPS + 1];
    /* The largest integrals read so far: a reading never goes back, whatever the rounding. */
    double seen_core, seen_hvx, seen_hmx;
    /* The clients' loads (the board's workloads): those whose link is open, the integrals of those
     * that ended (folded in when their link closed), and the largest integrals read so far. */
    dsp_client clients[DSP_MAX_CLIENTS];
    double ended_core, ended_hvx, ended_hmx;
    double clients_core, clients_hvx, clients_hmx;
    uint32_t next_utimer, next_upcycle, next_pmu, next_clock;
    uint64_t start_ns;
    uint64_t now_ns;
    pmu_group groups[MAX_GROUPS];
    uint32_t next_group_id;
    uint32_t heap_size;
} rt;

static uint64_t arena[ARENA_BYTES / sizeof(uint64_t)];

/* ---- Configuration ------------------------------------------------------------------------ */

static void heap_reset(uint32_t size) {
    if (size > ARENA_BYTES)
        size = ARENA_BYTES;
    if (size < 2 * sizeof(block_header))
        size = 2 * sizeof(block_header);
    rt.heap_size = size & ~15u;
    block_header* h = (block_header*)arena;
    h->size = rt.heap_size - (uint32_t)sizeof(block_header);
    h->used = 0;
}

/* The lengths of the load steps and the integrals of the load up to each step's start. */
static void steps_prepare(void) {
    for (uint32_t i = 0; i < rt.cfg.n_steps; ++i) {
        const uint32_t end_ms = i + 1 < rt.cfg.n_steps ? rt.steps[i + 1].at_ms : rt.cfg.period_ms;
        rt.step_ns[i] = (uint64_t)(end_ms - rt.steps[i].at_ms) * 1000000u;
        const double s = (double)(end_ms - rt.steps[i].at_ms) / 1000.0;
        const double busy = rt.steps[i].core_load * s;
        rt.cum_core[i + 1] = rt.cum_core[i] + busy;
        rt.cum_hvx[i + 1] = rt.cum_hvx[i] + busy * rt.steps[i].hvx_util;
        rt.cum_hmx[i + 1] = rt.cum_hmx[i] + busy * rt.steps[i].hmx_util;
    }
}

int dsp_rt_configure(const uint8_t* msg, uint32_t len, uint64_t now_ns) {
    sim_in in = sim_reader(msg, len);
    dsp_fill(&rt, 0, sizeof rt);
    const sim_config_arrays arrays = {rt.faults, rt.utimer, rt.upcycle, rt.pmu, rt.clock, rt.steps};
    if (sim_config_get(&in, &rt.cfg, &arrays) != 0) {
        dsp_fill(&rt, 0, sizeof rt);
        return -1;
    }
    steps_prepare();
    rt.cfg.domain[SIM_DOMAIN_NAME_BYTES - 1] = '\0';
    if (rt.cfg.max_pmu_groups > MAX_GROUPS)
        rt.cfg.max_pmu_groups = MAX_GROUPS;
    rt.start_ns = now_ns;
    rt.now_ns = now_ns;
    rt.next_group_id = 1;
    heap_reset(rt.cfg.heap_bytes);
    return 0;
}

uint32_t dsp_rt_flags(void) {
    return rt.cfg.flags;
}

const char* dsp_rt_domain(void) {
    return rt.cfg.domain;
}

void dsp_rt_set_now(uint64_t now_ns) {
    rt.now_ns = now_ns;
}

/* Counts a call of `call` (SIM_CALL_*) against the faults; 1 and the result when one fires. */
static int fault_hit(uint32_t call, int32_t* result) {
    int hit = 0;
    for (uint32_t i = 0; i < rt.cfg.n_faults; ++i) {
        if (rt.faults[i].call != call)
            continue;
        ++rt.fault_seen[i];
        if (!hit && (rt.faults[i].nth == 0 || rt.faults[i].nth == rt.fault_seen[i])) {
            hit = 1;
            *result = rt.faults[i].result;
        }
    }
    return hit;
}

/* ---- Trace -------------------------------------------------------------------------------- */

int dsp_rt_tracing(void) {
    return (rt.cfg.flags & SIM_CFG_TRACE) != 0;
}

/* Room kept at the end of every line for the truncation marker and the closing brace. */
#define TRACE_LIMIT (sizeof(((dsp_trace_line*)0)->text) - 24u)

static int trace_put(dsp_trace_line* t, const char* s, uint32_t n) {
    if (t->len + n > TRACE_LIMIT)
        return 0;
    dsp_copy(t->text + t->len, s, n);
    t->len += n;
    return 1;
}

/* A field is added whole or not at all; a dropped field marks the line as truncated. */
static int field_key(dsp_trace_line* t, const char* key) {
    return trace_put(t, ", \"", 3) && trace_put(t, key, dsp_strnlen(key, 64)) &&
           trace_put(t, "\": ", 3);
}

static void field_done(dsp_trace_line* t, uint32_t start, int ok) {
    if (!ok) {
        t->len = start;
        t->overflow = 1;
    }
}

/* A JSON string; text that does not fit is cut (and the line marked), the quotes always close. */
static int trace_json_string(dsp_trace_line* t, const char* s, uint32_t max_len) {
    if (t->len + 2 > TRACE_LIMIT)
        return 0;
    trace_put(t, "\"", 1);
    for (uint32_t i = 0; s != 0 && i < max_len && s[i] != '\0'; ++i) {
        const uint8_t c = (uint8_t)s[i];
        char esc[8];
        uint32_t n;
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = (char)c;
            n = 2;
        } else if (c == '\n') {
            esc[0] = '\\';
            esc[1] = 'n';
            n = 2;
        } else if (c < 0x20 || c >= 0x7f) {
            /* Bytes outside printable ASCII are kept as \u00XX so the line stays JSON. */
            n = (uint32_t)dsp_format(esc, sizeof esc, "\\u%04x", (unsigned)c);
        } else {
            esc[0] = (char)c;
            n = 1;
        }
        if (t->len + n + 1 > TRACE_LIMIT) {
            t->overflow = 1;
            break;
        }
        trace_put(t, esc, n);
    }
    trace_put(t, "\"", 1);
    return 1;
}

/* Without a trace the fields are not formatted at all: a line costs nothing then. */
void dsp_trace_begin(dsp_trace_line* t, const char* call) {
    t->len = 0;
    t->overflow = 0;
    if (!dsp_rt_tracing())
        return;
    trace_put(t, "{\"side\": \"dsp\"", 14);
    dsp_trace_str(t, "domain", rt.cfg.domain, SIM_DOMAIN_NAME_BYTES);
    dsp_trace_str(t, "call", call, 64);
}

void dsp_trace_int(dsp_trace_line* t, const char* key, int64_t value) {
    if (!dsp_rt_tracing())
        return;
    char num[24];
    const uint32_t start = t->len;
    const uint32_t n = (uint32_t)dsp_format(num, sizeof num, "%lld", (long long)value);
    field_done(t, start, field_key(t, key) && trace_put(t, num, n));
}

void dsp_trace_uint(dsp_trace_line* t, const char* key, uint64_t value) {
    if (!dsp_rt_tracing())
        return;
    char num[24];
    const uint32_t start = t->len;
    const uint32_t n = (uint32_t)dsp_format(num, sizeof num, "%llu", (unsigned long long)value);
    field_done(t, start, field_key(t, key) && trace_put(t, num, n));
}

void dsp_trace_str(dsp_trace_line* t, const char* key, const char* value, uint32_t max_len) {
    if (!dsp_rt_tracing())
        return;
    const uint32_t start = t->len;
    int ok = field_key(t, key);
    if (ok)
        ok = value == 0 ? trace_put(t, "null", 4) : trace_json_string(t, value, max_len);
    field_done(t, start, ok);
}

void dsp_trace_raw(dsp_trace_line* t, const char* key, const char* json_text) {
    if (!dsp_rt_tracing())
        return;
    const uint32_t start = t->len;
    field_done(
        t, start,
        field_key(t, key) && trace_put(t, json_text, dsp_strnlen(json_text, sizeof t->text)));
}

void dsp_trace_end(dsp_trace_line* t) {
    if (!dsp_rt_tracing())
        return;
    if (t->overflow) {
        /* TRACE_LIMIT kept the room for this and the brace. */
        dsp_copy(t->text + t->len, ", \"truncated\": true", 19);
        t->len += 19;
    }
    t->text[t->len++] = '}';
    dsp_host_trace(t->text, t->len);
}

/* Begins the line of one of the platform's calls (sim_calls.h). */
static void trace_call(dsp_trace_line* t, uint32_t call) {
    dsp_trace_begin(t, sim_call(call).name);
}

/* The call's result, after the mark of a line that a board fault produced. */
static void trace_result(dsp_trace_line* t, int64_t result, int injected) {
    if (injected)
        dsp_trace_raw(t, "injected", "true");
    dsp_trace_int(t, "result", result);
}

/* ---- Registers and the load model --------------------------------------------------------- */

static double elapsed_s(void) {
    return rt.now_ns > rt.start_ns ? (double)(rt.now_ns - rt.start_ns) / 1e9 : 0.0;
}

static double busy_cycles(void) {
    return (double)rt.cfg.clock_hz * rt.cfg.core_load * elapsed_s();
}

/* A load of steps: the integrals of the load from the start to now, in seconds of busy core
 * (core), busy core times the HVX share (hvx) and times the HMX share (hmx). Whole periods, then
 * the whole steps of the current period, then the part of the current step. */
static void steps_integrals(double* core, double* hvx, double* hmx) {
    const uint64_t period_ns = (uint64_t)rt.cfg.period_ms * 1000000u;
    const uint64_t elapsed = rt.now_ns > rt.start_ns ? rt.now_ns - rt.start_ns : 0;
    const double periods = (double)(elapsed / period_ns);
    uint64_t into = elapsed % period_ns;
    uint32_t k = 0;
    while (k + 1 < rt.cfg.n_steps && into >= rt.step_ns[k]) {
        into -= rt.step_ns[k];
        ++k;
    }
    const uint32_t n = rt.cfg.n_steps;
    const double busy = rt.steps[k].core_load * ((double)into / 1e9);
    *core = periods * rt.cum_core[n] + rt.cum_core[k] + busy;
    *hvx = periods * rt.cum_hvx[n] + rt.cum_hvx[k] + busy * rt.steps[k].hvx_util;
    *hmx = periods * rt.cum_hmx[n] + rt.cum_hmx[k] + busy * rt.steps[k].hmx_util;
    /* Sums taken along different paths may round a hair apart where a period ends; a counter
     * must never step back (the monitor would read a wrap). */
    rt.seen_core = *core = *core > rt.seen_core ? *core : rt.seen_core;
    rt.seen_hvx = *hvx = *hvx > rt.seen_hvx ? *hvx : rt.seen_hvx;
    rt.seen_hmx = *hmx = *hmx > rt.seen_hmx ? *hmx : rt.seen_hmx;
}

/* What one client's load adds to the integrals up to `upto`: its steps one after the other from
 * its start, each counted from `from_ns` (what was read before it was known is not changed)
 * until the client ended. */
static void client_integrals(const dsp_client* c, uint64_t upto, double* core, double* hvx,
                             double* hmx) {
    const uint64_t end = c->end_ns < upto ? c->end_ns : upto;
    uint64_t at = c->start_ns;
    for (uint32_t i = 0; i < c->n_steps && at < end; ++i) {
        const dsp_client_step* step = &c->steps[i];
        const uint64_t step_end = step->length_ns != 0 ? at + step->length_ns : UINT64_MAX;
        const uint64_t a = at > c->from_ns ? at : c->from_ns;
        const uint64_t b = step_end < end ? step_end : end;
        if (b > a) {
            const double busy = step->core * ((double)(b - a) / 1e9);
            *core += busy;
            *hvx += busy * step->hvx;
            *hmx += busy * step->hmx;
        }
        at = step_end;
    }
}

/* The integrals of the clients' loads from the start to now: those that ended, folded in when
 * their link closed, and those that run. They count on top of the board's own load, so that its
 * counters stay exactly what they were without clients; and like them they never step back. */
static void clients_integrals(double* core, double* hvx, double* hmx) {
    *core = rt.ended_core;
    *hvx = rt.ended_hvx;
    *hmx = rt.ended_hmx;
    for (uint32_t i = 0; i < DSP_MAX_CLIENTS; ++i) {
        if (rt.clients[i].used)
            client_integrals(&rt.clients[i], rt.now_ns, core, hvx, hmx);
    }
    rt.clients_core = *core = *core > rt.clients_core ? *core : rt.clients_core;
    rt.clients_hvx = *hvx = *hvx > rt.clients_hvx ? *hvx : rt.clients_hvx;
    rt.clients_hmx = *hmx = *hmx > rt.clients_hmx ? *hmx : rt.clients_hmx;
}

int dsp_rt_client_begin(uint64_t start_ns, const dsp_client_step* steps, uint32_t n_steps) {
    if (n_steps == 0 || n_steps > DSP_MAX_CLIENT_STEPS)
        return -1;
    for (uint32_t i = 0; i < DSP_MAX_CLIENTS; ++i) {
        dsp_client* c = &rt.clients[i];
        if (c->used)
            continue;
        dsp_fill(c, 0, sizeof *c);
        c->used = 1;
        c->start_ns = start_ns;
        c->from_ns = start_ns > rt.now_ns ? start_ns : rt.now_ns;
        c->end_ns = UINT64_MAX;
        c->n_steps = n_steps;
        dsp_copy(c->steps, steps, n_steps * (uint32_t)sizeof *steps);
        return (int)i;
    }
    return -1;
}

void dsp_rt_client_end(int id, uint64_t now_ns) {
    if (id < 0 || id >= DSP_MAX_CLIENTS || !rt.clients[id].used)
        return;
    dsp_client* c = &rt.clients[id];
    c->end_ns = now_ns > c->from_ns ? now_ns : c->from_ns;
    client_integrals(c, c->end_ns, &rt.ended_core, &rt.ended_hvx, &rt.ended_hmx);
    c->used = 0;
}

static uint64_t model_upcycle(void) {
    double core, hvx, hmx;
    clients_integrals(&core, &hvx, &hmx);
    const uint64_t clients = (uint64_t)((double)rt.cfg.clock_hz * core);
    if (rt.cfg.n_steps != 0) {
        steps_integrals(&core, &hvx, &hmx);
        return rt.cfg.upcycle_start + (uint64_t)((double)rt.cfg.clock_hz * core) + clients;
    }
    return rt.cfg.upcycle_start + (uint64_t)busy_cycles() + clients;
}

/* 19.2 MHz: 12 ticks every 625 ns. */
static uint64_t model_utimer(void) {
    return (rt.now_ns / 625u) * 12u + (rt.now_ns % 625u) * 12u / 625u;
}

/* The counters of the clients' loads, added to the board's own. */
static void clients_pmu(uint32_t out[3]) {
    double core, hvx, hmx;
    clients_integrals(&core, &hvx, &hmx);
    const double clock = (double)rt.cfg.clock_hz;
    out[0] = rt.cfg.pcpp > 0 ? (uint32_t)(uint64_t)(clock * core / rt.cfg.pcpp) : 0u;
    out[1] = rt.cfg.pcpp > 0 ? (uint32_t)(uint64_t)(clock * hvx / rt.cfg.pcpp) : 0u;
    out[2] = (uint32_t)(uint64_t)(clock * hmx);
}

static void model_pmu(uint32_t out[3]) {
    uint32_t clients[3];
    clients_pmu(clients);
    if (rt.cfg.n_steps != 0) {
        double core, hvx, hmx;
        steps_integrals(&core, &hvx, &hmx);
        const double clock = (double)rt.cfg.clock_hz;
        const double packets = rt.cfg.pcpp > 0 ? clock * core / rt.cfg.pcpp : 0.0;
        const double hvx_packets = rt.cfg.pcpp > 0 ? clock * hvx / rt.cfg.pcpp : 0.0;
        out[0] = rt.cfg.pmu_start[0] + (uint32_t)(uint64_t)packets + clients[0];
        out[1] = rt.cfg.pmu_start[1] + (uint32_t)(uint64_t)hvx_packets + clients[1];
        out[2] = rt.cfg.pmu_start[2] + (uint32_t)(uint64_t)(clock * hmx) + clients[2];
        return;
    }
    const double cycles = busy_cycles();
    const double packets = rt.cfg.pcpp > 0 ? cycles / rt.cfg.pcpp : 0.0;
    /* Counters are 32 bits wide and wrap. */
    out[0] = rt.cfg.pmu_start[0] + (uint32_t)(uint64_t)packets + clients[0];
    out[1] = rt.cfg.pmu_start[1] + (uint32_t)(uint64_t)(packets * rt.cfg.hvx_util) + clients[1];
    out[2] = rt.cfg.pmu_start[2] + (uint32_t)(uint64_t)(cycles * rt.cfg.hmx_util) + clients[2];
}

/* Next scripted reading; the last one repeats. */
static uint32_t script_index(uint32_t* next, uint32_t count) {
    uint32_t i = *next < count ? *next : count - 1;
    if (*next < count)
        ++*next;
    return i;
}

uint64_t dsp_read_upcycle(void) {
    uint64_t v = rt.cfg.n_upcycle ? rt.upcycle[script_index(&rt.next_upcycle, rt.cfg.n_upcycle)]
                                  : model_upcycle();
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_READ_UPCYCLE);
    dsp_trace_uint(&t, "value", v);
    dsp_trace_end(&t);
    return v;
}

uint64_t dsp_read_utimer(void) {
    uint64_t v = rt.cfg.n_utimer ? rt.utimer[script_index(&rt.next_utimer, rt.cfg.n_utimer)]
                                 : model_utimer();
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_READ_UTIMER);
    dsp_trace_uint(&t, "value", v);
    dsp_trace_end(&t);
    return v;
}

/* ---- Power -------------------------------------------------------------------------------- */

int HAP_power_set(void* context, HAP_power_request_t* request) {
    int32_t result = 0;
    const int injected = fault_hit(SIM_CALL_POWER_SET, &result);
    if (!injected) {
        result = request == 0 ? -1 : 0;
    }
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_POWER_SET);
    dsp_trace_uint(&t, "context", (uint64_t)(uintptr_t)context);
    if (request != 0) {
        dsp_trace_uint(&t, "type", request->type);
        dsp_trace_uint(&t, "payload0", request->payload.bytes[0]);
        dsp_trace_uint(&t, "payload1", request->payload.bytes[1]);
    }
    trace_result(&t, result, injected);
    dsp_trace_end(&t);
    return result;
}

int HAP_power_get(void* context, HAP_power_response_t* response) {
    int32_t result = 0;
    const int injected = fault_hit(SIM_CALL_POWER_GET, &result);
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_POWER_GET);
    dsp_trace_uint(&t, "context", (uint64_t)(uintptr_t)context);
    if (!injected) {
        if (response == 0 || response->type != HAP_power_get_clk_Freq) {
            result = -1;
        } else {
            uint32_t hz = rt.cfg.n_clock ? rt.clock[script_index(&rt.next_clock, rt.cfg.n_clock)]
                                         : rt.cfg.clock_hz;
            response->value.clkFreqHz = hz;
            dsp_trace_uint(&t, "clk_freq_hz", hz);
        }
    }
    if (response != 0)
        dsp_trace_uint(&t, "type", response->type);
    trace_result(&t, result, injected);
    dsp_trace_end(&t);
    return result;
}

/* ---- PMU groups --------------------------------------------------------------------------- */

static pmu_group* find_group(uint32_t id) {
    for (uint32_t i = 0; i < MAX_GROUPS; ++i) {
        if (rt.groups[i].used && rt.groups[i].id == id)
            return &rt.groups[i];
    }
    return 0;
}

uint32_t dsp_rt_pmu_groups(void) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < MAX_GROUPS; ++i)
        n += rt.groups[i].used ? 1u : 0u;
    return n;
}

static void trace_events(dsp_trace_line* t, const HAP_pmu_group_config_t* g) {
    char list[64];
    if (!dsp_rt_tracing())
        return;
    dsp_format(list, sizeof list, "[%u, %u, %u, %u]", g->events[0], g->events[1], g->events[2],
               g->events[3]);
    dsp_trace_raw(t, "events", list);
}

int dsp_rt_pmu_register(HAP_pmu_group_config_t* group) {
    int32_t result = 0;
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_PMU_REGISTER);
    const int injected = fault_hit(SIM_CALL_PMU_REGISTER, &result);
    if (!injected) {
        if (group == 0 || group->num_events == 0 || group->num_events > 4 ||
            dsp_rt_pmu_groups() >= rt.cfg.max_pmu_groups) {
            result = -1;
        } else {
            for (uint32_t i = 0; i < MAX_GROUPS; ++i) {
                if (!rt.groups[i].used) {
                    rt.groups[i].used = 1;
                    rt.groups[i].id = rt.next_group_id++;
                    rt.groups[i].num_events = group->num_events;
                    dsp_copy(rt.groups[i].events, group->events, sizeof group->events);
                    group->group_id = rt.groups[i].id;
                    break;
                }
            }
        }
    }
    if (group != 0) {
        dsp_trace_uint(&t, "num_events", group->num_events);
        trace_events(&t, group);
        if (result == 0)
            dsp_trace_uint(&t, "group_id", group->group_id);
    }
    trace_result(&t, result, injected);
    dsp_trace_end(&t);
    return result;
}

int dsp_rt_pmu_read(HAP_pmu_group_config_t* group) {
    int32_t result = 0;
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_PMU_READ);
    const pmu_group* g = group != 0 ? find_group(group->group_id) : 0;
    const int injected = fault_hit(SIM_CALL_PMU_READ, &result);
    if (!injected) {
        if (g == 0) {
            result = -1;
        } else {
            uint32_t counters[3];
            if (rt.cfg.n_pmu) {
                dsp_copy(counters, &rt.pmu[3 * script_index(&rt.next_pmu, rt.cfg.n_pmu)],
                         sizeof counters);
            } else {
                model_pmu(counters);
            }
            /* Values in the order of the events registered for this group. */
            for (uint32_t i = 0; i < 4; ++i) {
                uint32_t v = 0;
                if (i < g->num_events) {
                    if (g->events[i] == EVENT_COMMITTED_PACKETS)
                        v = counters[0];
                    if (g->events[i] == EVENT_HVX_PACKETS)
                        v = counters[1];
                    if (g->events[i] == EVENT_HMX_ACTIVE)
                        v = counters[2];
                }
                group->pmu_values[i] = v;
            }
        }
    }
    if (group != 0) {
        dsp_trace_uint(&t, "group_id", group->group_id);
        if (result == 0 && dsp_rt_tracing()) {
            char list[64];
            dsp_format(list, sizeof list, "[%u, %u, %u, %u]", group->pmu_values[0],
                       group->pmu_values[1], group->pmu_values[2], group->pmu_values[3]);
            dsp_trace_raw(&t, "values", list);
        }
    }
    trace_result(&t, result, injected);
    dsp_trace_end(&t);
    return result;
}

int dsp_rt_pmu_deregister(uint32_t group_id) {
    int32_t result = 0;
    const int injected = fault_hit(SIM_CALL_PMU_DEREGISTER, &result);
    if (!injected) {
        pmu_group* g = find_group(group_id);
        if (g == 0) {
            result = -1;
        } else {
            g->used = 0;
        }
    }
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_PMU_DEREGISTER);
    dsp_trace_uint(&t, "group_id", group_id);
    trace_result(&t, result, injected);
    dsp_trace_end(&t);
    return result;
}

/* ---- Logging ------------------------------------------------------------------------------ */

static void trace_log(const char* call, int level, const char* file, int line, const char* msg) {
    dsp_trace_line t;
    dsp_trace_begin(&t, call);
    dsp_trace_int(&t, "level", level);
    dsp_trace_str(&t, "file", file, 256);
    dsp_trace_int(&t, "line", line);
    dsp_trace_str(&t, "message", msg, 512);
    dsp_trace_end(&t);
}

void HAP_debug(const char* msg, int level, const char* filename, int line) {
    trace_log(sim_call(SIM_CALL_DEBUG).name, level, filename, line, msg);
}

void dsp_rt_vlog(const char* call, int level, const char* file, int line, const char* format,
                 va_list ap) {
    char msg[512];
    if (format == 0) {
        msg[0] = '\0';
    } else {
        dsp_vformat(msg, sizeof msg, format, ap);
    }
    trace_log(call, level, file, line, msg);
}

/* ---- Heap --------------------------------------------------------------------------------- */

static block_header* next_block(block_header* h) {
    uint8_t* p = (uint8_t*)h + sizeof(block_header) + h->size;
    return p < (uint8_t*)arena + rt.heap_size ? (block_header*)p : 0;
}

uint32_t dsp_rt_heap_blocks(void) {
    uint32_t n = 0;
    if (rt.heap_size == 0)
        return 0;
    for (block_header* h = (block_header*)arena; h != 0; h = next_block(h))
        n += h->used;
    return n;
}

static void* heap_alloc(size_t size) {
    if (rt.heap_size == 0 || size > rt.heap_size)
        return 0;
    uint32_t need = ((uint32_t)size + 15u) & ~15u;
    if (need == 0)
        need = 16;
    for (block_header* h = (block_header*)arena; h != 0; h = next_block(h)) {
        if (h->used)
            continue;
        /* Merge the free blocks that follow. */
        for (block_header* n = next_block(h); n != 0 && !n->used; n = next_block(h)) {
            h->size += (uint32_t)sizeof(block_header) + n->size;
        }
        if (h->size < need)
            continue;
        if (h->size >= need + sizeof(block_header) + 16u) {
            block_header* rest = (block_header*)((uint8_t*)h + sizeof(block_header) + need);
            rest->size = h->size - need - (uint32_t)sizeof(block_header);
            rest->used = 0;
            h->size = need;
        }
        h->used = 1;
        return h + 1;
    }
    return 0;
}

void* __wrap_malloc(size_t size) {
    int32_t ignored;
    const int injected = fault_hit(SIM_CALL_MALLOC, &ignored);
    void* p = injected ? 0 : heap_alloc(size);
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_MALLOC);
    dsp_trace_uint(&t, "size", size);
    trace_result(&t, p != 0 ? 0 : -1, injected);
    dsp_trace_end(&t);
    return p;
}

void __wrap_free(void* ptr) {
    dsp_trace_line t;
    trace_call(&t, SIM_CALL_FREE);
    int result = -1;
    uint8_t* p = (uint8_t*)ptr;
    if (ptr == 0) {
        result = 0;
    } else if (p >= (uint8_t*)arena + sizeof(block_header) && p < (uint8_t*)arena + rt.heap_size) {
        /* Only pointers this heap handed out are released; anything else is reported. */
        for (block_header* h = (block_header*)arena; h != 0; h = next_block(h)) {
            if ((uint8_t*)(h + 1) == p && h->used) {
                h->used = 0;
                result = 0;
                break;
            }
        }
    }
    dsp_trace_int(&t, "result", result);
    dsp_trace_end(&t);
}
