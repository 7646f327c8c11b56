// Board profile loading: "extends" resolution, merging and validation into a Board.
#include "board.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>

#include "sim_calls.h"

using nlohmann::json;

namespace kestrel_sim {
namespace {

constexpr int kMaxExtendsDepth = 16;

bool is_path(const std::string& name) {
    return name.find('/') != std::string::npos ||
           (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0);
}

std::string dir_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

json parse_text(const std::string& text, const std::string& where) {
    try {
        json j = json::parse(text);
        if (!j.is_object()) {
            throw BoardError(where + ": a board profile must be a JSON object");
        }
        return j;
    } catch (const json::exception& e) {
        // Syntax errors, and numbers the parser cannot hold (1e999).
        throw BoardError(where + ": " + e.what());
    }
}

json read_profile(const std::string& name_or_path, std::string* base_dir) {
    if (!is_path(name_or_path)) {
        for (const auto& [name, text] : builtin_boards()) {
            if (name == name_or_path) {
                *base_dir = ".";
                return parse_text(text, "board " + name);
            }
        }
        std::string known;
        for (const auto& name : builtin_board_names()) {
            known += (known.empty() ? "" : ", ") + name;
        }
        throw BoardError("unknown board '" + name_or_path + "' (built-in boards: " + known + ")");
    }
    std::ifstream in(name_or_path);
    if (!in) {
        throw BoardError("cannot read board file '" + name_or_path + "'");
    }
    std::stringstream ss;
    ss << in.rdbuf();
    *base_dir = dir_of(name_or_path);
    return parse_text(ss.str(), name_or_path);
}

// Objects merge key by key; "domains" merges element by element on "name" (an element with
// "remove": true drops the base's domain); everything else is replaced.
void merge(json& base, const json& over);

void merge_domains(json& base, const json& over) {
    if (!base.is_array() || !over.is_array()) {
        base = over;
        return;
    }
    // The first element of each string name, by name: a board of many domains merges in time
    // linear in their number. Names of other types (errors the parser reports later) are
    // matched by a search, as they are rare.
    std::unordered_map<std::string, size_t> index;
    auto reindex = [&] {
        index.clear();
        for (size_t i = 0; i < base.size(); ++i) {
            const json& b = base[i];
            if (!b.is_object())
                continue;
            auto n = b.find("name");
            if (n != b.end() && n->is_string())
                index.emplace(n->get<std::string>(), i);
        }
    };
    reindex();
    for (const auto& d : over) {
        auto it = base.end();
        const auto name = d.is_object() ? d.find("name") : d.end();
        if (d.is_object() && name != d.end()) {
            if (name->is_string()) {
                auto pos = index.find(name->get<std::string>());
                if (pos != index.end())
                    it = base.begin() + static_cast<std::ptrdiff_t>(pos->second);
            } else {
                it = std::find_if(base.begin(), base.end(), [&](const json& b) {
                    return b.is_object() && b.contains("name") && b["name"] == *name;
                });
            }
        }
        // Read only when it is a boolean: any other value is the profile's mistake, reported
        // as such rather than as the JSON library's type error.
        bool remove = false;
        if (d.is_object() && d.contains("remove")) {
            if (!d["remove"].is_boolean()) {
                throw BoardError("domain \"remove\" must be true or false");
            }
            remove = d["remove"].get<bool>();
        }
        if (it == base.end()) {
            if (!remove) {
                base.push_back(d);
                if (name != d.end() && name->is_string())
                    index.emplace(name->get<std::string>(), base.size() - 1);
            }
        } else if (remove) {
            base.erase(it);
            reindex();
        } else {
            merge(*it, d);
        }
    }
}

void merge(json& base, const json& over) {
    if (!base.is_object() || !over.is_object()) {
        base = over;
        return;
    }
    for (auto it = over.begin(); it != over.end(); ++it) {
        if (it.key() == "domains" && base.contains("domains")) {
            merge_domains(base["domains"], it.value());
        } else if (base.contains(it.key()) && base[it.key()].is_object() &&
                   it.value().is_object()) {
            merge(base[it.key()], it.value());
        } else {
            base[it.key()] = it.value();
        }
    }
}

json resolve(const std::string& name_or_path, int depth) {
    if (depth > kMaxExtendsDepth) {
        throw BoardError("board '" + name_or_path + "': \"extends\" nested too deeply");
    }
    std::string base_dir;
    json j = read_profile(name_or_path, &base_dir);
    if (!j.contains("extends")) {
        return j;
    }
    if (!j["extends"].is_string()) {
        throw BoardError("board '" + name_or_path + "': \"extends\" must be a string");
    }
    std::string parent = j["extends"].get<std::string>();
    if (is_path(parent) && parent[0] != '/') {
        parent = base_dir + "/" + parent;
    }
    json merged = resolve(parent, depth + 1);
    j.erase("extends");
    try {
        merge(merged, j);
    } catch (const BoardError& e) {
        throw BoardError("board '" + name_or_path + "': " + e.what());
    }
    return merged;
}

// ---- Typed access with clear errors -------------------------------------------------------

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw BoardError(where + ": " + what);
}

void check_keys(const json& obj, const std::string& where, const std::set<std::string>& allowed) {
    if (!obj.is_object()) {
        bad(where, "must be an object");
    }
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        if (allowed.count(it.key()) == 0) {
            bad(where, "unknown key \"" + it.key() + "\"");
        }
    }
}

