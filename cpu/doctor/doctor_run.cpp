// kestrel-doctor's run.
#include "cpu/doctor/doctor_run.h"

#include <dlfcn.h>
#include <link.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/doctor/doctor_options.h"
#include "cpu/doctor/links.h"
#include "cpu/doctor/platform_checks.h"
#include "cpu/doctor/report.h"
#include "cpu/output.h"
#include "cpu/program_options.h"
#include "cpu/sampling/board.h"
#include "cpu/sampling/dsp_state.h"
#include "cpu/sampling/library_path.h"
#include "cpu/sampling/session.h"
#include "cpu/soc_rules.h"
#include "cpu/socinfo.h"

namespace vorlix::kestrel::doctor {

namespace {

constexpr const char* kFastRpcLibrary = "libadsprpc.so";
constexpr const char* kDspLibrary = "libkestrel_skel.so";
// The live check's sampling window.
constexpr std::uint32_t kLiveWindowMs = 100;

std::string text_of(int error) {
    return std::strerror(error);
}

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

// e_machine numbers of the processors a DSP library is most often built for by mistake.
std::string machine_text(unsigned machine) {
    switch (machine) {
        case 3:
            return std::to_string(machine) + " (x86)";
        case 40:
            return std::to_string(machine) + " (ARM)";
        case 62:
            return std::to_string(machine) + " (x86-64)";
        case 183:
            return std::to_string(machine) + " (AArch64)";
        default:
            return std::to_string(machine);
    }
}

// Degrees Celsius with one decimal, "91.5 C".
std::string celsius(double value) {
    char text[24];
    std::snprintf(text, sizeof text, "%.1f C", value);
    return text;
}

std::string percent(float value) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", static_cast<double>(value));
    return text;
}

// The file a loaded library came from.
std::string loaded_from(void* handle, const char* name) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != '\0') {
        return map->l_name;
    }
    return name;
}

std::string dl_error() {
    const char* text = dlerror();
    return text != nullptr ? text : "unknown error";
}

// "a", "a and b", "a, b and c" (or "or" in place of "and").
std::string listed(const std::vector<std::string>& items, const char* last = " and ") {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            text += i + 1 == items.size() ? last : ", ";
        }
        text += items[i];
    }
    return text;
}

std::string rules_text(const SocRule& rule) {
    std::string text;
    switch (rule.layout) {
        case CoreLayout::kOneCdsp:
            text = "one compute DSP, cdsp";
            break;
        case CoreLayout::kTwoCdsps:
            text = "two CDSPs: --cdsp_index 0 picks cdsp, 1 cdsp1";
            break;
        case CoreLayout::kPlatformCores:
            text = "up to " + std::to_string(rule.max_index + 1) +
                   " NSP cores named by the platform: --cdsp_index 0 to " +
                   std::to_string(rule.max_index);
            break;
    }
    if (rule.legacy) {
        text += "; no PMU groups: kestrel needs --run_legacy";
    }
    return text;
}

// A core of the board and what the checks found about it so far.
struct Core {
    CoreTarget target;
    bool node_usable = false;
    bool dsp_up = true;  // false only when its remote processor is known not to run
};

class Doctor {
  public:
    Doctor(const DoctorOptions& options, Report& report) : options_(options), report_(report) {}

    void run() {
        check_soc();
        check_fastrpc();
        load_platform_checks();
        find_cores();
        // Each core's remote processor comes before its device node, which the kernel's FastRPC
        // driver makes only for a DSP that runs; its temperature after them.
        const std::vector<Remoteproc> procs = read_remoteprocs();
        const std::vector<ThermalZone> zones = read_thermal_zones();
        for (Core& core : cores_) {
            check_remoteproc(core, procs);
            check_device_node(core);
            check_temperature(core, zones);
        }
        skip_without_cores({"DSP", "device node", "temperature"});
        check_stub();
        check_dsp_library();
        for (const Core& core : cores_) {
            check_live(core);
        }
        skip_without_cores({"live check"});
        report_.summary();
    }

  private:
    void add(Verdict verdict, const std::string& subject, const std::string& finding,
             const std::string& remedy = std::string()) {
        report_.add(CheckLine{verdict, subject, finding, remedy});
    }

