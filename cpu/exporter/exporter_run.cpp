// The exporter's run driver.
#include "cpu/exporter/exporter_run.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cpu/exporter/collector.h"
#include "cpu/exporter/core_sampler.h"
#include "cpu/exporter/core_state.h"
#include "cpu/exporter/descriptor_limit.h"
#include "cpu/exporter/exporter_options.h"
#include "cpu/exporter/exposition.h"
#include "cpu/exporter/http_server.h"
#include "cpu/exporter/textfile.h"
#include "cpu/exporter/web_settings.h"
#include "cpu/program_options.h"
#include "cpu/sampling/board.h"
#include "cpu/sampling/dsp_state.h"
#include "cpu/sampling/sampler.h"
// Generated from the project's version and the source tree's git revision, as for kestrel (see
// cpu/app/CMakeLists.txt).
#include "kestrel_revision.h"
#include "kestrel_version.h"

namespace vorlix::kestrel::exporter {

namespace {

// The signals that stop the exporter: Ctrl-C, a service manager's stop, a closed terminal.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr std::uint64_t kLongestWindowMs = 3600000;

void error(const std::string& text) {
    std::fprintf(stderr, "[ERROR] [EXPORTER] %s\n", text.c_str());
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : kStopSignals) {
        sigaddset(&set, signo);
    }
    return set;
}

// From here on the library's log lines, which the session client and the domain queries print
// on standard output, go to standard error; standard output keeps only the exposition, written
// to the returned descriptor. -1 when the descriptors cannot be set up.
int keep_stdout_for_exposition() {
    std::fflush(stdout);
    const int exposition = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (exposition < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        return -1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return exposition;
}

// Writes the exposition; a reader that went away is not a failure of the run.
bool write_exposition(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            if (errno == EPIPE) {
                return true;
            }
            std::fprintf(stderr, "kestrel-exporter: write error: %s\n", std::strerror(errno));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int exporter_run(int argc, const char** argv) {
    // Every thread started from here on inherits the blocked stop signals; the main thread
    // alone takes them, with sigwait, so no sampling window or remote call is ever interrupted.
    const sigset_t signals = stop_signals();
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        error("cannot block the stop signals");
        return -1;
    }

    ExporterParams options;
    // "--name=value" as well as "--name value".
    const std::vector<std::string> args = split_option_values(argc, argv);
    std::vector<const char*> arg_pointers;
    for (const std::string& arg : args) {
        arg_pointers.push_back(arg.c_str());
    }
    switch (parse_program_command_line("[ERROR] [EXPORTER] ", static_cast<int>(arg_pointers.size()),
                                       arg_pointers.data(), exporter_options_init, &options,
                                       nullptr)) {
        case CommandLine::kInvalid:
            return -1;
        case CommandLine::kHelpShown:
            return 0;
        case CommandLine::kRun:
            break;
    }
    if (options.sample_time == 0 || options.sample_time > kLongestWindowMs) {
        error("--sample_time must be from 1 to " + std::to_string(kLongestWindowMs) + " ms");
        return -1;
    }
    if (options.listen.empty()) {
        options.listen.push_back(kDefaultListen);
    }
    std::vector<ListenAddress> addresses;
    std::string why;
    for (const std::string& text : options.listen) {
        ListenAddress address;
        if (!options.once && !options.systemd_socket &&
            !parse_listen_address(text, &address, &why)) {
            error("invalid --web.listen-address " + text + ": " + why);
            return -1;
        }
        addresses.push_back(address);
    }
    if (options.telemetry_path.empty() || options.telemetry_path.front() != '/' ||
        options.telemetry_path.find_first_of("\"<>&?# ") != std::string::npos) {
        error("invalid --web.telemetry-path " + options.telemetry_path +
              ": a path starting with /, without spaces, quotes, <, >, &, ? or #");
        return -1;
    }
    WebConfigFile web_config;
    if (!options.once && !options.web_config_file.empty() &&
        !web_config.load(options.web_config_file, &why)) {
        error("web config " + why);
        return -1;
    }

    const int exposition_fd = keep_stdout_for_exposition();
    if (exposition_fd < 0) {
        error(std::string("standard output: ") + std::strerror(errno));
        return -1;
    }

    MetricsServer server;
    if (!options.once && options.systemd_socket && !server.adopt_systemd_sockets(&why)) {
        error("--web.systemd-socket: " + why);
        return -1;
    }
    for (std::size_t i = 0; !options.once && !options.systemd_socket && i < addresses.size(); ++i) {
        if (!server.bind(addresses[i], &why)) {
            error("cannot listen on " + options.listen[i] + ": " + why);
            return -1;
        }
    }

    // The board's cores, by the SoC rules; the SoC id is read once for the whole run.
    Board board;
    std::vector<CoreTarget> cores;
    if (!discover_cores(options.cdsp_index, &board, &cores, &why)) {
        error(why);
        return -1;
    }
    const bool legacy = board.legacy();

    std::vector<std::unique_ptr<CoreState>> states;
    for (const auto& core : cores) {
        states.push_back(
            std::make_unique<CoreState>(core.domain_name, arch_label(core.arch), legacy));
    }
    const std::string soc_text = board.soc_name;
    const std::string soc_id_text = std::to_string(board.soc_id);
    const std::string version = KESTREL_VERSION;
    const std::string commit = KESTREL_BUILD_COMMIT_ID;
    // What a scrape shows of the board, read when it comes (sysfs reads are cheap).
    const auto read_board = [&]() {
        Exposition data;
        for (const auto& state : states) {
            data.cores.push_back(state->snapshot());
        }
        data.zones = nsp_thermal_zones(read_thermal_zones());
        data.remoteprocs = read_remoteprocs();
        data.soc = soc_text;
        data.soc_id = soc_id_text;
        data.version = version;
        data.commit = commit;
        return data;
    };
    // The board's collectors for --once and the textfile; the served exposition adds the
    // exporter's own unless --web.disable-exporter-metrics.
    const Collectors board_collectors = exposition_collectors();
    const Collectors served_collectors =
        exposition_collectors(options.exporter_metrics ? &server.stats() : nullptr);
    const auto render = [&]() { return render_exposition(board_collectors, read_board()); };
    const auto serve = [&]() { return render_exposition(served_collectors, read_board()); };

    std::unique_ptr<TextfileWriter> textfile;
    if (!options.textfile.empty()) {
        textfile = std::make_unique<TextfileWriter>(options.textfile);
    }
    // In once mode the file is written once, when every core has had its sample.
    const auto on_sample = [&]() {
        if (textfile && !options.once) {
            textfile->write(render);
        }
    };

    ServerOptions serving;
    serving.telemetry_path = options.telemetry_path;
    serving.connections = raise_descriptor_limit().connections;
    serving.max_requests = static_cast<unsigned>(
        std::min<std::uint64_t>(options.max_requests, std::numeric_limits<unsigned>::max()));
    if (!options.once) {
        if (!server.start(serve, serving, web_config.settings(), &why)) {
            error("cannot serve: " + why);
            // The listeners that did start serve with this frame's objects: they stop first.
            server.stop();
            return -1;
        }
        if (!options.web_config_file.empty()) {
            web_config.watch(server);
        }
    }

    StopSignal stop;
    const std::atomic<std::uint32_t> window_ms{static_cast<std::uint32_t>(options.sample_time)};
    std::atomic<std::size_t> finished{0};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < cores.size(); ++i) {
        SamplerConfig config;
        config.target = cores[i];
        config.legacy = legacy;
        config.window_ms = &window_ms;
        config.once = options.once;
        threads.emplace_back([config, &states, i, &stop, &on_sample, &finished]() {
            CoreSampler(config, *states[i], stop, on_sample).run();
            ++finished;
        });
    }
    if (!options.once) {
        const auto settings = web_config.settings();
        const char* scheme = settings && settings->tls ? "https" : "http";
        for (const std::string& address : server.bound_addresses()) {
            std::fprintf(stderr, "[INFO ] [EXPORTER] listening on %s://%s%s\n", scheme,
                         address.c_str(), options.telemetry_path.c_str());
        }
    }

    // Until a stop signal (or, once, until every core has had its sample).
    if (options.once) {
        const timespec poll{0, 50 * 1000 * 1000};
        while (finished.load() < threads.size() && sigtimedwait(&signals, nullptr, &poll) < 0) {
        }
    } else {
        // The web configuration's files are looked at once a second, here, meanwhile.
        const timespec second{1, 0};
        while (sigtimedwait(&signals, nullptr, &second) < 0) {
            web_config.look();
        }
    }
    stop.request();
    web_config.stop();
    server.stop();
    for (auto& thread : threads) {
        thread.join();
    }

    if (options.once) {
        const std::string text = render();
        if (textfile) {
            textfile->write([&text] { return text; });
        }
        const bool written = write_exposition(exposition_fd, text);
        close(exposition_fd);
        return written ? 0 : -1;
    }
    close(exposition_fd);
    return 0;
}

}  // namespace vorlix::kestrel::exporter