// Integers may be given as JSON numbers or as strings in C notation ("0x75").
int64_t get_int(const json& v, const std::string& where, int64_t lo, int64_t hi) {
    int64_t value = 0;
    if (v.is_number_integer()) {
        value = v.get<int64_t>();
        if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(hi)) {
            bad(where, "out of range");
        }
    } else if (v.is_string()) {
        const std::string s = v.get<std::string>();
        try {
            size_t used = 0;
            value = std::stoll(s, &used, 0);
            if (used != s.size()) {
                bad(where, "not an integer: \"" + s + "\"");
            }
        } catch (const std::logic_error&) {
            bad(where, "not an integer: \"" + s + "\"");
        }
    } else {
        bad(where, "must be an integer");
    }
    if (value < lo || value > hi) {
        bad(where, "out of range");
    }
    return value;
}

uint64_t get_u64(const json& v, const std::string& where) {
    if (v.is_number_unsigned()) {
        return v.get<uint64_t>();
    }
    return static_cast<uint64_t>(get_int(v, where, 0, std::numeric_limits<int64_t>::max()));
}

uint32_t get_u32(const json& v, const std::string& where) {
    return static_cast<uint32_t>(get_int(v, where, 0, 0xffffffffLL));
}

bool get_bool(const json& v, const std::string& where) {
    if (!v.is_boolean()) {
        bad(where, "must be true or false");
    }
    return v.get<bool>();
}

double get_number(const json& v, const std::string& where, double lo, double hi) {
    if (!v.is_number()) {
        bad(where, "must be a number");
    }
    double d = v.get<double>();
    if (!std::isfinite(d) || d < lo || d > hi) {
        bad(where, "out of range");
    }
    return d;
}

std::string get_string(const json& v, const std::string& where) {
    if (!v.is_string()) {
        bad(where, "must be a string");
    }
    return v.get<std::string>();
}

