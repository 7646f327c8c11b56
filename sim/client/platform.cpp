#include "platform.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "sim_proto.h"
#include "uri.h"

using json = nlohmann::ordered_json;

namespace kestrel_sim {
namespace {

// Application-side handles are tagged so that they are never mistaken for DSP handles.
constexpr uint64_t kHandleTag = 0x5e55000000000000ull;

template <typename T>
void put(std::vector<uint8_t>* out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out->insert(out->end(), p, p + sizeof(T));
}

void pad8(std::vector<uint8_t>* out) {
    out->resize(sim_align8(static_cast<uint32_t>(out->size())), 0);
}

template <typename T>
bool get(const std::vector<uint8_t>& in, size_t off, T* value) {
    if (off > in.size() || in.size() - off < sizeof(T))
        return false;
    std::memcpy(value, in.data() + off, sizeof(T));
    return true;
}

std::string current_dir() {
    std::vector<char> buf(PATH_MAX);
    if (::getcwd(buf.data(), buf.size()) == nullptr)
        return ".";
    return buf.data();
}

uint32_t dsp_call_id(const std::string& call) {
    if (call == "HAP_power_set")
        return SIM_DSP_CALL_POWER_SET;
    if (call == "HAP_power_get")
        return SIM_DSP_CALL_POWER_GET;
    if (call == "__HAP_register_pmu_group")
        return SIM_DSP_CALL_PMU_REGISTER;
    if (call == "__HAP_read_pmu_group")
        return SIM_DSP_CALL_PMU_READ;
    if (call == "__HAP_deregister_pmu_group")
        return SIM_DSP_CALL_PMU_DEREGISTER;
    if (call == "__wrap_malloc")
        return SIM_DSP_CALL_MALLOC;
    return SIM_DSP_CALL_NONE;
}

}  // namespace

std::string bounded_string(const char* s, size_t n) {
    if (s == nullptr)
        return std::string();
    size_t len = 0;
    while (len < n && s[len] != '\0')
        ++len;
    return std::string(s, len);
}

Platform::Platform(PlatformOptions opts) : opts_(std::move(opts)) {
    trace_.open(opts_.trace_path);
    for (const auto& f : opts_.board.faults) {
        if (!is_dsp_call(f.call))
            faults_.push_back({f, 0});
    }
}

Platform::~Platform() {
    shutdown();
}

std::optional<Platform::Hit> Platform::fault_for(const std::string& call,
                                                 std::optional<uint32_t> method,
                                                 std::optional<uint32_t> attr,
                                                 std::optional<uint32_t> request,
                                                 const std::string& domain) {
    std::optional<Hit> hit;
    for (auto& fs : faults_) {
        const Fault& f = fs.fault;
        if (f.call != call)
            continue;
        if (f.method && (!method || *f.method != *method))
            continue;
        if (f.attr && (!attr || *f.attr != *attr))
            continue;
        if (f.request && (!request || *f.request != *request))
            continue;
        if (f.domain && *f.domain != domain)
            continue;
        ++fs.seen;
        if (!hit && (f.nth == 0 || f.nth == fs.seen))
            hit = Hit{f.result, f.crash};
    }
    return hit;
}

std::vector<uint8_t> Platform::dsp_config(const Domain& d) const {
    sim_config c;
    std::memset(&c, 0, sizeof c);
    c.flags = trace_.enabled() ? SIM_CFG_TRACE : 0u;
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) \
    if (d.key)                                     \
        c.flags |= SIM_CFG_##FLAG;
#include "sim_options.h"
    c.clock_hz = d.clock_hz;
    c.upcycle_start = d.upcycle_start;
    for (int i = 0; i < 3; ++i)
        c.pmu_start[i] = d.pmu_start[i];
    c.max_pmu_groups = d.max_pmu_groups;
    c.core_load = d.load.core;
    c.pcpp = d.load.pcpp;
    c.hvx_util = d.load.hvx;
    c.hmx_util = d.load.hmx;
    c.heap_bytes = d.heap_bytes;
    std::vector<sim_fault> faults;
    for (const auto& f : opts_.board.faults) {
        if (!is_dsp_call(f.call) || (f.domain && *f.domain != d.name))
            continue;
        if (faults.size() == SIM_MAX_DSP_FAULTS)
            break;
        faults.push_back({dsp_call_id(f.call), f.nth, f.result, 0});
    }
    c.n_faults = static_cast<uint32_t>(faults.size());
    c.n_utimer = static_cast<uint32_t>(d.script.utimer.size());
    c.n_upcycle = static_cast<uint32_t>(d.script.upcycle.size());
    c.n_pmu = static_cast<uint32_t>(d.script.pmu.size());
    c.n_clock = static_cast<uint32_t>(d.script.clock_hz.size());
    std::strncpy(c.domain, d.name.c_str(), sizeof c.domain - 1);
    std::vector<uint8_t> out;
    put(&out, c);
    for (const auto& f : faults)
        put(&out, f);
    for (auto v : d.script.utimer)
        put(&out, v);
    for (auto v : d.script.upcycle)
        put(&out, v);
    for (const auto& t : d.script.pmu) {
        for (auto v : t)
            put(&out, v);
    }
    for (auto v : d.script.clock_hz)
        put(&out, v);
    return out;
}