    void check_soc() {
        report_.begin();
        SocIdStep step = SocIdStep::kOpen;
        const int error = read_soc_id(&soc_id_, &step);
        if (error != 0) {
            add(Verdict::kFail, "SoC",
                std::string("cannot ") + (step == SocIdStep::kOpen ? "open " : "read ") +
                    kSocIdPath + ": " + text_of(error),
                "kestrel tells the SoC by this file, which the kernel's Qualcomm socinfo driver "
                "publishes: boot a kernel built with it (CONFIG_QCOM_SOCINFO)");
            return;
        }
        rule_ = &soc_rule(soc_id_);
        const char* name = soc_name_by_id(soc_id_);
        if (name == nullptr) {
            add(Verdict::kWarn, "SoC",
                "id " + std::to_string(soc_id_) +
                    " is not in kestrel's SoC table; its default rule applies: " +
                    rules_text(*rule_));
            return;
        }
        add(Verdict::kOk, "SoC",
            "id " + std::to_string(soc_id_) + ", " + name + "; " + rules_text(*rule_));
    }

    void check_fastrpc() {
        report_.begin();
        fastrpc_ = dlopen(kFastRpcLibrary, RTLD_NOW | RTLD_GLOBAL);
        if (fastrpc_ == nullptr) {
            add(Verdict::kFail, "FastRPC library", dl_error(),
                "install the board's FastRPC client library libadsprpc.so (from its vendor's "
                "support package), or add the folder that holds it to LD_LIBRARY_PATH");
            return;
        }
        add(Verdict::kOk, "FastRPC library", loaded_from(fastrpc_, kFastRpcLibrary));
    }

    // The platform checks' library, loaded only once the FastRPC client library is: it needs it.
    void load_platform_checks() {
        if (fastrpc_ == nullptr) {
            return;
        }
        report_.begin();
        void* library = dlopen(kPlatformChecksLibrary, RTLD_NOW | RTLD_LOCAL);
        std::string why;
        if (library == nullptr) {
            why = dl_error();
        } else {
            auto entry =
                reinterpret_cast<PlatformChecksEntry>(dlsym(library, kPlatformChecksEntry));
            const PlatformChecks* checks = entry != nullptr ? entry() : nullptr;
            if (checks != nullptr && checks->version == kPlatformChecksVersion) {
                platform_ = checks;
                return;
            }
            why = loaded_from(library, kPlatformChecksLibrary) +
                  " is not the one of this kestrel-doctor";
        }
        add(Verdict::kFail, "doctor library", why,
            "install kestrel-doctor and libkestrel_doctor.so of one kestrel package again");
    }

    void find_cores() {
        if (rule_ == nullptr) {
            add(Verdict::kSkip, "cores", "skipped: needs the SoC");
            no_cores_ = "the SoC";
            return;
        }
        no_cores_ = "the cores";
        std::vector<CoreTarget> targets;
        Verdict verdict = Verdict::kOk;
        std::string source = "from the platform";
        if (platform_ != nullptr) {
            report_.begin();
            std::string why;
            if (!platform_->list_cores(soc_id_, &targets, &why)) {
                if (rule_->layout == CoreLayout::kPlatformCores) {
                    add(Verdict::kFail, "cores", why,
                        "on this SoC the platform names the cores: check the FastRPC library's "
                        "lines below and the board's DSPs");
                    return;
                }
                targets = board_cores(soc_id_, {});
                verdict = Verdict::kWarn;
                source = "by the SoC's rules: " + why;
            }
        } else if (rule_->layout != CoreLayout::kPlatformCores) {
            targets = board_cores(soc_id_, {});
            source = "by the SoC's rules";
        } else {
            add(Verdict::kSkip, "cores",
                "skipped: on this SoC the platform names them, through the FastRPC library");
            no_cores_ = "the FastRPC library";
            return;
        }
        if (targets.empty()) {
            add(Verdict::kFail, "cores", "the platform reports no compute-DSP core",
                "check that the board's compute DSP is enabled in its firmware and device tree");
            return;
        }
        if (options_.one_core) {
            if (options_.cdsp_index >= targets.size()) {
                add(Verdict::kFail, "cores",
                    "no core at --cdsp_index " + std::to_string(options_.cdsp_index) +
                        ": the board has " + std::to_string(targets.size()),
                    "pick an index from 0 to " + std::to_string(targets.size() - 1));
                return;
            }
            targets = {targets[options_.cdsp_index]};
        }
        std::vector<std::string> names;
        for (const CoreTarget& target : targets) {
            names.push_back(target.arch != 0 ? target.domain_name + " (V" + hex(target.arch) + ")"
                                             : target.domain_name);
            cores_.push_back(Core{target});
        }
        add(verdict, "cores", listed(names) + ", " + source);
    }