void parse_script(const json& s, const std::string& where, Script* out) {
    check_keys(s, where, {"utimer", "upcycle", "pmu", "clock_hz"});
    auto list = [&](const char* key) -> const json* {
        if (!s.contains(key)) {
            return nullptr;
        }
        const json& l = s[key];
        if (!l.is_array() || l.size() > 1024) {
            bad(where + "." + key, "must be an array of at most 1024 readings");
        }
        return &l;
    };
    if (const json* l = list("utimer")) {
        for (const auto& v : *l)
            out->utimer.push_back(get_u64(v, where + ".utimer"));
    }
    if (const json* l = list("upcycle")) {
        for (const auto& v : *l)
            out->upcycle.push_back(get_u64(v, where + ".upcycle"));
    }
    if (const json* l = list("pmu")) {
        for (const auto& v : *l) {
            if (!v.is_array() || v.size() != 3) {
                bad(where + ".pmu", "each reading must be an array of three counters");
            }
            out->pmu.push_back({get_u32(v[0], where + ".pmu"), get_u32(v[1], where + ".pmu"),
                                get_u32(v[2], where + ".pmu")});
        }
    }
    if (const json* l = list("clock_hz")) {
        for (const auto& v : *l)
            out->clock_hz.push_back(get_u32(v, where + ".clock_hz"));
    }
}

// A steady load (core, hvx, hmx in percent) or steps that repeat every period_ms; pcpp either
// way. Steps replace the steady figures, also those a profile inherits through "extends".
void parse_load(const json& l, const std::string& where, Load* load) {
    check_keys(l, where, {"core", "hvx", "hmx", "pcpp", "period_ms", "steps"});
    if (l.contains("core"))
        load->core = get_number(l["core"], where + ".core", 0, 100) / 100;
    if (l.contains("hvx"))
        load->hvx = get_number(l["hvx"], where + ".hvx", 0, 100) / 100;
    if (l.contains("hmx"))
        load->hmx = get_number(l["hmx"], where + ".hmx", 0, 100) / 100;
    if (l.contains("pcpp"))
        load->pcpp = get_number(l["pcpp"], where + ".pcpp", 0.01, 1e6);
    // null takes back what a profile extended had: a steady load again.
    const bool has_steps = l.contains("steps") && !l["steps"].is_null();
    if (has_steps != (l.contains("period_ms") && !l["period_ms"].is_null())) {
        bad(where, "\"steps\" and \"period_ms\" go together");
    }
    if (!has_steps)
        return;
    const json& steps = l["steps"];
    if (!steps.is_array() || steps.empty() || steps.size() > kMaxLoadSteps) {
        bad(where + ".steps",
            "must be an array of 1 to " + std::to_string(kMaxLoadSteps) + " steps");
    }
    load->period_ms = static_cast<uint32_t>(
        get_int(l["period_ms"], where + ".period_ms", 1, std::numeric_limits<int32_t>::max()));
    for (size_t i = 0; i < steps.size(); ++i) {
        const json& st = steps[i];
        const std::string sw = where + ".steps[" + std::to_string(i) + "]";
        check_keys(st, sw, {"at_ms", "core", "hvx", "hmx"});
        if (!st.contains("at_ms")) {
            bad(sw, "a step needs \"at_ms\"");
        }
        LoadStep step;
        step.at_ms = get_u32(st["at_ms"], sw + ".at_ms");
        if (st.contains("core"))
            step.core = get_number(st["core"], sw + ".core", 0, 100) / 100;
        if (st.contains("hvx"))
            step.hvx = get_number(st["hvx"], sw + ".hvx", 0, 100) / 100;
        if (st.contains("hmx"))
            step.hmx = get_number(st["hmx"], sw + ".hmx", 0, 100) / 100;
        if (i == 0 && step.at_ms != 0) {
            bad(sw + ".at_ms", "the first step starts at 0");
        }
        if (i > 0 && step.at_ms <= load->steps.back().at_ms) {
            bad(sw + ".at_ms", "steps must start in increasing order");
        }
        load->steps.push_back(step);
    }
    if (load->period_ms <= load->steps.back().at_ms) {
        bad(where + ".period_ms", "must be greater than the last step's at_ms");
    }
}

