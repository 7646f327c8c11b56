// The exported entry points of the simulated libadsprpc.so. Every variant of the library is
// built from this file; the optional entry points (proto/sim_options.h) are exported only by the
// variants that have them and are local in the others, so that a weak reference to them in the
// application resolves to null, as on a board with an older library. The logging functions
// send their messages to the trace.
#include <dlfcn.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "fastrpc/fastrpc_client.h"
#include "platform.h"
#include "sim_proto.h"
#include "sysfs_state.h"

#define SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using kestrel_sim::Platform;

std::mutex g_mutex;
Platform* g_platform = nullptr;  // created at first use, never freed (see the destructor)
// When the application started, as the board's DSP crashes count it: the library's load.
std::chrono::steady_clock::time_point g_started;  // set at load (sim_at_load)
kestrel_sim::SysfsStates* g_states = nullptr;     // for boards whose DSPs crash for a while

std::string env_or(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}

// The DSP host program: named by KESTREL_SIM_DSP, or found in the build tree next to this
// library (sim/lib/VARIANT/libadsprpc.so -> sim/kestrel-sim-dsp).
std::string default_dsp_program() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&default_dsp_program), &info) != 0 &&
        info.dli_fname != nullptr) {
        std::string path = info.dli_fname;
        auto slash = path.rfind('/');
        if (slash != std::string::npos) {
            return path.substr(0, slash) + "/../../kestrel-sim-dsp";
        }
    }
    return "kestrel-sim-dsp";
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ')
            ++j;
        if (j > i)
            words.push_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

Platform& platform() {
    if (g_platform != nullptr)
        return *g_platform;
    kestrel_sim::PlatformOptions opts;
    const std::string board_name = env_or("KESTREL_SIM_BOARD", "sm8650");
    try {
        opts.board = kestrel_sim::load_board(board_name);
    } catch (const std::exception& e) {
        // A broken profile leaves a board without domains: every open fails.
        std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
        opts.board = kestrel_sim::Board{};
        opts.board.name = board_name;
    }
    opts.trace_path = env_or("KESTREL_SIM_TRACE", "");
    opts.start = g_started;
    const std::string mode = env_or("KESTREL_SIM_DSP_MODE", opts.board.dsp);
    if (mode == "hexagon") {
        opts.dsp_command = opts.board.dsp_command.empty()
                               ? std::vector<std::string>{"qemu-hexagon", "-cpu", "v67"}
                               : opts.board.dsp_command;
        opts.dsp_command.push_back(env_or("KESTREL_SIM_DSP_HEXAGON", "kestrel-sim-dsp-hexagon"));
    } else {
        opts.dsp_command = opts.board.dsp_command;
        // The caller's prefix (valgrind, say), then the emulator of a cross-built DSP host.
        auto prefix = split_words(env_or("KESTREL_SIM_DSP_PREFIX", ""));
        const auto launcher = kestrel_sim::dsp_host_launcher();
        prefix.insert(prefix.end(), launcher.begin(), launcher.end());
        opts.dsp_command.insert(opts.dsp_command.begin(), prefix.begin(), prefix.end());
        opts.dsp_command.push_back(env_or("KESTREL_SIM_DSP", default_dsp_program()));
    }
    g_platform = new Platform(std::move(opts));
    return *g_platform;
}

// Runs at load, while the process has one thread: a board whose DSPs crash for a while gets
// the sysfs tree of its own that shows their states (sysfs_state.h).
__attribute__((constructor)) void sim_at_load() {
    g_started = std::chrono::steady_clock::now();
    try {
        const kestrel_sim::Board board =
            kestrel_sim::load_board(env_or("KESTREL_SIM_BOARD", "sm8650"));
        g_states = kestrel_sim::SysfsStates::start(board, g_started).release();
    } catch (const std::exception&) {
        // A broken profile is reported at the first platform call.
    }
}

// Runs at exit (and at a normal return from main): records what is still open and stops the
// DSPs. The platform object itself stays allocated: other exit-time code may still call in.
__attribute__((destructor)) void sim_at_exit() {
    delete g_states;  // stops its thread, removes the process's tree
    g_states = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_platform != nullptr) {
        g_platform->shutdown();
    } else if (const char* trace = std::getenv("KESTREL_SIM_TRACE"); trace && *trace) {
        kestrel_sim::Trace t;
        t.open(trace);
        t.line({{"side", "ap"}, {"call", "exit"}, {"open_sessions", 0}, {"pmu_groups", 0}});
    }
}

}  // namespace

SIM_EXPORT int remote_handle64_open(const char* name, remote_handle64* ph) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().open(name, ph);
}

SIM_EXPORT int remote_handle64_close(remote_handle64 h) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().close(h);
}

SIM_EXPORT int remote_handle64_invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().invoke(h, scalars, pra);
}

SIM_EXPORT int remote_session_control(uint32_t req, void* data, uint32_t datalen) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().session_control(req, data, datalen);
}

SIM_EXPORT int remote_handle_control(uint32_t req, void* data, uint32_t datalen) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().handle_control(req, data, datalen);
}

SIM_EXPORT int remote_system_request(system_req_payload* req) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return platform().system_request(req);
}

SIM_EXPORT void HAP_debug_runtime(int level, const char* file, int line, const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_mutex);
    va_list ap;
    va_start(ap, format);
    platform().log("HAP_debug_runtime", level, file, line, format, ap);
    va_end(ap);
}

SIM_EXPORT void HAP_debug_v2(int level, const char* file, int line, const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_mutex);
    va_list ap;
    va_start(ap, format);
    platform().log("HAP_debug_v2", level, file, line, format, ap);
    va_end(ap);
}
