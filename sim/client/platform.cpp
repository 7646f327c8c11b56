#include "platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "messages.h"
#include "sim_proto.h"
#include "uri.h"

using json = nlohmann::ordered_json;

namespace kestrel_sim {
namespace {

// Application-side handles are tagged so that they are never mistaken for DSP handles.
constexpr uint64_t kHandleTag = 0x5e55000000000000ull;

std::string current_dir() {
    std::vector<char> buf(PATH_MAX);
    if (::getcwd(buf.data(), buf.size()) == nullptr)
        return ".";
    return buf.data();
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
        if (sim_call(f.id).side == SIM_SIDE_AP)
            faults_.push_back({f, 0});
    }
}

Platform::~Platform() {
    shutdown();
}

std::optional<Platform::Hit> Platform::fault_for(uint32_t call, std::optional<uint32_t> method,
                                                 std::optional<uint32_t> attr,
                                                 std::optional<uint32_t> request,
                                                 const std::string& domain) {
    std::optional<Hit> hit;
    for (auto& fs : faults_) {
        const Fault& f = fs.fault;
        if (f.id != call)
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
    uint32_t flags = trace_.enabled() ? SIM_CFG_TRACE : 0u;
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) \
    if (d.key)                                     \
        flags |= SIM_CFG_##FLAG;
#include "sim_options.h"
    std::vector<sim_fault> faults;
    for (const auto& f : opts_.board.faults) {
        if (sim_call(f.id).side != SIM_SIDE_DSP || (f.domain && *f.domain != d.name))
            continue;
        if (faults.size() == SIM_MAX_DSP_FAULTS)
            break;
        faults.push_back({f.id, f.nth, f.result, 0});
    }
    return config_frame(d, flags, faults);
}

Platform::Dsp& Platform::dsp_for(const Domain& d) {
    auto it = dsps_.find(d.name);
    if (it != dsps_.end())
        return it->second;
    Dsp dsp{std::make_unique<DspLink>(), next_generation_++, now_ms()};
    const bool ok = dsp.link->start(opts_.dsp_command, dsp_config(d));
    trace_.line({{"side", "ap"},
                 {"call", "dsp_start"},
                 {"domain", d.name},
                 {"command", opts_.dsp_command},
                 {"pid", ok ? dsp.link->pid() : -1},
                 {"result", ok ? 0 : SIM_ERR_DSP_LOST}});
    // A DSP that could not start stays recorded as dead: later opens fail the same way.
    return dsps_.emplace(d.name, std::move(dsp)).first->second;
}

bool Platform::dsp_request(const std::string& domain, uint64_t generation,
                           const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply) {
    auto it = dsps_.find(domain);
    if (it == dsps_.end() || !it->second.link->alive() ||
        (generation != 0 && it->second.generation != generation)) {
        return false;
    }
    return it->second.link->request(frame, reply,
                                    [this](const std::string& line) { trace_.raw_line(line); });
}

uint64_t Platform::now_ms() const {
    const auto elapsed = std::chrono::steady_clock::now() - opts_.start;
    return static_cast<uint64_t>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

bool Platform::dsp_up(const Domain& d) {
    if (d.remoteproc && !d.remoteproc->up())
        return false;
    if (opts_.board.dsp_crashes.empty())
        return true;
    const uint64_t now = now_ms();
    bool up = true;
    std::optional<uint64_t> latest;  // the latest crash of this DSP that has begun
    for (const auto& c : opts_.board.dsp_crashes) {
        if (c.domain != d.name)
            continue;
        up = up && !c.crashed_at(now);
        const auto start = c.last_start(now);
        if (start && (!latest || *start > *latest))
            latest = start;
    }
    auto it = dsps_.find(d.name);
    if (latest && it != dsps_.end() && it->second.started_ms < *latest) {
        // The DSP died when the crash began; the next open after it starts a new one.
        trace_.line({{"side", "ap"},
                     {"call", "dsp_crash"},
                     {"domain", d.name},
                     {"pid", it->second.link->pid()},
                     {"at_ms", *latest}});
        it->second.link->kill();
        dsps_.erase(it);
    }
    return up;
}

std::string Platform::device_problem(const Domain& d) const {
    if (!d.device)
        return "the domain has no device node";
    // Whether an open for reading and writing would be allowed, worked out from the node's
    // owner, group and mode as the kernel does. Neither open(2) nor access(2) itself: umockdev's
    // open of a node in the board's tree connects to an ioctl emulation socket and ends the
    // process when none listens, and qemu-user looks access(2) up outside its path prefix;
    // stat(2) is served from the tree by both.
    const std::string path = opts_.device_root + d.device->path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return std::strerror(EISDIR);
    const uid_t uid = ::geteuid();
    if (uid == 0)
        return std::string();  // root may open any node
    bool in_group = st.st_gid == ::getegid();
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) == count)
        in_group = in_group || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    const unsigned shift = st.st_uid == uid ? 6 : in_group ? 3 : 0;
    return ((st.st_mode >> shift) & 06) == 06 ? std::string() : std::strerror(EACCES);
}