// null: no remote processor; an object overrides the parts it names.
void parse_remoteproc(const json& r, const std::string& where, std::optional<Remoteproc>* out) {
    if (r.is_null()) {
        out->reset();
        return;
    }
    check_keys(r, where, {"name", "state", "firmware"});
    if (r.contains("name"))
        (*out)->name = get_string(r["name"], where + ".name");
    if (r.contains("firmware"))
        (*out)->firmware = get_string(r["firmware"], where + ".firmware");
    if (r.contains("state")) {
        static const std::set<std::string> states = {"offline", "suspended", "running", "attached",
                                                     "crashed", "deleted",   "invalid"};
        (*out)->state = get_string(r["state"], where + ".state");
        if (states.count((*out)->state) == 0) {
            bad(where + ".state",
                "must be offline, suspended, running, attached, crashed, deleted or invalid");
        }
    }
}

// A user or group: a name, or a decimal id as a number or a string.
std::string get_account(const json& v, const std::string& where) {
    if (v.is_number()) {
        return std::to_string(get_int(v, where, 0, 0xfffffffeLL));
    }
    const std::string s = get_string(v, where);
    if (s.empty() || s.find_first_of(":\n/") != std::string::npos) {
        bad(where, "must be a user or group name or id");
    }
    return s;
}

// null: no device node; an object overrides the parts it names.
void parse_device(const json& v, const std::string& where, std::optional<DeviceNode>* out) {
    if (v.is_null()) {
        out->reset();
        return;
    }
    check_keys(v, where, {"path", "mode", "owner", "group"});
    if (v.contains("path"))
        (*out)->path = get_string(v["path"], where + ".path");
    if (v.contains("mode")) {
        // Octal digits as chmod takes them: "0660", "660".
        const std::string m = v["mode"].is_string() ? v["mode"].get<std::string>() : "";
        if (m.empty() || m.size() > 4 || m.find_first_not_of("01234567") != std::string::npos) {
            bad(where + ".mode", "must be a string of octal digits such as \"0660\"");
        }
        (*out)->mode = static_cast<uint32_t>(std::stoul(m, nullptr, 8));
    }
    if (v.contains("owner"))
        (*out)->owner = get_account(v["owner"], where + ".owner");
    if (v.contains("group"))
        (*out)->group = get_account(v["group"], where + ".group");
}

// An absolute path under /dev/ whose every part is a plain name.
bool valid_device_path(const std::string& path) {
    if (path.compare(0, 5, "/dev/") != 0 || path.find('\0') != std::string::npos)
        return false;
    size_t start = 5;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part == "." || part == ".." || part.size() > 255)
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

// The keys a domain may have; made once, as a board may have hundreds of domains.
const std::set<std::string>& domain_keys() {
    static const std::set<std::string> keys = [] {
        std::set<std::string> k = {"name",           "id",           "type",      "status",
                                   "card",           "effective_id", "listed",    "exists",
                                   "unsigned_pd",    "vtcm_bytes",   "arch",      "capabilities",
                                   "clock_hz",       "load",         "pmu_start", "upcycle_start",
                                   "max_pmu_groups", "heap_bytes",   "script",    "remoteproc",
                                   "device"};
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) k.insert(#key);
#include "sim_options.h"
        return k;
    }();
    return keys;
}