    // The checks of each core, as `skip` lines without a core's name when no core is known.
    void skip_without_cores(const std::vector<const char*>& subjects) {
        if (!cores_.empty()) {
            return;
        }
        for (const char* subject : subjects) {
            add(Verdict::kSkip, subject, "skipped: needs " + no_cores_);
        }
    }

    void check_device_node(Core& core) {
        const std::string subject = core.target.domain_name + " device node";
        if (!core.dsp_up) {
            // The driver removes a stopped DSP's node: the node says nothing while it is down.
            add(Verdict::kSkip, subject, "skipped: needs the DSP running");
            return;
        }
        const Identity who = current_identity();
        const DeviceNode node = probe_device_node(core.target.domain_name, who);
        const std::string described = node.path + " (owner " + user_name(node.owner) + ", group " +
                                      group_name(node.group) + ", mode " + octal(node.mode) + ")";
        switch (node.access) {
            case NodeAccess::kReadWrite:
                core.node_usable = true;
                add(Verdict::kOk, subject, described + ", readable and writable");
                return;
            case NodeAccess::kMissing:
                add(Verdict::kFail, subject,
                    "none of " + listed(device_node_candidates(core.target.domain_name), " or ") +
                        " exists",
                    "the kernel's FastRPC driver makes it once the DSP runs: see the DSP's "
                    "check, and that the driver is loaded (lsmod | grep fastrpc)");
                return;
            case NodeAccess::kError:
                add(Verdict::kFail, subject,
                    "cannot look at " + node.path + ": " + text_of(node.error),
                    "look at it and the folders above it with ls -ld");
                return;
            case NodeAccess::kDenied:
                break;
        }
        const std::string group = group_name(node.group);
        const NodeFix fix = node_fix(node, who);
        std::string finding =
            described + ": user " + who.user + " is not allowed to read and write it";
        switch (fix) {
            case NodeFix::kJoinGroup:
                finding += ", and is not in group " + group;
                break;
            case NodeFix::kLogInAgain:
                finding += ": this login is not yet in group " + group;
                break;
            case NodeFix::kGroupMode:
                finding += ", and its group may not either";
                break;
        }
        add(Verdict::kFail, subject, finding, node_remedy(node, who, fix));
    }

    void check_remoteproc(Core& core, const std::vector<Remoteproc>& procs) {
        const std::string subject = core.target.domain_name + " DSP";
        const Remoteproc* proc = remoteproc_for_core(procs, core.target.domain_name);
        if (proc == nullptr) {
            std::vector<std::string> names;
            for (const Remoteproc& other : procs) {
                names.push_back(other.name);
            }
            add(Verdict::kWarn, subject,
                "no remote processor named after " + core.target.domain_name +
                    " (the kernel lists " + (names.empty() ? "none" : listed(names)) +
                    "): its state cannot be read");
            return;
        }
        const std::string number = "remoteproc" + std::to_string(proc->number);
        const std::string found = number + " (" + proc->name + ") " + proc->state;
        const std::string firmware =
            proc->firmware.empty() ? std::string() : ", firmware " + proc->firmware;
        const std::string state_file = "/sys/class/remoteproc/" + number + "/state";
        switch (classify_remoteproc_state(proc->state)) {
            case DspRun::kRunning:
                add(Verdict::kOk, subject, found + firmware);
                return;
            case DspRun::kOffline:
                add(Verdict::kFail, subject, found + firmware,
                    "start it: echo start | sudo tee " + state_file +
                        (proc->firmware.empty()
                             ? std::string()
                             : " (" + proc->firmware + " must be in /lib/firmware)"));
                break;
            case DspRun::kCrashed:
                add(Verdict::kFail, subject, found + firmware,
                    "see dmesg for the crash, then restart it: echo stop | sudo tee " + state_file +
                        "; echo start | sudo tee " + state_file);
                break;
            case DspRun::kOther:
                add(Verdict::kFail, subject,
                    found + (proc->state.empty() ? "(state unreadable)" : "") + firmware +
                        ": not running",
                    "start it: echo start | sudo tee " + state_file);
                break;
        }
        core.dsp_up = false;
    }

