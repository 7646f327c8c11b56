#include "cpu/kestrel_run.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fmt/format.h>

#include "cpu/cmdline.h"
#include "cpu/cmdline_user.h"
#include "cpu/data_analyzer.h"
#include "cpu/dsp_utils.h"
#include "cpu/output.h"
#include "cpu/socinfo.h"

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler needs a lock-free flag");

std::atomic<bool> g_is_loop_run{false};

namespace {

// Where the FastRPC client library looks for the DSP library.
constexpr const char* kDspLibraryPathVar = "ADSP_LIBRARY_PATH";
constexpr const char* kDspLibraryDirs = "/usr/lib/skel;./lib";

// The signals that end a run: Ctrl-C, a service manager's stop, a closed terminal.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The stub library of the remote interface, loaded by name.
constexpr const char* kStubLibrary = "libkestrel.so";

// Prints a driver error whose text ends with its own line end.
void report(const std::string& text) {
    std::printf("[ERROR] [KESTREL] %s\n", text.c_str());
}

// The core the run talks to: the item at `index` in the first group, null when the platform
// reported none there. On QCS9075 the index picks the domain itself (cdsp or cdsp1), and a
// platform without the domain list reports each CDSP as a group of its own, so there the index
// goes on counting through the following groups. Elsewhere another group's core is another DSP
// than the one sampled, and its architecture must not be shown for it.
const vorlix::kestrel::DspInfoItem* chosen_core(const vorlix::kestrel::DspDomainArray& domains,
                                                std::uint32_t index, bool across_groups) {
    std::size_t remaining = index;
    for (const auto& group : domains) {
        if (remaining < group.size()) {
            return &group[remaining];
        }
        if (!across_groups) {
            break;
        }
        remaining -= group.size();
    }
    return nullptr;
}

// Pause between two samples. 0 when it ended or was cut short by a signal, -1 otherwise.
int pause_between_samples(std::uint32_t interval_ms) {
    struct timespec pause {};
    pause.tv_sec = static_cast<time_t>(interval_ms / 1000u);
    pause.tv_nsec = static_cast<long>((interval_ms % 1000u) * 1000000u);
    if (nanosleep(&pause, nullptr) != 0) {
        if (errno != EINTR) {
            return -1;
        }
        std::printf(
            "[WARN ] [KESTREL] nanosleep(): interrupted by a signal, it may be abnormal.\n");
    }
    return 0;
}

}  // namespace

void signal_handler(int signo) {
    if (signo == SIGINT || signo == SIGTERM || signo == SIGHUP) {
        g_is_loop_run.store(false);
    }
}

int set_dsp_env() {
    const char* current = std::getenv(kDspLibraryPathVar);
    std::string value = current != nullptr ? current : "";
    if (!value.empty() && value.back() != ';') {
        value += ';';
    }
    value += kDspLibraryDirs;
    if (setenv(kDspLibraryPathVar, value.c_str(), 1) != 0) {
        std::printf("[ERROR] [KESTREL] can't set env for ADSP_LIBRARY_PATH\n");
        return -1;
    }
    return 0;
}

int run_local_mode(int /*sample_time*/) {
    std::printf("[INFO ] [kestrel] %s\n",
                fmt::format("run local model, do nothing .. .. ..").c_str());
    return 0;
}

int print_dsp_info(vorlix::kestrel::DspDomainArray& domains) {
    using vorlix::kestrel::DspUtils;
    printf("NSP has device = %d\n", static_cast<int>(domains.size()));
    for (std::size_t g = 0; g < domains.size(); ++g) {
        const auto& group = domains[g];
        printf("NSP[%d] has core = %d\n", static_cast<int>(g), static_cast<int>(group.size()));
        for (std::size_t i = 0; i < group.size(); ++i) {
            const auto& item = group[i];
            const fastrpc_domain& d = item.domain_info;
            // The name is printed from its 32-byte field only, NUL or not.
            printf(
                "core[%d]: domain_name = %.*s, domain_id = 0x%x, domain_type = %s(%d), "
                "domain_card_no = %x, domain_status = %s, effect_id = 0x%x, vtcm = %f (mb) \n",
                static_cast<int>(i), static_cast<int>(strnlen(d.name, sizeof(d.name))), d.name,
                d.id, DspUtils::fastrpc_domain_type_to_string(static_cast<int>(d.type)),
                static_cast<int>(d.type), d.card, d.status == 0 ? "down" : "up",
                static_cast<unsigned>(item.effect_id), static_cast<double>(item.vtcm_size_mb));
        }
    }
    return 0;
}