Domain parse_domain(const json& d, const std::string& where, const std::string& soc_name) {
    check_keys(d, where, domain_keys());
    Domain dom;
    if (!d.contains("name") || !d.contains("id")) {
        bad(where, "a domain needs \"name\" and \"id\"");
    }
    dom.name = get_string(d["name"], where + ".name");
    if (dom.name.empty()) {
        bad(where + ".name", "must not be empty");
    }
    dom.id = get_u32(d["id"], where + ".id");
    dom.effective_id = dom.id;
    auto u32 = [&](const char* key, uint32_t* field) {
        if (d.contains(key))
            *field = get_u32(d[key], where + "." + key);
    };
    auto flag = [&](const char* key, bool* field) {
        if (d.contains(key))
            *field = get_bool(d[key], where + "." + key);
    };
    u32("type", &dom.type);
    u32("status", &dom.status);
    u32("card", &dom.card);
    u32("effective_id", &dom.effective_id);
    u32("exists", &dom.exists);
    u32("unsigned_pd", &dom.unsigned_pd);
    u32("vtcm_bytes", &dom.vtcm_bytes);
    u32("arch", &dom.arch);
    u32("clock_hz", &dom.clock_hz);
    u32("max_pmu_groups", &dom.max_pmu_groups);
    u32("heap_bytes", &dom.heap_bytes);
    flag("listed", &dom.listed);
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) flag(#key, &dom.key);
#include "sim_options.h"
    if (dom.heap_bytes > (1u << 20)) {
        bad(where + ".heap_bytes", "at most 1 MiB");
    }
    if (d.contains("capabilities")) {
        const json& caps = d["capabilities"];
        if (!caps.is_object()) {
            bad(where + ".capabilities", "must be an object of attribute id -> value");
        }
        for (auto it = caps.begin(); it != caps.end(); ++it) {
            uint32_t attr = get_u32(json(it.key()), where + ".capabilities key");
            dom.capabilities[attr] = get_u32(it.value(), where + ".capabilities." + it.key());
        }
    }
    if (d.contains("load")) {
        parse_load(d["load"], where + ".load", &dom.load);
    }
    if (d.contains("pmu_start")) {
        const json& p = d["pmu_start"];
        if (!p.is_array() || p.size() != 3) {
            bad(where + ".pmu_start", "must be an array of three counter values");
        }
        for (size_t i = 0; i < 3; ++i)
            dom.pmu_start[i] = get_u32(p[i], where + ".pmu_start");
    }
    if (d.contains("upcycle_start")) {
        dom.upcycle_start = get_u64(d["upcycle_start"], where + ".upcycle_start");
    }
    if (d.contains("script")) {
        parse_script(d["script"], where + ".script", &dom.script);
    }
    dom.remoteproc =
        Remoteproc{dom.name, "running",
                   "qcom/" + (soc_name.empty() ? "" : soc_name + "/") + dom.name + ".mbn"};
    if (d.contains("remoteproc")) {
        parse_remoteproc(d["remoteproc"], where + ".remoteproc", &dom.remoteproc);
    }
    dom.device = DeviceNode{"/dev/fastrpc-" + dom.name};
    if (d.contains("device")) {
        parse_device(d["device"], where + ".device", &dom.device);
    }
    if (dom.device && !valid_device_path(dom.device->path)) {
        // A default path comes from the domain's name.
        bad(where + ".device.path", "\"" + dom.device->path + "\" is not a file path under /dev/" +
                                        (d.contains("device") ? "" : " (give \"device\")"));
    }
    return dom;
}

// The platform call a fault names: its id, or SIM_CALL_NONE when no fault can name it.
uint32_t fault_call_id(const std::string& name) {
    for (uint32_t id = SIM_CALL_NONE + 1; id < SIM_CALL_COUNT; ++id) {
        const sim_call_info call = sim_call(id);
        if (call.can_fail && name == call.name)
            return id;
    }
    return SIM_CALL_NONE;
}

Fault parse_fault(const json& f, const std::string& where) {
    check_keys(f, where, {"call", "method", "attr", "request", "domain", "nth", "result", "crash"});
    Fault fault;
    if (!f.contains("call")) {
        bad(where, "a fault needs \"call\"");
    }
    fault.call = get_string(f["call"], where + ".call");
    fault.id = fault_call_id(fault.call);
    if (fault.id == SIM_CALL_NONE) {
        bad(where + ".call", "no such platform call: \"" + fault.call + "\"");
    }
    if (f.contains("method"))
        fault.method = get_u32(f["method"], where + ".method");
    if (f.contains("attr"))
        fault.attr = get_u32(f["attr"], where + ".attr");
    if (f.contains("request"))
        fault.request = get_u32(f["request"], where + ".request");
    if (f.contains("domain"))
        fault.domain = get_string(f["domain"], where + ".domain");
    if (f.contains("nth"))
        fault.nth = get_u32(f["nth"], where + ".nth");
    if (f.contains("result")) {
        fault.result = static_cast<int32_t>(get_int(
            f["result"], where + ".result", std::numeric_limits<int32_t>::min(), 0xffffffffLL));
    }
    if (f.contains("crash"))
        fault.crash = get_bool(f["crash"], where + ".crash");
    if (fault.crash && fault.id != SIM_CALL_INVOKE) {
        bad(where + ".crash", "only an invocation can crash the DSP");
    }
    return fault;
}