int Platform::open(const char* uri, remote_handle64* ph) {
    CallLine t(trace_, SIM_CALL_OPEN);
    if (uri == nullptr || ph == nullptr)
        return t.finish(SIM_ERR_BAD_ARGS);
    const std::string text = uri;
    t.set("uri", text);
    const auto m = parse_module_uri(text);
    const std::string domain_name = m ? m->domain : std::string();
    t.set("domain", domain_name);
    if (auto hit = fault_for(SIM_CALL_OPEN, std::nullopt, std::nullopt, std::nullopt, domain_name))
        return t.injected(hit->result);
    if (!m)
        return t.finish(SIM_ERR_BAD_URI);
    const Domain* d = opts_.board.find_by_name(m->domain);
    if (d == nullptr)
        return t.finish(SIM_ERR_NO_DOMAIN);
    if (const std::string why = device_problem(*d); !why.empty()) {
        t.set("device", d->device ? json(d->device->path) : json(nullptr));
        t.set("device_error", why);
        return t.finish(SIM_ERR_NO_DEVICE);
    }
    if (!dsp_up(*d)) {
        t.set("remoteproc_state", opts_.board.dsp_state(*d, now_ms()));
        return t.finish(SIM_ERR_DSP_LOST);
    }
    std::string search;
    if (opts_.library_path) {
        search = *opts_.library_path;
    } else if (const char* env = std::getenv("ADSP_LIBRARY_PATH")) {
        search = env;
    }
    const auto lib = find_library(m->file, search, current_dir());
    t.set("library", lib ? json(*lib) : json(nullptr));
    if (!lib)
        return t.finish(SIM_ERR_NO_LIBRARY);
    const Dsp& dsp = dsp_for(*d);
    if (!dsp.link->alive())
        return t.finish(SIM_ERR_DSP_LOST);
    const uint64_t generation = dsp.generation;

    const auto frame = open_frame(*lib, m->entry, text);
    if (!frame)
        return t.finish(SIM_ERR_BAD_ARGS);
    std::vector<uint8_t> reply;
    sim_open_reply r;
    if (!dsp_request(d->name, generation, *frame, &reply) || !read_reply(reply, &r))
        return t.finish(SIM_ERR_DSP_LOST);
    if (r.result != 0)
        return t.finish(r.result);
    const uint64_t handle = kHandleTag | next_handle_++;
    sessions_[handle] = Session{d->name, r.module, r.handle, generation};
    *ph = handle;
    t.set("handle", handle);
    return t.finish(0);
}

int Platform::close(remote_handle64 h) {
    CallLine t(trace_, SIM_CALL_CLOSE);
    t.set("handle", h);
    auto it = sessions_.find(h);
    const std::string domain = it == sessions_.end() ? std::string() : it->second.domain;
    if (auto hit = fault_for(SIM_CALL_CLOSE, 1u, std::nullopt, std::nullopt, domain))
        return t.injected(hit->result);
    if (it == sessions_.end())
        return t.finish(SIM_ERR_BAD_HANDLE);
    remote_arg arg;
    arg.h64 = it->second.dsp_handle;
    int transport = 0;
    const int result =
        invoke_locked(it->second, remote_scalars_make(1, 0, 0, 1, 0), &arg, false, &transport);
    // The session ends when the skeleton closed it or when its DSP is gone.
    if (result == 0 || transport != 0)
        sessions_.erase(it);
    return t.finish(result);
}

