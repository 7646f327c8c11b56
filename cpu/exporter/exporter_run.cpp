// The exporter's run driver, as named steps: the command line, the web configuration, the
// listening sockets, the board's cores, the server, the samplers, the wait for a stop signal,
// the orderly stop.
#include "cpu/exporter/exporter_run.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
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
#include "cpu/exporter/log.h"
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
    log_line(LogLevel::kError, text);
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : kStopSignals) {
        sigaddset(&set, signo);
    }
    return set;
}

// The command line into `options`, "--name=value" as well as "--name value".
CommandLine parse_command_line(int argc, const char** argv, ExporterParams* options) {
    const std::vector<std::string> args = split_option_values(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& arg : args) {
        pointers.push_back(arg.c_str());
    }
    return parse_program_command_line("[ERROR] [EXPORTER] ", static_cast<int>(pointers.size()),
                                      pointers.data(), exporter_options_init, options, nullptr);
}

// The option values the toolkit cannot check by itself; the addresses parsed into `addresses`
// (none in once mode or with systemd's sockets).
bool check_options(ExporterParams* options, std::vector<ListenAddress>* addresses) {
    if (options->sample_time == 0 || options->sample_time > kLongestWindowMs) {
        error("--sample_time must be from 1 to " + std::to_string(kLongestWindowMs) + " ms");
        return false;
    }
    if (options->listen.empty()) {
        options->listen.push_back(kDefaultListen);
    }
    std::string why;
    for (const std::string& text : options->listen) {
        ListenAddress address;
        if (!options->once && !options->systemd_socket) {
            if (!parse_listen_address(text, &address, &why)) {
                error("invalid --web.listen-address " + text + ": " + why);
                return false;
            }
            addresses->push_back(address);
        }
    }
    const std::string& path = options->telemetry_path;
    if (path.empty() || path.front() != '/' ||
        path.find_first_of("\"<>&?# ") != std::string::npos) {
        error("invalid --web.telemetry-path " + path +
              ": a path starting with /, without spaces, quotes, <, >, &, ? or #");
        return false;
    }
    return true;
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

// Once the cores are known, the library's lines go nowhere: a core's failures are told by the
// exporter's own line, once when it goes down and once when it is back, instead of the session
// client's lines at every attempt.
void silence_library_output() {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        close(null);
    }
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

// The kernel's name of the SoC (its socinfo driver's), "" when it publishes none.
std::string soc_machine() {
    std::ifstream in("/sys/devices/soc0/machine");
    std::string line;
    std::getline(in, line);
    return line.substr(0, 64);
}

// The host name, read at each scrape: a board renamed while the exporter runs shows its new name.
std::string host_name() {
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// The board as the exporter shows it: its cores' states, and what a scrape reads of the kernel
// when it comes (sysfs reads are cheap).
class BoardView {
  public:
    // The board's cores by the SoC rules (the SoC id is read once for the whole run).
    bool discover(const ExporterParams& options, std::string* why) {
        if (!discover_cores(options.cdsp_index, &board_, &cores_, why)) {
            return false;
        }
        for (const auto& core : cores_) {
            states_.push_back(
                std::make_unique<CoreState>(core.domain_name, arch_label(core.arch), legacy()));
        }
        machine_ = soc_machine();
        return true;
    }
    bool legacy() const { return board_.legacy(); }
    const std::vector<CoreTarget>& cores() const { return cores_; }
    CoreState& state(std::size_t i) const { return *states_[i]; }

    Exposition read() const {
        Exposition data;
        for (const auto& state : states_) {
            data.cores.push_back(state->snapshot());
        }
        data.zones = nsp_thermal_zones(read_thermal_zones());
        data.remoteprocs = read_remoteprocs();
        data.soc = board_.soc_name;
        data.soc_id = std::to_string(board_.soc_id);
        data.machine = machine_;
        data.host = host_name();
        data.version = KESTREL_VERSION;
        data.commit = KESTREL_BUILD_COMMIT_ID;
        return data;
    }

  private:
    Board board_;
    std::vector<CoreTarget> cores_;
    std::vector<std::unique_ptr<CoreState>> states_;
    std::string machine_;
};

// One sampling thread per core, from construction to stop().
class Samplers {
  public:
    Samplers(const BoardView& view, const ExporterParams& options, std::function<void()> on_sample)
        : window_ms_(static_cast<std::uint32_t>(options.sample_time)),
          on_sample_(std::move(on_sample)) {
        for (std::size_t i = 0; i < view.cores().size(); ++i) {
            SamplerConfig config;
            config.target = view.cores()[i];
            config.legacy = view.legacy();
            config.window_ms = &window_ms_;
            config.once = options.once;
            threads_.emplace_back([this, config, &state = view.state(i)]() {
                CoreSampler(config, state, stop_, on_sample_).run();
                ++finished_;
            });
        }
    }
    ~Samplers() { stop(); }
    Samplers(const Samplers&) = delete;
    Samplers& operator=(const Samplers&) = delete;

    bool all_finished() const { return finished_.load() == threads_.size(); }
    // Ends the windows in progress, and each session; returns once every thread has.
    void stop() {
        stop_.request();
        for (auto& thread : threads_) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }

  private:
    StopSignal stop_;
    const std::atomic<std::uint32_t> window_ms_;
    std::function<void()> on_sample_;
    std::atomic<std::size_t> finished_{0};
    std::vector<std::thread> threads_;
};

// Binds the addresses, or takes systemd's sockets.
bool open_listeners(const ExporterParams& options, const std::vector<ListenAddress>& addresses,
                    MetricsServer* server) {
    std::string why;
    if (options.systemd_socket) {
        if (!server->adopt_systemd_sockets(&why)) {
            error("--web.systemd-socket: " + why);
            return false;
        }
        return true;
    }
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (!server->bind(addresses[i], &why)) {
            error("cannot listen on " + options.listen[i] + ": " + why);
            return false;
        }
    }
    return true;
}

// What the server and the textfile are given to render, and the textfile itself.
struct Rendering {
    Rendering(const BoardView& board, const ExporterParams& options, const ScrapeStats* own)
        : view(board),
          board_collectors(exposition_collectors()),
          served_collectors(exposition_collectors(options.exporter_metrics ? own : nullptr)) {
        if (!options.textfile.empty()) {
            textfile = std::make_unique<TextfileWriter>(options.textfile);
        }
    }
    // The board's collectors, for --once and the textfile.
    std::string render() const { return render_exposition(board_collectors, view.read()); }
    // The served exposition adds the exporter's own unless --web.disable-exporter-metrics.
    std::string serve() const { return render_exposition(served_collectors, view.read()); }
    void write_textfile() const {
        if (textfile) {
            textfile->write([this] { return render(); });
        }
    }

    const BoardView& view;
    const Collectors board_collectors;
    const Collectors served_collectors;
    std::unique_ptr<TextfileWriter> textfile;
};

bool start_server(const ExporterParams& options, const Rendering& rendering,
                  WebConfigFile& web_config, MetricsServer* server) {
    ServerOptions serving;
    serving.telemetry_path = options.telemetry_path;
    serving.connections = raise_descriptor_limit().connections;
    serving.max_requests = static_cast<unsigned>(
        std::min<std::uint64_t>(options.max_requests, std::numeric_limits<unsigned>::max()));
    std::string why;
    if (!server->start([&rendering] { return rendering.serve(); }, serving, web_config.settings(),
                       &why)) {
        error("cannot serve: " + why);
        return false;
    }
    if (!options.web_config_file.empty()) {
        web_config.watch(*server);
    }
    return true;
}

void announce(const ExporterParams& options, const WebConfigFile& web_config,
              const MetricsServer& server) {
    const auto settings = web_config.settings();
    const char* scheme = settings && settings->tls ? "https" : "http";
    for (const std::string& address : server.bound_addresses()) {
        log_line(LogLevel::kInfo,
                 std::string("listening on ") + scheme + "://" + address + options.telemetry_path);
    }
}

// Stops the server when it goes.
struct ServerStop {
    MetricsServer& server;
    ~ServerStop() { server.stop(); }
};

// Serves until a stop signal, looking at the web configuration's files once a second.
int serve(const ExporterParams& options, const std::vector<ListenAddress>& addresses,
          const sigset_t& signals) {
    WebConfigFile web_config;
    std::string why;
    if (!options.web_config_file.empty() && !web_config.load(options.web_config_file, &why)) {
        error("web config " + why);
        return -1;
    }
    const int exposition_fd = keep_stdout_for_exposition();
    if (exposition_fd < 0) {
        error(std::string("standard output: ") + std::strerror(errno));
        return -1;
    }
    close(exposition_fd);
    MetricsServer server;
    BoardView board;
    if (!open_listeners(options, addresses, &server) || !board.discover(options, &why)) {
        if (!why.empty()) {
            error(why);
        }
        return -1;
    }
    silence_library_output();
    const Rendering rendering(board, options, &server.stats());
    if (!start_server(options, rendering, web_config, &server)) {
        server.stop();
        return -1;
    }
    // From here on, whatever the return, the samplers stop first, then the server, before what
    // they render from goes.
    const ServerStop server_stop{server};
    Samplers samplers(board, options, [&rendering] { rendering.write_textfile(); });
    announce(options, web_config, server);
    const timespec second{1, 0};
    while (sigtimedwait(&signals, nullptr, &second) < 0) {
        web_config.look();
    }
    return 0;
}

// One sample of every core (or a stop signal), then the exposition on standard output.
int once(const ExporterParams& options, const sigset_t& signals) {
    const int exposition_fd = keep_stdout_for_exposition();
    if (exposition_fd < 0) {
        error(std::string("standard output: ") + std::strerror(errno));
        return -1;
    }
    BoardView board;
    std::string why;
    if (!board.discover(options, &why)) {
        error(why);
        close(exposition_fd);
        return -1;
    }
    silence_library_output();
    const Rendering rendering(board, options, nullptr);
    Samplers samplers(board, options, nullptr);
    const timespec poll{0, 50 * 1000 * 1000};
    while (!samplers.all_finished() && sigtimedwait(&signals, nullptr, &poll) < 0) {
    }
    samplers.stop();
    const std::string text = rendering.render();
    if (rendering.textfile) {
        rendering.textfile->write([&text] { return text; });
    }
    const bool written = write_exposition(exposition_fd, text);
    close(exposition_fd);
    return written ? 0 : -1;
}

}  // namespace

int exporter_run(int argc, const char** argv) {
    // Every thread started from here on inherits the blocked stop signals; the main thread
    // alone takes them, so no sampling window or remote call is ever interrupted.
    const sigset_t signals = stop_signals();
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        error("cannot block the stop signals");
        return -1;
    }
    ExporterParams options;
    const CommandLine parsed = parse_command_line(argc, argv, &options);
    if (parsed != CommandLine::kRun) {
        return parsed == CommandLine::kHelpShown ? 0 : -1;
    }
    std::vector<ListenAddress> addresses;
    if (!check_options(&options, &addresses)) {
        return -1;
    }
    return options.once ? once(options, signals) : serve(options, addresses, signals);
}

}  // namespace vorlix::kestrel::exporter
