#include "cpu/kestrel_run.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "cpu/cmdline.h"
#include "cpu/cmdline_user.h"

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGINT handler needs a lock-free flag");

std::atomic<bool> g_is_loop_run{false};

namespace {

// Where the FastRPC client library looks for the DSP library.
constexpr const char* kDspLibraryPathVar = "ADSP_LIBRARY_PATH";
constexpr const char* kDspLibraryDirs = "/usr/lib/skel;./lib";

}  // namespace

void signal_handler(int signo) {
    if (signo == SIGINT) {
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

int kestrel_run(int argc, const char** argv) {
    // Every object of the run lives in this frame and is released in reverse order of
    // construction on every return path. The analyzer, which owns the sampling session, is
    // the first of them, so that its destruction closes the session on every early return.

    // The parameter record with its defaults; the options overwrite them.
    cmdline_user_params user_params;

    my_utils::ArgumentParser parser(cmdline_user_init);

    g_is_loop_run.store(true);

    // No SA_RESTART: SIGINT must cut a pending sleep short so a follow run ends promptly.
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        const std::string what = std::string("sigaction(") + strsignal(SIGINT) + ")";
        std::perror(what.c_str());
        return -1;
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

    // The DSP query, the SoC rules and the sampling session continue the run from here. A
    // build without them must not pretend to have sampled.
    std::printf("[ERROR] [KESTREL] sampling is not available in this build\n");
    return -1;
}