int Platform::invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    const uint32_t method = remote_scalars_method(scalars);
    CallLine t(trace_, SIM_CALL_INVOKE);
    t.set("handle", h);
    t.set("scalars", scalars);
    t.set("method", method);
    const uint32_t nin = remote_scalars_in_bufs(scalars);
    const uint32_t nout = remote_scalars_out_bufs(scalars);
    if (pra != nullptr && t.on()) {
        json in = json::array(), out = json::array();
        for (uint32_t i = 0; i < nin; ++i)
            in.push_back(pra[i].buf.nLen);
        for (uint32_t i = 0; i < nout; ++i)
            out.push_back(pra[nin + i].buf.nLen);
        t.set("in_lens", in);
        t.set("out_lens", out);
    }
    t.set("in_handles", remote_scalars_in_handles(scalars));
    t.set("out_handles", remote_scalars_out_handles(scalars));
    auto it = sessions_.find(h);
    const std::string& domain = it == sessions_.end() ? no_domain_ : it->second.domain;
    bool crash = false;
    if (auto hit = fault_for(SIM_CALL_INVOKE, method, std::nullopt, std::nullopt, domain)) {
        if (!hit->crash)
            return t.injected(hit->result);
        crash = true;
        t.set("crash", true);
    }
    if (it == sessions_.end())
        return t.finish(SIM_ERR_BAD_HANDLE);
    int transport = 0;
    return t.finish(invoke_locked(it->second, scalars, pra, crash, &transport));
}

int Platform::invoke_locked(Session& s, uint32_t scalars, remote_arg* pra, bool crash,
                            int* transport) {
    const sim_invoke_req req{s.module, scalars, s.dsp_handle, crash ? SIM_INVOKE_CRASH : 0u, 0};
    // The frame and the reply reuse the platform's buffers: no allocation per invocation.
    if (!invoke_frame(req, pra, &frame_))
        return SIM_ERR_BAD_ARGS;
    if (!opts_.board.dsp_crashes.empty()) {
        if (const Domain* d = opts_.board.find_by_name(s.domain))
            dsp_up(*d);
    }
    if (!dsp_request(s.domain, s.generation, frame_, &reply_) ||
        reply_.size() < SIM_INVOKE_REPLY_BYTES) {
        *transport = SIM_ERR_DSP_LOST;
        return SIM_ERR_DSP_LOST;
    }
    return read_invoke_reply(reply_, scalars, pra);
}

