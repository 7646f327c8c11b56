// Board profiles of the virtual board: what the simulated platform answers and how its DSPs
// behave. Profiles are JSON, built in (sim/boards/*.json) or read from a file, and may extend
// another profile. The schema is documented in sim/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrel_sim {

class BoardError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One step of a load that changes over time: its figures hold from `at_ms` (into the period)
// until the next step's. Fractions, like Load's.
struct LoadStep {
    uint32_t at_ms = 0;
    double core = 0.0;
    double hvx = 0.0;
    double hmx = 0.0;
};

constexpr size_t kMaxLoadSteps = 16;

// Load model of one DSP core; all figures are fractions (the profile gives percentages).
struct Load {
    double core = 0.0;  // busy share of the clock
    double hvx = 0.0;   // HVX packets per committed packet
    double hmx = 0.0;   // HMX active cycles per processor cycle
    double pcpp = 1.0;  // processor cycles per committed packet
    // A load that changes: these steps, repeating every period_ms, in place of core, hvx and
    // hmx. Empty for a steady load.
    std::vector<LoadStep> steps;
    uint32_t period_ms = 0;
};

// The kernel's remote processor of a DSP, served as sys/class/remoteproc/remoteprocN/.
struct Remoteproc {
    std::string name;
    std::string state = "running";
    std::string firmware;

    // "running", or "attached" (started by the boot loader, taken over by the kernel): the
    // only states of a DSP that is up.
    bool up() const { return state == "running" || state == "attached"; }
};

// The FastRPC device node through which the application reaches a DSP, served in the tree's
// dev/ folder. Owner and group are names or decimal ids, as the profile gives them.
struct DeviceNode {
    std::string path;  // absolute, under /dev/
    uint32_t mode = 0666;
    std::string owner = "root";
    std::string group = "root";
};

// Exact readings returned call after call; the last one repeats once a list is used up.
struct Script {
    std::vector<uint64_t> utimer;
    std::vector<uint64_t> upcycle;
    std::vector<std::array<uint32_t, 3>> pmu;
    std::vector<uint32_t> clock_hz;
};

struct Domain {
    std::string name;
    uint32_t id = 0;
    uint32_t type = 1;  // FASTRPC_NSP
    uint32_t status = 1;
    uint32_t card = 0;
    uint32_t effective_id = 0;
    bool listed = true;  // part of the system request's domain list
    // Capability answers.
    uint32_t exists = 1;
    uint32_t unsigned_pd = 1;
    uint32_t vtcm_bytes = 0;
    uint32_t arch = 0;
    std::map<uint32_t, uint32_t> capabilities;  // further attribute ids
    // The DSP itself.
    uint32_t clock_hz = 1000000000;
    // The optional runtime functions the DSP has (sim_options.h): pmu, hap_debug_v2, ...
#define KESTREL_SIM_DSP_OPTION(key, FLAG, symbols) bool key = true;
#include "sim_options.h"
    Load load;
    std::array<uint32_t, 3> pmu_start{};
    uint64_t upcycle_start = 0;
    uint32_t max_pmu_groups = 4;
    uint32_t heap_bytes = 65536;
    Script script;
    std::optional<Remoteproc> remoteproc;  // none: the domain has no remote processor
    std::optional<DeviceNode> device;      // none: no device node
};

// One injected failure. Application-side calls are replaced by `result`; DSP-side calls go to
// the DSP. `crash` on an invocation makes the DSP process die when it receives it.
struct Fault {
    std::string call;
    uint32_t id = 0;  // the call's SIM_CALL_* in the platform call table (sim_calls.h)
    std::optional<uint32_t> method;
    std::optional<uint32_t> attr;
    std::optional<uint32_t> request;
    std::optional<std::string> domain;
    uint32_t nth = 0;  // 1-based; 0 = every matching call
    int32_t result = -1;
    bool crash = false;
};

enum class SocIdKind { kText, kMissing, kUnreadable };

// A trip point of a thermal zone: its type (active, passive, hot or critical) and temperature.
struct ThermalTrip {
    std::string type;
    int64_t temp_millicelsius = 0;
};

constexpr size_t kMaxThermalTrips = 12;

// A kernel thermal zone, served in the board's sysfs tree as thermal_zoneN/{type,temp} and
// trip_point_K_{type,temp}.
struct ThermalZone {
    std::string type;
    int64_t temp_millicelsius = 0;
    std::vector<ThermalTrip> trips;
};

// A time during which a domain's DSP is crashed: from at_ms after the application process
// started (the simulated library's load) for for_ms, again every every_ms when that is set.
struct DspCrash {
    std::string domain;
    uint64_t at_ms = 0;
    uint64_t for_ms = 0;
    uint64_t every_ms = 0;  // 0: once

    // Whether the DSP is crashed at t_ms, and the start of the latest window that began at or
    // before t_ms (none before the first).
    bool crashed_at(uint64_t t_ms) const;
    std::optional<uint64_t> last_start(uint64_t t_ms) const;
    // The first moment after t_ms at which the state changes; none when it never does again.
    std::optional<uint64_t> next_change(uint64_t t_ms) const;
};

constexpr size_t kMaxDspCrashes = 16;

// What of kestrel the board has installed, which the runner serves: libkestrel.so on the
// library path, and which libkestrel_skel.so on the DSP library path.
struct Installed {
    bool libkestrel = true;
    // "build": the runner's choice (the host build, or for kestrel-doctor the Hexagon build);
    // "host": the host build for every program; "none": no folder that holds one.
    std::string libkestrel_skel = "build";
};

struct Board {
    std::string name;
    SocIdKind soc_kind = SocIdKind::kText;
    std::string soc_text;                  // contents of the sysfs file when kText
    std::string library = "full";          // one of library_variants()
    std::string dsp = "host";              // host or hexagon
    std::vector<std::string> dsp_command;  // prefix of the DSP host command line
    std::vector<Domain> domains;
    std::optional<int64_t> reported_domain_count;  // overrides num_domains of system requests
    std::vector<Fault> faults;
    std::vector<ThermalZone> thermal_zones;
    std::vector<DspCrash> dsp_crashes;
    std::string soc_name;  // the SoC's name in default firmware paths; may be empty
    Installed installed;

    const Domain* find_by_name(const std::string& name) const;
    // Matches the domain id or the effective id.
    const Domain* find_by_id(uint32_t id) const;
    // The N of a domain's sys/class/remoteproc/remoteprocN: its place among the domains that
    // have a remote processor, in domain order; none when it has none.
    std::optional<size_t> remoteproc_number(const std::string& domain) const;
    // The state its remoteproc file shows t_ms after the application started: "crashed" in a
    // window of dsp_crashes, the profile's state otherwise ("running" without a remoteproc).
    std::string dsp_state(const Domain& d, uint64_t t_ms) const;
};

// The built-in profiles as (name, JSON text), in name order.
const std::vector<std::pair<std::string, std::string>>& builtin_boards();
std::vector<std::string> builtin_board_names();

// A name without "/" and without ".json" is a built-in board; anything else is a file path.
// "extends" is resolved (relative paths from the extending file's directory).
nlohmann::json resolve_board_json(const std::string& name_or_path);
Board parse_board(const nlohmann::json& resolved, const std::string& name);
Board load_board(const std::string& name_or_path);

// The library variants a board may choose: those of sim_options.h, and "none" (no libadsprpc.so;
// the build makes no folder of that name).
const std::vector<std::string>& library_variants();

}  // namespace kestrel_sim