    void check_temperature(const Core& core, const std::vector<ThermalZone>& zones) {
        const std::string subject = core.target.domain_name + " temperature";
        const ThermalZone* zone = zone_for_core(zones, core.target.domain_name);
        if (zone == nullptr) {
            std::vector<std::string> types;
            for (const ThermalZone& other : zones) {
                types.push_back(other.type);
            }
            add(Verdict::kWarn, subject,
                "no thermal zone named after " + core.target.domain_name + " (the kernel lists " +
                    (types.empty() ? "none" : listed(types)) + "): its temperature cannot be read");
            return;
        }
        const TripPoint* passive = zone->trip("passive");
        const TripPoint* critical = zone->trip("critical");
        std::string finding = "zone " + zone->type + " (thermal_zone" +
                              std::to_string(zone->number) + ") at " + celsius(zone->celsius);
        std::string trips = (passive != nullptr ? "passive " + celsius(passive->celsius) : "") +
                            (passive != nullptr && critical != nullptr ? ", " : "") +
                            (critical != nullptr ? "critical " + celsius(critical->celsius) : "");
        trips = trips.empty() ? "no passive or critical trip point" : "trip points " + trips;
        switch (heat_of(*zone)) {
            case Heat::kCool:
                add(Verdict::kOk, subject, finding + "; " + trips);
                return;
            case Heat::kNearPassive:
                add(Verdict::kWarn, subject,
                    finding + ", " + celsius(passive->celsius - zone->celsius) +
                        " below its passive trip point, where the kernel slows the DSP down (" +
                        trips + ")");
                return;
            case Heat::kPassive:
                add(Verdict::kWarn, subject,
                    finding +
                        ", at or above its passive trip point: the kernel slows the DSP "
                        "down (" +
                        trips + ")");
                return;
            case Heat::kCritical:
                add(Verdict::kFail, subject,
                    finding +
                        ", at or above its critical trip point, where the kernel shuts the "
                        "system down (" +
                        trips + ")",
                    "let the board cool down, and check its cooling (heat sink, fan, airflow) and "
                    "what loads the DSP");
                return;
        }
    }

    void check_stub() {
        if (fastrpc_ == nullptr) {
            add(Verdict::kSkip, "stub library",
                std::string("skipped: ") + kStubLibrary + " needs the FastRPC library");
            return;
        }
        report_.begin();
        void* stub = dlopen(kStubLibrary, RTLD_NOW | RTLD_LOCAL);
        if (stub == nullptr) {
            add(Verdict::kFail, "stub library", dl_error(),
                "install the kestrel package (it puts libkestrel.so in /usr/lib), or add the "
                "folder that holds it to LD_LIBRARY_PATH");
            return;
        }
        const std::string path = loaded_from(stub, kStubLibrary);
        const bool kestrels = dlsym(stub, "kestrel_open") != nullptr;
        dlclose(stub);
        if (!kestrels) {
            add(Verdict::kFail, "stub library",
                path + " has no kestrel_open: it is another library",
                "install the kestrel package again, or take the other libkestrel.so off the "
                "library path");
            return;
        }
        stub_loads_ = true;
        add(Verdict::kOk, "stub library", path);
    }

    void check_dsp_library() {
        const char* value = std::getenv(kDspLibraryPathVar);
        const std::string path = value != nullptr ? value : "";
        const std::string found = find_in_search_path(path, kDspLibrary);
        const char* install =
            "install the kestrel package (it puts the Hexagon build of libkestrel_skel.so in "
            "/usr/lib/skel)";
        if (found.empty()) {
            add(Verdict::kFail, "DSP library",
                std::string(kDspLibrary) + " is in no folder of " + kDspLibraryPathVar + " (" +
                    path + ")",
                std::string(install) + ", or add the folder that holds it to " +
                    kDspLibraryPathVar);
            return;
        }
        ElfIdentity identity;
        const int error = read_elf_identity(found, &identity);
        if (error != 0) {
            add(Verdict::kFail, "DSP library", "cannot read " + found + ": " + text_of(error),
                "make it readable: sudo chmod a+r " + found);
            return;
        }
        if (!is_hexagon_elf(identity)) {
            std::string kind = "not an ELF file";
            if (identity.elf) {
                kind = std::string(identity.elf_class == 1 ? "a 32-bit" : "a 64-bit") +
                       " ELF file for machine " + machine_text(identity.machine);
            }
            add(Verdict::kFail, "DSP library",
                found + " is " + kind + ", not a 32-bit Hexagon (QDSP6, machine 164) one",
                std::string(install) + ", or put it first on " + kDspLibraryPathVar);
            return;
        }
        dsp_library_found_ = true;
        add(Verdict::kOk, "DSP library", found + ", a 32-bit Hexagon ELF file");
    }

