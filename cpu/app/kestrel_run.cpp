#include "cpu/kestrel_run.h"

#include <signal.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cpu/cmdline.h"
#include "cpu/cmdline_user.h"
#include "cpu/data_analyzer.h"
#include "cpu/dsp_utils.h"
#include "cpu/output.h"
#include "cpu/sampling/board.h"
#include "cpu/sampling/library_path.h"
#include "cpu/sampling/session.h"
#include "cpu/soc_rules.h"
#include "cpu/socinfo.h"

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler needs a lock-free flag");

std::atomic<bool> g_is_loop_run{false};

namespace {

// The signals that end a run: Ctrl-C, a service manager's stop, a closed terminal.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Prints a driver error: the tag, the formatted text (which ends with its own line end) and one
// more line end.
__attribute__((format(printf, 1, 2))) void report(const char* format, ...) {
    std::printf("[ERROR] [KESTREL] ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
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
    if (!vorlix::kestrel::extend_dsp_library_path()) {
        std::printf("[ERROR] [KESTREL] can't set env for ADSP_LIBRARY_PATH\n");
        return -1;
    }
    return 0;
}

int run_local_mode(int /*sample_time*/) {
    std::printf("[INFO ] [kestrel] run local model, do nothing .. .. ..\n");
    return 0;
}

int print_dsp_info(vorlix::kestrel::DspDomainArray& domains) {
    using vorlix::kestrel::DspUtils;
    std::printf("NSP has device = %d\n", static_cast<int>(domains.size()));
    for (std::size_t g = 0; g < domains.size(); ++g) {
        const auto& group = domains[g];
        std::printf("NSP[%d] has core = %d\n", static_cast<int>(g), static_cast<int>(group.size()));
        for (std::size_t i = 0; i < group.size(); ++i) {
            const auto& item = group[i];
            const fastrpc_domain& d = item.domain_info;
            // The name is printed from its 32-byte field only, NUL or not.
            std::printf(
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
    if (!vorlix::kestrel::sample_window(analyzer, params.run_legacy, params.sample_time)) {
        std::printf("[ERROR] [KESTREL] %s\n", params.run_legacy
                                                  ? "kestrel_stub sample_register_legacy failure.\n"
                                                  : "kestrel_stub sample_register failure.\n");
        return -1;
    }
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
    const bool legacy_soc = vorlix::kestrel::is_legacy_soc(soc);
    if (legacy_soc && !user_params.run_legacy) {
        report("kestrel: Only support --run_legacy for SM8250/QCM6490/QCS6490.\n");
        return -1;
    }
    if (!legacy_soc && user_params.run_legacy) {
        report("kestrel: Don't support --run_legacy for >= v68.\n");
        return -1;
    }

    const std::uint32_t index = user_params.cdsp_index;
    vorlix::kestrel::CoreTarget target;
    switch (vorlix::kestrel::choose_core(soc, domains, index, &target)) {
        case vorlix::kestrel::CoreChoice::kQcs9075Index:
            report("Invalid cdsp_index %u, only support 0 or 1 for QCS9075.\n", index);
            return -1;
        case vorlix::kestrel::CoreChoice::kSa8797pIndex:
            report("Invalid cdsp_index %u, only support 0, 1, 2, 3 for SA8797P.\n", index);
            return -1;
        case vorlix::kestrel::CoreChoice::kSa8797pNoCore: {
            const std::size_t cores = domains.empty() ? 0 : domains.front().size();
            report("Invalid cdsp_index %u, the platform reports %zu cdsp core(s).\n", index, cores);
            return -1;
        }
        case vorlix::kestrel::CoreChoice::kOk:
            break;
    }
    user_params.domain_name = target.domain_name;
    user_params.domain_id = target.domain_id;
    if (!target.unsigned_pd) {
        user_params.enable_unsigned_pd = false;
    }

    // Elsewhere than on the SoCs whose platform names the cores, the core only tells the
    // architecture version, which is 0 (unknown) when the platform reported no core there.
    auto& stub = analyzer.GetDspStub();
    if (!vorlix::kestrel::load_stub(stub, target)) {
        report("kestrel_stub init failure.\n");
        return -1;
    }
    if (user_params.enable_unsigned_pd &&
        !vorlix::kestrel::enable_unsigned_pd(user_params.domain_id)) {
        return -1;
    }
    if (user_params.run_local) {
        return run_local_mode(static_cast<int>(user_params.sample_time)) == 0 ? 0 : -1;
    }

    if (!vorlix::kestrel::open_session(stub, target, user_params.run_legacy)) {
        report("kestrel_stub sample_initialize failure.\n");
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
    if (!vorlix::kestrel::close_session(stub, user_params.run_legacy)) {
        report("kestrel_stub sample_finalize failure.\n");
        return -1;
    }
    return write_failed ? -1 : 0;
}