int64_t get_millicelsius(const json& v, const std::string& where) {
    return get_int(v, where, std::numeric_limits<int32_t>::min(),
                   std::numeric_limits<int32_t>::max());
}

ThermalZone parse_thermal_zone(const json& z, const std::string& where) {
    check_keys(z, where, {"type", "temp_millicelsius", "trips"});
    if (!z.contains("type") || !z.contains("temp_millicelsius")) {
        bad(where, "a thermal zone needs \"type\" and \"temp_millicelsius\"");
    }
    ThermalZone zone;
    zone.type = get_string(z["type"], where + ".type");
    zone.temp_millicelsius = get_millicelsius(z["temp_millicelsius"], where + ".temp_millicelsius");
    if (!z.contains("trips"))
        return zone;
    const json& trips = z["trips"];
    if (!trips.is_array() || trips.size() > kMaxThermalTrips) {
        bad(where + ".trips",
            "must be an array of at most " + std::to_string(kMaxThermalTrips) + " trip points");
    }
    for (size_t i = 0; i < trips.size(); ++i) {
        const std::string tw = where + ".trips[" + std::to_string(i) + "]";
        check_keys(trips[i], tw, {"type", "temp_millicelsius"});
        if (!trips[i].contains("type") || !trips[i].contains("temp_millicelsius")) {
            bad(tw, "a trip point needs \"type\" and \"temp_millicelsius\"");
        }
        ThermalTrip trip;
        trip.type = get_string(trips[i]["type"], tw + ".type");
        if (trip.type != "active" && trip.type != "passive" && trip.type != "hot" &&
            trip.type != "critical") {
            bad(tw + ".type", "must be active, passive, hot or critical");
        }
        trip.temp_millicelsius =
            get_millicelsius(trips[i]["temp_millicelsius"], tw + ".temp_millicelsius");
        zone.trips.push_back(std::move(trip));
    }
    return zone;
}

DspCrash parse_dsp_crash(const json& c, const std::string& where) {
    check_keys(c, where, {"domain", "at_ms", "for_ms", "every_ms"});
    if (!c.contains("domain") || !c.contains("at_ms") || !c.contains("for_ms")) {
        bad(where, "a DSP crash needs \"domain\", \"at_ms\" and \"for_ms\"");
    }
    constexpr int64_t kMaxMs = std::numeric_limits<uint32_t>::max();
    DspCrash crash;
    crash.domain = get_string(c["domain"], where + ".domain");
    crash.at_ms = static_cast<uint64_t>(get_int(c["at_ms"], where + ".at_ms", 0, kMaxMs));
    crash.for_ms = static_cast<uint64_t>(get_int(c["for_ms"], where + ".for_ms", 1, kMaxMs));
    if (c.contains("every_ms")) {
        crash.every_ms =
            static_cast<uint64_t>(get_int(c["every_ms"], where + ".every_ms", 1, kMaxMs));
        if (crash.every_ms <= crash.for_ms) {
            bad(where + ".every_ms", "must be greater than for_ms");
        }
    }
    return crash;
}

}  // namespace

const Domain* Board::find_by_name(const std::string& n) const {
    for (const auto& d : domains) {
        if (d.name == n)
            return &d;
    }
    return nullptr;
}

const Domain* Board::find_by_id(uint32_t id) const {
    for (const auto& d : domains) {
        if (d.id == id)
            return &d;
    }
    for (const auto& d : domains) {
        if (d.effective_id == id)
            return &d;
    }
    return nullptr;
}

bool DspCrash::crashed_at(uint64_t t_ms) const {
    const auto start = last_start(t_ms);
    return start && t_ms - *start < for_ms;
}