    void check_live(const Core& core) {
        const std::string subject = core.target.domain_name + " live check";
        std::vector<std::string> needs;
        if (fastrpc_ == nullptr) {
            needs.push_back("the FastRPC library");
        } else if (platform_ == nullptr) {
            needs.push_back("the doctor library");
        }
        if (!core.dsp_up) {
            needs.push_back("the DSP running");
        } else if (!core.node_usable) {
            needs.push_back("the device node");
        }
        if (fastrpc_ != nullptr && !stub_loads_) {
            needs.push_back(kStubLibrary);
        }
        if (!dsp_library_found_) {
            needs.push_back(kDspLibrary);
        }
        if (!needs.empty()) {
            add(Verdict::kSkip, subject, "skipped: needs " + listed(needs));
            return;
        }
        report_.begin();
        LiveResult result;
        platform_->live_check(core.target, rule_->legacy, kLiveWindowMs, &result);
        if (!result.ok) {
            add(Verdict::kFail, subject, result.failure_text, live_remedy(result.failure.step));
            return;
        }
        const Sample& sample = result.sample;
        std::string figures = "QDSP6 " + percent(sample.qdsp6);
        if (!rule_->legacy) {
            figures += ", HVX " + percent(sample.hvx) + ", HMX " + percent(sample.hmx);
        }
        char clock[32];
        std::snprintf(clock, sizeof clock, ", clock %.0f MHz",
                      static_cast<double>(sample.clock_hz) / 1e6);
        add(Verdict::kOk, subject, figures + clock + (rule_->legacy ? " (legacy mode)" : ""));
    }

    static std::string live_remedy(SessionStep step) {
        switch (step) {
            case SessionStep::kLoad:
                return "libkestrel.so lacks functions kestrel calls: install the kestrel package "
                       "again";
            case SessionStep::kUnsignedPd:
                return "the DSP refuses an unsigned protection domain: run kestrel with "
                       "--enable_unsigned_pd 0 and a libkestrel_skel.so signed for this board";
            case SessionStep::kOpen:
                return "the DSP did not open kestrel's session: look in dmesg and the DSP's log "
                       "for why it could not load libkestrel_skel.so";
            case SessionStep::kRegister:
                return "the DSP refused the PMU counters: another program may hold them; on "
                       "SoCs without PMU groups kestrel needs --run_legacy";
            case SessionStep::kSample:
                return "the DSP did not answer a sample: look in dmesg for a DSP crash";
            case SessionStep::kClose:
                return "the session did not close: look in dmesg for a DSP crash";
            case SessionStep::kNone:
                break;
        }
        return "run kestrel on this core to see the platform's lines";
    }

    const DoctorOptions& options_;
    Report& report_;
    std::uint32_t soc_id_ = 0;
    const SocRule* rule_ = nullptr;
    void* fastrpc_ = nullptr;
    const PlatformChecks* platform_ = nullptr;
    std::vector<Core> cores_;
    std::string no_cores_;  // what the cores wait for when there are none
    bool stub_loads_ = false;
    bool dsp_library_found_ = false;
};

}  // namespace

int doctor_run(int argc, const char** argv) {
    DoctorOptions options;
    switch (parse_program_command_line("kestrel-doctor: ", argc, argv, doctor_options_init,
                                       &options, print_doctor_usage)) {
        case CommandLine::kInvalid:
            return kBadCommandLine;
        case CommandLine::kHelpShown:
            return finish_output(kAllPassed) == 0 ? kAllPassed : kCheckFailed;
        case CommandLine::kRun:
            break;
    }
    // The platform searches the DSP library where kestrel has it search.
    if (!extend_dsp_library_path()) {
        std::fprintf(stderr, "kestrel-doctor: cannot set %s: %s\n", kDspLibraryPathVar,
                     std::strerror(errno));
        return kCheckFailed;
    }
    Report report;
    if (!report.open()) {
        std::fprintf(stderr, "kestrel-doctor: standard output: %s\n", std::strerror(errno));
        return kCheckFailed;
    }
    Doctor(options, report).run();
    const int status = report.failures() > 0 ? kCheckFailed : kAllPassed;
    if (!report.close()) {
        std::fprintf(stderr, "kestrel-doctor: write error: %s\n", std::strerror(errno));
        return kCheckFailed;
    }
    return status;
}

}  // namespace vorlix::kestrel::doctor