int sample_and_analyze_one_times(vorlix::kestrel::DataAnalyzer& analyzer,
                                 cmdline_user_params& params) {
    auto& stub = analyzer.GetDspStub();
    if (params.run_legacy) {
        if (stub.sample_register_legacy(params.sample_time) < 0) {
            printf("[ERROR] [KESTREL] %s\n", "kestrel_stub sample_register_legacy failure.\n");
            return -1;
        }
    } else if (stub.sample_register(params.sample_time) < 0) {
        printf("[ERROR] [KESTREL] %s\n", "kestrel_stub sample_register failure.\n");
        return -1;
    }
    analyzer.analyze();
    if (params.run_legacy) {
        analyzer.print_dsp_legacy();
        return 0;
    }
    if (params.all) {
        analyzer.print_all();
        return 0;
    }
    if (params.dsp) {
        analyzer.print_dsp();
    }
    if (params.hvx) {
        analyzer.print_hvx();
    }
    if (params.hmx) {
        analyzer.print_hmx();
    }
    if (params.debug) {
        analyzer.print_dbg();
    }
    return 0;
}

int kestrel_run(int argc, const char** argv) {
    // Every object of the run lives in this frame and is released in reverse order of
    // construction on every return path. The analyzer, which owns the sampling session, is
    // the first of them, so that its destruction closes the session on every early return.

    vorlix::kestrel::DataAnalyzer analyzer;

    // The parameter record with its defaults; the options overwrite them.
    cmdline_user_params user_params;

    my_utils::ArgumentParser parser(cmdline_user_init);

    g_is_loop_run.store(true);

    // No SA_RESTART: a signal must cut a pending sleep short so a follow run ends promptly. A
    // service manager's stop (SIGTERM) and a closed terminal (SIGHUP) end the run as Ctrl-C does,
    // so the group is released and the session closed whichever way the run is stopped.
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (const int signo : kStopSignals) {
        if (sigaction(signo, &action, nullptr) != 0) {
            const std::string what = std::string("sigaction(") + strsignal(signo) + ")";
            std::perror(what.c_str());
            return -1;
        }
    }

    my_utils::CMDLineParams params;
    params.usage = false;
    params.user_param = &user_params;
    if (!parser.cmdline_params_parse(argc, argv, params, nullptr)) {
        std::printf("[ERROR] [KESTREL] parse cmdline failure");
        return -1;
    }
    if (params.usage) {
        return 0;
    }

    // The compute-DSP cores, collected on every run that gets this far.
    vorlix::kestrel::DspDomainArray domains;
    if (vorlix::kestrel::DspUtils::fastrpc_get_dsp_domain_array(domains) < 0) {
        std::printf("[ERROR] [KESTREL] fastrpc_get_dsp_domain_array\n");
        return -1;
    }
    if (user_params.query_info) {
        return print_dsp_info(domains);
    }

    const int socid = get_cur_device_socid();
    if (socid < 0) {
        std::printf("[ERROR] [KESTREL] get_cur_device_socid failure.\n");
        return -1;
    }
    const auto soc = static_cast<std::uint32_t>(socid);

    // Older SoCs have no PMU group on their DSP: they run only in legacy mode, and only they do.
    const bool legacy_soc = soc == get_socid_by_name("SM8250") ||
                            soc == get_socid_by_name("QCM6490") ||
                            soc == get_socid_by_name("QCS6490");
    if (legacy_soc && !user_params.run_legacy) {
        report(fmt::format("kestrel: Only support --run_legacy for SM8250/QCM6490/QCS6490.\n"));
        return -1;
    }
    if (!legacy_soc && user_params.run_legacy) {
        report(fmt::format("kestrel: Don't support --run_legacy for >= v68.\n"));
        return -1;
    }

    const std::uint32_t index = user_params.cdsp_index;
    const bool qcs9075 = soc == get_socid_by_name("QCS9075");
    if (qcs9075) {
        if (index > 1) {
            report(fmt::format("Invalid cdsp_index {}, only support 0 or 1 for QCS9075.\n", index));
            return -1;
        }
        user_params.domain_name = index == 1 ? "cdsp1" : "cdsp";
        user_params.domain_id = index == 1 ? 4 : 3;
    }
    const vorlix::kestrel::DspInfoItem* core = chosen_core(domains, index, qcs9075);
    if (soc == get_socid_by_name("SA8797P")) {
        if (index > 3 && domains.size() == 1 && domains.front().size() == 4) {
            report(fmt::format("Invalid cdsp_index {}, only support 0, 1, 2, 3 for SA8797P.\n",
                               index));
            return -1;
        }
        // The session's domain comes from the platform's description of the core, so an index
        // that addresses no reported core cannot be used.
        if (core == nullptr) {
            const std::size_t cores = domains.empty() ? 0 : domains.front().size();
            report(fmt::format("Invalid cdsp_index {}, the platform reports {} cdsp core(s).\n",
                               index, cores));
            return -1;
        }
        user_params.domain_name = vorlix::kestrel::domain_name_of(core->domain_info);
        user_params.enable_unsigned_pd = false;
        user_params.domain_id = static_cast<std::uint32_t>(core->effect_id);
    }

    // Elsewhere the core only tells the architecture version, which is 0 (unknown) when the
    // platform reported no core at that index.
    const int arch = core != nullptr ? static_cast<int>(core->hex_arch_ver) : 0;
    auto& stub = analyzer.GetDspStub();
    if (!stub.init(kStubLibrary, static_cast<int>(user_params.domain_id), arch)) {
        report(fmt::format("kestrel_stub init failure.\n"));
        return -1;
    }
    if (user_params.enable_unsigned_pd && vorlix::kestrel::DspUtils::try_enable_unsigned_pd(
                                              static_cast<int>(user_params.domain_id)) < 0) {
        return -1;
    }
    if (user_params.run_local) {
        return run_local_mode(static_cast<int>(user_params.sample_time)) == 0 ? 0 : -1;
    }

    if (stub.sample_initialize(!user_params.run_legacy, user_params.domain_name) < 0) {
        report(fmt::format("kestrel_stub sample_initialize failure.\n"));
        return -1;
    }
    // The flag is looked at only after the pause, so a signal ends the run once the current
    // sample is printed. Each report is written when it is complete; a reader that went away
    // ends the run as Ctrl-C does, any other write error fails it once the DSP is left clean.
    bool write_failed = false;
    for (;;) {
        if (sample_and_analyze_one_times(analyzer, user_params) < 0) {
            return -1;
        }
        const vorlix::kestrel::OutputState output = vorlix::kestrel::end_report();
        if (output == vorlix::kestrel::OutputState::kFailed) {
            write_failed = true;
            break;
        }
        if (output == vorlix::kestrel::OutputState::kReaderGone) {
            g_is_loop_run.store(false);
        }
        if (pause_between_samples(user_params.sample_interval_time) < 0) {
            return -1;
        }
        if (!user_params.follow || !g_is_loop_run.load()) {
            break;
        }
    }
    if (stub.sample_finalize(!user_params.run_legacy) < 0) {
        report(fmt::format("kestrel_stub sample_finalize failure.\n"));
        return -1;
    }
    return write_failed ? -1 : 0;
}