std::optional<uint64_t> DspCrash::last_start(uint64_t t_ms) const {
    if (t_ms < at_ms)
        return std::nullopt;
    return every_ms == 0 ? at_ms : at_ms + (t_ms - at_ms) / every_ms * every_ms;
}

std::optional<uint64_t> DspCrash::next_change(uint64_t t_ms) const {
    const auto start = last_start(t_ms);
    if (!start)
        return at_ms;
    if (t_ms < *start + for_ms)
        return *start + for_ms;
    if (every_ms == 0)
        return std::nullopt;
    return *start + every_ms;
}

std::optional<size_t> Board::remoteproc_number(const std::string& domain) const {
    size_t n = 0;
    for (const auto& d : domains) {
        if (d.name == domain)
            return d.remoteproc ? std::optional<size_t>(n) : std::nullopt;
        if (d.remoteproc)
            ++n;
    }
    return std::nullopt;
}

std::string Board::dsp_state(const Domain& d, uint64_t t_ms) const {
    for (const auto& c : dsp_crashes) {
        if (c.domain == d.name && c.crashed_at(t_ms))
            return "crashed";
    }
    return d.remoteproc ? d.remoteproc->state : "running";
}

std::vector<std::string> builtin_board_names() {
    std::vector<std::string> names;
    for (const auto& b : builtin_boards())
        names.push_back(b.first);
    std::sort(names.begin(), names.end());
    return names;
}

const std::vector<std::string>& library_variants() {
    static const std::vector<std::string> v = {
#define KESTREL_SIM_LIBRARY(variant) #variant,
#include "sim_options.h"
        "none",
    };
    return v;
}

json resolve_board_json(const std::string& name_or_path) {
    return resolve(name_or_path, 0);
}