int Platform::handle_control(uint32_t req, void* data, uint32_t datalen) {
    CallLine t(trace_, SIM_CALL_HANDLE_CONTROL);
    t.set("req", req);
    t.set("datalen", datalen);
    if (req != DSPRPC_GET_DSP_INFO)
        return t.finish(SIM_ERR_UNSUPPORTED);
    if (data == nullptr || datalen < sizeof(remote_dsp_capability)) {
        return t.finish(SIM_ERR_BAD_ARGS);
    }
    auto* cap = static_cast<remote_dsp_capability*>(data);
    t.set("domain", cap->domain);
    t.set("attr", cap->attribute_ID);
    const Domain* d = opts_.board.find_by_id(cap->domain);
    if (auto hit = fault_for(SIM_CALL_HANDLE_CONTROL, std::nullopt, cap->attribute_ID, std::nullopt,
                             d ? d->name : std::string())) {
        return t.injected(hit->result);
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
    t.set("capability", value);
    return t.finish(0);
}

int Platform::session_control(uint32_t req, void* data, uint32_t datalen) {
    CallLine t(trace_, SIM_CALL_SESSION_CONTROL);
    t.set("req", req);
    t.set("datalen", datalen);
    if (req == FASTRPC_CONTROL_UNSIGNED_MODULE) {
        if (data == nullptr || datalen < sizeof(remote_rpc_control_unsigned_module)) {
            return t.finish(SIM_ERR_BAD_ARGS);
        }
        auto* p = static_cast<remote_rpc_control_unsigned_module*>(data);
        t.set("domain", p->domain);
        t.set("enable", p->enable);
        const Domain* d = opts_.board.find_by_id(p->domain);
        if (auto hit = fault_for(SIM_CALL_SESSION_CONTROL, std::nullopt, std::nullopt, req,
                                 d ? d->name : std::string())) {
            return t.injected(hit->result);
        }
        if (d == nullptr)
            return t.finish(SIM_ERR_NO_DOMAIN);
        if (p->enable != 0 && d->unsigned_pd != 1)
            return t.finish(SIM_ERR_NOT_ALLOWED);
        return t.finish(0);
    }
    if (req == FASTRPC_GET_EFFECTIVE_DOMAIN_ID) {
        if (data == nullptr || datalen < sizeof(remote_rpc_effective_domain_id)) {
            return t.finish(SIM_ERR_BAD_ARGS);
        }
        auto* p = static_cast<remote_rpc_effective_domain_id*>(data);
        t.set("domain_name_len", p->domain_name_len);
        t.set("session_id", p->session_id);
        if (p->domain_name == nullptr)
            return t.finish(SIM_ERR_BAD_ARGS);
        const std::string name = bounded_string(p->domain_name, p->domain_name_len);
        t.set("domain_name", name);
        const Domain* d =
            name.size() == p->domain_name_len ? opts_.board.find_by_name(name) : nullptr;
        // Names of 32 bytes and more appear cut to 32 bytes in the domain records.
        if (d == nullptr && name.size() == 32) {
            for (const auto& cand : opts_.board.domains) {
                if (cand.name.size() >= 32 && cand.name.compare(0, 32, name) == 0)
                    d = &cand;
            }
        }
        if (auto hit = fault_for(SIM_CALL_SESSION_CONTROL, std::nullopt, std::nullopt, req,
                                 d ? d->name : std::string())) {
            return t.injected(hit->result);
        }
        if (d == nullptr)
            return t.finish(SIM_ERR_NO_DOMAIN);
        p->effective_domain_id = d->effective_id;
        t.set("effective_domain_id", d->effective_id);
        return t.finish(0);
    }
    return t.finish(SIM_ERR_UNSUPPORTED);
}

int Platform::system_request(system_req_payload* req) {
    CallLine t(trace_, SIM_CALL_SYSTEM_REQUEST);
    if (req == nullptr)
        return t.finish(SIM_ERR_BAD_ARGS);
    t.set("id", req->id);
    t.set("domains_null", req->domains == nullptr);
    t.set("max_domains", req->max_domains);
    t.set("domain_type", req->domain_type);
    if (auto hit = fault_for(SIM_CALL_SYSTEM_REQUEST, std::nullopt, std::nullopt, req->id, ""))
        return t.injected(hit->result);
    if (req->id != FASTRPC_GET_DOMAINS)
        return t.finish(SIM_ERR_UNSUPPORTED);
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
        t.set("records_written", written);
    }
    const int64_t count = opts_.board.reported_domain_count
                              ? *opts_.board.reported_domain_count
                              : static_cast<int64_t>(req->domains ? written : list.size());
    req->num_domains = static_cast<int32_t>(count);
    t.set("num_domains", req->num_domains);
    return t.finish(0);
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
    for (const auto& [name, dsp] : dsps_) {
        if (dsp.link->alive())
            pids[name] = dsp.link->pid();
    }
    return pids;
}

void Platform::shutdown() {
    if (shut_down_)
        return;
    shut_down_ = true;
    uint64_t groups = 0;
    for (auto& [name, dsp] : dsps_) {
        std::vector<uint8_t> reply;
        sim_status_reply st;
        if (dsp.link->alive() && dsp_request(name, 0, status_frame(), &reply) &&
            read_reply(reply, &st)) {
            groups += st.pmu_groups;
        }
    }
    trace_.line({{"side", "ap"},
                 {"call", "exit"},
                 {"open_sessions", sessions_.size()},
                 {"pmu_groups", groups}});
    for (auto& entry : dsps_)
        entry.second.link->stop();
}

std::vector<std::string> dsp_host_launcher() {
#ifdef SIM_DSP_EMULATOR
    // The runner names the path prefix of the build it runs, which may be a copy of this one.
    const char* prefix = std::getenv("KESTREL_SIM_DSP_EMULATOR_PREFIX");
    return {SIM_DSP_EMULATOR, "-L",
            prefix != nullptr && *prefix != '\0' ? prefix : SIM_DSP_EMULATOR_PREFIX};
#else
    return {};
#endif
}

}  // namespace kestrel_sim