DspLink* Platform::dsp_for(const Domain& d) {
    auto it = dsps_.find(d.name);
    if (it != dsps_.end())
        return it->second.get();
    auto link = std::make_unique<DspLink>();
    const bool ok = link->start(opts_.dsp_command, dsp_config(d));
    trace_.line({{"side", "ap"},
                 {"call", "dsp_start"},
                 {"domain", d.name},
                 {"command", opts_.dsp_command},
                 {"pid", ok ? link->pid() : -1},
                 {"result", ok ? 0 : SIM_ERR_DSP_LOST}});
    // A DSP that could not start stays recorded as dead: later opens fail the same way.
    return dsps_.emplace(d.name, std::move(link)).first->second.get();
}

bool Platform::dsp_request(const std::string& domain, uint32_t type,
                           const std::vector<uint8_t>& payload, std::vector<uint8_t>* reply) {
    auto it = dsps_.find(domain);
    if (it == dsps_.end() || !it->second->alive())
        return false;
    return it->second->request(type, payload, reply,
                               [this](const std::string& line) { trace_.raw_line(line); });
}

int Platform::open(const char* uri, remote_handle64* ph) {
    json t = {{"side", "ap"}, {"call", "remote_handle64_open"}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    if (uri == nullptr || ph == nullptr)
        return finish(SIM_ERR_BAD_ARGS);
    const std::string text = uri;
    t["uri"] = text;
    const auto m = parse_module_uri(text);
    const std::string domain_name = m ? m->domain : std::string();
    t["domain"] = domain_name;
    if (auto hit = fault_for("remote_handle64_open", std::nullopt, std::nullopt, std::nullopt,
                             domain_name)) {
        t["injected"] = true;
        return finish(hit->result);
    }
    if (!m)
        return finish(SIM_ERR_BAD_URI);
    const Domain* d = opts_.board.find_by_name(m->domain);
    if (d == nullptr)
        return finish(SIM_ERR_NO_DOMAIN);
    std::string search;
    if (opts_.library_path) {
        search = *opts_.library_path;
    } else if (const char* env = std::getenv("ADSP_LIBRARY_PATH")) {
        search = env;
    }
    const auto lib = find_library(m->file, search, current_dir());
    t["library"] = lib ? json(*lib) : json(nullptr);
    if (!lib)
        return finish(SIM_ERR_NO_LIBRARY);
    DspLink* link = dsp_for(*d);
    if (!link->alive())
        return finish(SIM_ERR_DSP_LOST);

    sim_open_req req{static_cast<uint32_t>(lib->size() + 1),
                     static_cast<uint32_t>(m->entry.size() + 1),
                     static_cast<uint32_t>(text.size() + 1), 0};
    std::vector<uint8_t> payload;
    put(&payload, req);
    payload.insert(payload.end(), lib->c_str(), lib->c_str() + lib->size() + 1);
    payload.insert(payload.end(), m->entry.c_str(), m->entry.c_str() + m->entry.size() + 1);
    payload.insert(payload.end(), text.c_str(), text.c_str() + text.size() + 1);
    if (payload.size() > SIM_MAX_PAYLOAD)
        return finish(SIM_ERR_BAD_ARGS);
    std::vector<uint8_t> reply;
    sim_open_reply r;
    if (!dsp_request(d->name, SIM_MSG_OPEN, payload, &reply) || !get(reply, 0, &r)) {
        return finish(SIM_ERR_DSP_LOST);
    }
    if (r.result != 0)
        return finish(r.result);
    const uint64_t handle = kHandleTag | next_handle_++;
    sessions_[handle] = Session{d->name, r.module, r.handle};
    *ph = handle;
    t["handle"] = handle;
    return finish(0);
}

int Platform::close(remote_handle64 h) {
    json t = {{"side", "ap"}, {"call", "remote_handle64_close"}, {"handle", h}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    auto it = sessions_.find(h);
    const std::string domain = it == sessions_.end() ? std::string() : it->second.domain;
    if (auto hit = fault_for("remote_handle64_close", 1u, std::nullopt, std::nullopt, domain)) {
        t["injected"] = true;
        return finish(hit->result);
    }
    if (it == sessions_.end())
        return finish(SIM_ERR_BAD_HANDLE);
    remote_arg arg;
    arg.h64 = it->second.dsp_handle;
    int transport = 0;
    const int result =
        invoke_locked(it->second, remote_scalars_make(1, 0, 0, 1, 0), &arg, false, &transport);
    // The session ends when the skeleton closed it or when its DSP is gone.
    if (result == 0 || transport != 0)
        sessions_.erase(it);
    return finish(result);
}

int Platform::invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    const uint32_t method = remote_scalars_method(scalars);
    json t = {{"side", "ap"},
              {"call", "remote_handle64_invoke"},
              {"handle", h},
              {"scalars", scalars},
              {"method", method}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nout = remote_scalars_out_bufs(scalars);
    if (pra != nullptr) {
        json in = json::array(), out = json::array();
        for (uint32_t i = 0; i < nin; ++i)
            in.push_back(pra[i].buf.nLen);
        for (uint32_t i = 0; i < nout; ++i)
            out.push_back(pra[nin + i].buf.nLen);
        t["in_lens"] = in;
        t["out_lens"] = out;
    }
    t["in_handles"] = remote_scalars_in_handles(scalars);
    t["out_handles"] = remote_scalars_out_handles(scalars);
    auto it = sessions_.find(h);
    const std::string domain = it == sessions_.end() ? std::string() : it->second.domain;
    bool crash = false;
    if (auto hit =
            fault_for("remote_handle64_invoke", method, std::nullopt, std::nullopt, domain)) {
        if (!hit->crash) {
            t["injected"] = true;
            return finish(hit->result);
        }
        crash = true;
        t["crash"] = true;
    }
    if (it == sessions_.end())
        return finish(SIM_ERR_BAD_HANDLE);
    int transport = 0;
    return finish(invoke_locked(it->second, scalars, pra, crash, &transport));
}

int Platform::invoke_locked(Session& s, uint32_t scalars, remote_arg* pra, bool crash,
                            int* transport) {
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nout = remote_scalars_out_bufs(scalars);
    const uint32_t nhin = remote_scalars_in_handles(scalars);
    const uint32_t nhout = remote_scalars_out_handles(scalars);
    if (remote_scalars_length(scalars) > 0 && pra == nullptr)
        return SIM_ERR_BAD_ARGS;

    sim_invoke_req req{s.module, scalars, s.dsp_handle, crash ? SIM_INVOKE_CRASH : 0u, 0};
    std::vector<uint8_t> payload;
    put(&payload, req);
    for (uint32_t i = 0; i < nin + nout; ++i) {
        const remote_buf& b = pra[i].buf;
        if (b.nLen > SIM_MAX_PAYLOAD || (b.pv == nullptr && b.nLen != 0))
            return SIM_ERR_BAD_ARGS;
        put(&payload, static_cast<uint32_t>(b.nLen));
        put(&payload, uint32_t{0});
        const auto* p = static_cast<const uint8_t*>(b.pv);
        payload.insert(payload.end(), p, p + b.nLen);
        pad8(&payload);
        if (payload.size() > SIM_MAX_PAYLOAD)
            return SIM_ERR_BAD_ARGS;
    }
    for (uint32_t i = 0; i < nhin; ++i)
        put(&payload, static_cast<uint64_t>(pra[nin + nout + i].h64));

    std::vector<uint8_t> reply;
    sim_invoke_reply r;
    if (!dsp_request(s.domain, SIM_MSG_INVOKE, payload, &reply) || !get(reply, 0, &r)) {
        *transport = SIM_ERR_DSP_LOST;
        return SIM_ERR_DSP_LOST;
    }
    if (r.result != 0)
        return r.result;
    size_t off = sizeof r;
    for (uint32_t i = 0; i < nout; ++i) {
        remote_buf& b = pra[nin + i].buf;
        if (off + b.nLen > reply.size())
            return SIM_ERR_DSP_LOST;
        if (b.nLen != 0)
            std::memcpy(b.pv, reply.data() + off, b.nLen);
        off = sim_align8(static_cast<uint32_t>(off + b.nLen));
    }
    for (uint32_t i = 0; i < nhout; ++i) {
        uint64_t v;
        if (!get(reply, off, &v))
            return SIM_ERR_DSP_LOST;
        pra[nin + nout + nhin + i].h64 = v;
        off += 8;
    }
    return 0;
}

int Platform::handle_control(uint32_t req, void* data, uint32_t datalen) {
    json t = {
        {"side", "ap"}, {"call", "remote_handle_control"}, {"req", req}, {"datalen", datalen}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    if (req != DSPRPC_GET_DSP_INFO)
        return finish(SIM_ERR_UNSUPPORTED);
    if (data == nullptr || datalen < sizeof(remote_dsp_capability)) {
        return finish(SIM_ERR_BAD_ARGS);
    }
    auto* cap = static_cast<remote_dsp_capability*>(data);
    t["domain"] = cap->domain;
    t["attr"] = cap->attribute_ID;
    const Domain* d = opts_.board.find_by_id(cap->domain);
    if (auto hit = fault_for("remote_handle_control", std::nullopt, cap->attribute_ID, std::nullopt,
                             d ? d->name : std::string())) {
        t["injected"] = true;
        return finish(hit->result);
    }
    uint32_t value = 0;  // a domain the board lacks supports nothing
    if (d != nullptr) {
        auto c = d->capabilities.find(cap->attribute_ID);
        if (c != d->capabilities.end()) {
            value = c->second;
        } else if (cap->attribute_ID == DOMAIN_SUPPORT) {
            value = d->exists;
        } else if (cap->attribute_ID == UNSIGNED_PD_SUPPORT) {
            value = d->unsigned_pd;
        } else if (cap->attribute_ID == VTCM_PAGE) {
            value = d->vtcm_bytes;
        } else if (cap->attribute_ID == ARCH_VER) {
            value = d->arch;
        }
    }
    cap->capability = value;
    t["capability"] = value;
    return finish(0);
}

int Platform::session_control(uint32_t req, void* data, uint32_t datalen) {
    json t = {
        {"side", "ap"}, {"call", "remote_session_control"}, {"req", req}, {"datalen", datalen}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    if (req == FASTRPC_CONTROL_UNSIGNED_MODULE) {
        if (data == nullptr || datalen < sizeof(remote_rpc_control_unsigned_module)) {
            return finish(SIM_ERR_BAD_ARGS);
        }
        auto* p = static_cast<remote_rpc_control_unsigned_module*>(data);
        t["domain"] = p->domain;
        t["enable"] = p->enable;
        const Domain* d = opts_.board.find_by_id(p->domain);
        if (auto hit = fault_for("remote_session_control", std::nullopt, std::nullopt, req,
                                 d ? d->name : std::string())) {
            t["injected"] = true;
            return finish(hit->result);
        }
        if (d == nullptr)
            return finish(SIM_ERR_NO_DOMAIN);
        if (p->enable != 0 && d->unsigned_pd != 1)
            return finish(SIM_ERR_NOT_ALLOWED);
        return finish(0);
    }
    if (req == FASTRPC_GET_EFFECTIVE_DOMAIN_ID) {
        if (data == nullptr || datalen < sizeof(remote_rpc_effective_domain_id)) {
            return finish(SIM_ERR_BAD_ARGS);
        }
        auto* p = static_cast<remote_rpc_effective_domain_id*>(data);
        t["domain_name_len"] = p->domain_name_len;
        t["session_id"] = p->session_id;
        if (p->domain_name == nullptr)
            return finish(SIM_ERR_BAD_ARGS);
        const std::string name = bounded_string(p->domain_name, p->domain_name_len);
        t["domain_name"] = name;
        const Domain* d =
            name.size() == p->domain_name_len ? opts_.board.find_by_name(name) : nullptr;
        // Names of 32 bytes and more appear cut to 32 bytes in the domain records.
        if (d == nullptr && name.size() == 32) {
            for (const auto& cand : opts_.board.domains) {
                if (cand.name.size() >= 32 && cand.name.compare(0, 32, name) == 0)
                    d = &cand;
            }
        }
        if (auto hit = fault_for("remote_session_control", std::nullopt, std::nullopt, req,
                                 d ? d->name : std::string())) {
            t["injected"] = true;
            return finish(hit->result);
        }
        if (d == nullptr)
            return finish(SIM_ERR_NO_DOMAIN);
        p->effective_domain_id = d->effective_id;
        t["effective_domain_id"] = d->effective_id;
        return finish(0);
    }
    return finish(SIM_ERR_UNSUPPORTED);
}

int Platform::system_request(system_req_payload* req) {
    json t = {{"side", "ap"}, {"call", "remote_system_request"}};
    auto finish = [&](int result) {
        t["result"] = result;
        trace_.line(t);
        return result;
    };
    if (req == nullptr)
        return finish(SIM_ERR_BAD_ARGS);
    t["id"] = req->id;
    t["domains_null"] = req->domains == nullptr;
    t["max_domains"] = req->max_domains;
    t["domain_type"] = req->domain_type;
    if (auto hit = fault_for("remote_system_request", std::nullopt, std::nullopt, req->id, "")) {
        t["injected"] = true;
        return finish(hit->result);
    }
    if (req->id != FASTRPC_GET_DOMAINS)
        return finish(SIM_ERR_UNSUPPORTED);
    std::vector<const Domain*> list;
    for (const auto& d : opts_.board.domains) {
        if (d.listed && (req->domain_type == FASTRPC_ALL_DOMAINS || d.type == req->domain_type)) {
            list.push_back(&d);
        }
    }
    uint32_t written = 0;
    if (req->domains != nullptr) {
        written = std::min<uint32_t>(static_cast<uint32_t>(list.size()), req->max_domains);
        for (uint32_t i = 0; i < written; ++i) {
            fastrpc_domain& rec = req->domains[i];
            std::memset(&rec, 0, sizeof rec);
            rec.id = list[i]->id;
            // A name of 32 bytes or more fills the field without a terminating NUL.
            std::memcpy(rec.name, list[i]->name.data(),
                        std::min(list[i]->name.size(), sizeof rec.name));
            rec.type = list[i]->type;
            rec.status = list[i]->status;
            rec.card = list[i]->card;
        }
        t["records_written"] = written;
    }
    const int64_t count = opts_.board.reported_domain_count
                              ? *opts_.board.reported_domain_count
                              : static_cast<int64_t>(req->domains ? written : list.size());
    req->num_domains = static_cast<int32_t>(count);
    t["num_domains"] = req->num_domains;
    return finish(0);
}

void Platform::log(const char* call, int level, const char* file, int line, const char* format,
                   va_list ap) {
    if (!trace_.enabled())
        return;
    std::string message;
    if (format != nullptr) {
        va_list copy;
        va_copy(copy, ap);
        const int n = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (n > 0) {
            std::vector<char> buf(static_cast<size_t>(n) + 1);
            std::vsnprintf(buf.data(), buf.size(), format, ap);
            message.assign(buf.data(), static_cast<size_t>(n));
        }
    }
    trace_.line({{"side", "ap"},
                 {"call", call},
                 {"level", level},
                 {"file", file ? json(file) : json(nullptr)},
                 {"line", line},
                 {"message", message}});
}

std::map<std::string, pid_t> Platform::dsp_pids() const {
    std::map<std::string, pid_t> pids;
    for (const auto& [name, link] : dsps_) {
        if (link->alive())
            pids[name] = link->pid();
    }
    return pids;
}

void Platform::shutdown() {
    if (shut_down_)
        return;
    shut_down_ = true;
    uint64_t groups = 0;
    for (auto& [name, link] : dsps_) {
        std::vector<uint8_t> reply;
        sim_status_reply st;
        if (link->alive() && dsp_request(name, SIM_MSG_STATUS, {}, &reply) && get(reply, 0, &st)) {
            groups += st.pmu_groups;
        }
    }
    trace_.line({{"side", "ap"},
                 {"call", "exit"},
                 {"open_sessions", sessions_.size()},
                 {"pmu_groups", groups}});
    for (auto& entry : dsps_)
        entry.second->stop();
}

std::vector<std::string> dsp_host_launcher() {
#ifdef SIM_DSP_EMULATOR
    return {SIM_DSP_EMULATOR, "-L", SIM_DSP_EMULATOR_PREFIX};
#else
    return {};
#endif
}

}  // namespace kestrel_sim