Board parse_board(const json& j, const std::string& name) {
    const std::string where = "board '" + name + "'";
    check_keys(j, where,
               {"description", "soc_id", "soc_name", "library", "dsp", "dsp_command", "domains",
                "num_domains", "faults", "thermal_zones", "dsp_crashes", "installed"});
    Board b;
    b.name = name;
    if (!j.contains("soc_id") || j["soc_id"].is_null()) {
        b.soc_kind = SocIdKind::kMissing;
    } else if (j["soc_id"].is_number_integer()) {
        b.soc_text = std::to_string(j["soc_id"].get<int64_t>()) + "\n";
    } else if (j["soc_id"].is_string()) {
        b.soc_text = j["soc_id"].get<std::string>();
    } else if (j["soc_id"].is_object()) {
        check_keys(j["soc_id"], where + ".soc_id", {"unreadable"});
        if (!get_bool(j["soc_id"].value("unreadable", json(false)), where + ".soc_id")) {
            bad(where + ".soc_id", "{\"unreadable\": true} is the only object form");
        }
        b.soc_kind = SocIdKind::kUnreadable;
    } else {
        bad(where + ".soc_id", "must be a number, a string, null or {\"unreadable\": true}");
    }
    if (j.contains("soc_name")) {
        b.soc_name = get_string(j["soc_name"], where + ".soc_name");
    }
    if (j.contains("library")) {
        b.library = get_string(j["library"], where + ".library");
        const auto& v = library_variants();
        if (std::find(v.begin(), v.end(), b.library) == v.end()) {
            std::string names;
            for (size_t i = 0; i < v.size(); ++i)
                names += (i == 0 ? "" : i + 1 == v.size() ? " or " : ", ") + v[i];
            bad(where + ".library", "must be " + names);
        }
    }
    if (j.contains("dsp")) {
        b.dsp = get_string(j["dsp"], where + ".dsp");
        if (b.dsp != "host" && b.dsp != "hexagon") {
            bad(where + ".dsp", "must be host or hexagon");
        }
    }
    if (j.contains("dsp_command")) {
        if (!j["dsp_command"].is_array()) {
            bad(where + ".dsp_command", "must be an array of strings");
        }
        for (const auto& a : j["dsp_command"]) {
            b.dsp_command.push_back(get_string(a, where + ".dsp_command"));
        }
    }
    if (j.contains("domains")) {
        if (!j["domains"].is_array()) {
            bad(where + ".domains", "must be an array");
        }
        size_t i = 0;
        std::set<std::string> names;  // a set, not a search per domain: boards may have hundreds
        for (const auto& d : j["domains"]) {
            Domain dom =
                parse_domain(d, where + ".domains[" + std::to_string(i++) + "]", b.soc_name);
            if (!names.insert(dom.name).second) {
                bad(where + ".domains", "duplicate domain name \"" + dom.name + "\"");
            }
            b.domains.push_back(std::move(dom));
        }
    }
    if (j.contains("num_domains")) {
        b.reported_domain_count =
            get_int(j["num_domains"], where + ".num_domains", std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max());
    }
    if (j.contains("faults")) {
        if (!j["faults"].is_array()) {
            bad(where + ".faults", "must be an array");
        }
        size_t i = 0;
        for (const auto& f : j["faults"]) {
            Fault fault = parse_fault(f, where + ".faults[" + std::to_string(i++) + "]");
            if (fault.domain && b.find_by_name(*fault.domain) == nullptr) {
                bad(where + ".faults", "fault names unknown domain \"" + *fault.domain + "\"");
            }
            b.faults.push_back(std::move(fault));
        }
    }
    if (j.contains("thermal_zones")) {
        if (!j["thermal_zones"].is_array()) {
            bad(where + ".thermal_zones", "must be an array");
        }
        size_t i = 0;
        for (const auto& z : j["thermal_zones"]) {
            b.thermal_zones.push_back(
                parse_thermal_zone(z, where + ".thermal_zones[" + std::to_string(i++) + "]"));
        }
    }
    if (j.contains("dsp_crashes")) {
        const json& crashes = j["dsp_crashes"];
        if (!crashes.is_array() || crashes.size() > kMaxDspCrashes) {
            bad(where + ".dsp_crashes",
                "must be an array of at most " + std::to_string(kMaxDspCrashes) + " crashes");
        }
        size_t i = 0;
        for (const auto& c : crashes) {
            DspCrash crash =
                parse_dsp_crash(c, where + ".dsp_crashes[" + std::to_string(i++) + "]");
            if (b.find_by_name(crash.domain) == nullptr) {
                bad(where + ".dsp_crashes", "names unknown domain \"" + crash.domain + "\"");
            }
            b.dsp_crashes.push_back(std::move(crash));
        }
    }
    // Domains may share a device node, as long as they agree on it.
    std::map<std::string, const DeviceNode*> nodes;
    for (const auto& d : b.domains) {
        if (!d.device)
            continue;
        const DeviceNode& n = *d.device;
        auto [it, added] = nodes.emplace(n.path, &n);
        if (!added && (it->second->mode != n.mode || it->second->owner != n.owner ||
                       it->second->group != n.group)) {
            bad(where + ".domains",
                "domains share the device node " + n.path + " with different mode, owner or group");
        }
    }
    if (j.contains("installed")) {
        const std::string at = where + ".installed";
        check_keys(j["installed"], at, {"libkestrel", "libkestrel_skel"});
        if (j["installed"].contains("libkestrel")) {
            b.installed.libkestrel = get_bool(j["installed"]["libkestrel"], at + ".libkestrel");
        }
        if (j["installed"].contains("libkestrel_skel")) {
            const std::string skel =
                get_string(j["installed"]["libkestrel_skel"], at + ".libkestrel_skel");
            if (skel != "build" && skel != "host" && skel != "none") {
                bad(at + ".libkestrel_skel", "must be build, host or none");
            }
            b.installed.libkestrel_skel = skel;
        }
    }
    return b;
}

Board load_board(const std::string& name_or_path) {
    return parse_board(resolve_board_json(name_or_path), name_or_path);
}

}  // namespace kestrel_sim
