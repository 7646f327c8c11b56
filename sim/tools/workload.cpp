// A workload of the virtual board: a program whose work loads one core of the simulated DSP
// while it runs, as a real FastRPC client's would.
//
//   kestrel-sim-workload [--domain NAME] [--core F] [--hvx F] [--hmx F] [--seconds S] ...
//
// The loads are shares, 0 to 1: --core of the core's clock, --hvx and --hmx of those busy
// cycles' packets and cycles (what kestrel shows as HVX and HMX utilisation). Each --seconds
// ends a step of that length with the loads given so far (a load holds until it is given again);
// loads given after the last --seconds (or without any) make a last step that lasts until the
// program is killed. The loads add to the board's own and to other workloads'. When the steps
// end, or the program is killed, its load goes: every DSP host of the domain holds a link to it
// and notices that it closed (sim_workload.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "board.h"
#include "sim_workload.h"

namespace {

struct Step {
    double seconds = 0.0;  // 0: until the program is killed
    double core = 0.0, hvx = 0.0, hmx = 0.0;
};

struct Options {
    std::string domain;
    std::vector<Step> steps;
};

constexpr const char* kUsage =
    "usage: kestrel-sim-workload [--domain NAME] [--core F] [--hvx F] [--hmx F] [--seconds S] "
    "...\n"
    "  loads a core of the virtual board's DSP while it runs: --core, --hvx and --hmx are\n"
    "  shares from 0 to 1 (HVX and HMX of the core's busy cycles); each --seconds S ends a step\n"
    "  of S seconds with the loads given so far; loads after the last --seconds last until the\n"
    "  program is killed. --domain defaults to the board's first domain.\n";

int fail(const std::string& text) {
    std::fprintf(stderr, "kestrel-sim-workload: %s\n", text.c_str());
    return 2;
}

bool parse_number(const char* text, double low, double high, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < low ||
        value > high) {
        return false;
    }
    *out = value;
    return true;
}

// Reads the command line into `options`; an error text, empty when it is fine.
std::string parse(int argc, char** argv, Options* options) {
    Step current;
    bool pending = false;  // loads given since the last --seconds
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return arg + " needs a value (--help tells the options)";
        }
        const char* value = argv[++i];
        double* share = arg == "--core"  ? &current.core
                        : arg == "--hvx" ? &current.hvx
                        : arg == "--hmx" ? &current.hmx
                                         : nullptr;
        if (arg == "--domain") {
            options->domain = value;
        } else if (share != nullptr) {
            if (!parse_number(value, 0.0, 1.0, share)) {
                return arg + " takes a share from 0 to 1, not " + value;
            }
            pending = true;
        } else if (arg == "--seconds") {
            if (!parse_number(value, 0.001, 1e6, &current.seconds)) {
                return std::string("--seconds takes 0.001 to 1000000, not ") + value;
            }
            options->steps.push_back(current);
            pending = false;
        } else {
            return "unknown option " + arg + " (--help tells the options)";
        }
    }
    if (pending || options->steps.empty()) {
        current.seconds = 0.0;
        options->steps.push_back(current);
    }
    if (options->steps.size() > SIM_WORKLOAD_MAX_STEPS) {
        return "at most " + std::to_string(SIM_WORKLOAD_MAX_STEPS) + " steps";
    }
    for (const Step& step : options->steps) {
        if (step.core == 0.0 && (step.hvx > 0.0 || step.hmx > 0.0)) {
            return "an HVX or HMX load needs --core above 0 (they are shares of the core's busy "
                   "cycles)";
        }
    }
    return "";
}

// The domain on the runner's board (KESTREL_SIM_BOARD): the one asked for must exist there;
// none asked for is the board's first. An error text, empty when it is fine.
std::string check_domain(Options* options) {
    const char* name = std::getenv("KESTREL_SIM_BOARD");
    if (name == nullptr || name[0] == '\0') {
        if (options->domain.empty()) {
            options->domain = "cdsp";
        }
        return "";
    }
    try {
        const kestrel_sim::Board board = kestrel_sim::load_board(name);
        if (options->domain.empty() && !board.domains.empty()) {
            options->domain = board.domains.front().name;
        }
        if (board.find_by_name(options->domain) != nullptr) {
            return "";
        }
        std::string names;
        for (const auto& domain : board.domains) {
            names += " " + domain.name;
        }
        return "board " + std::string(name) + " has no domain " + options->domain + " (it has" +
               names + ")";
    } catch (const std::exception& e) {
        return std::string("board ") + name + ": " + e.what();
    }
}

std::uint64_t monotonic_ns() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::string steps_text(const Options& options, std::uint64_t start_ns) {
    std::string text =
        std::string(SIM_WORKLOAD_HELLO) + "\nstart " + std::to_string(start_ns) + "\n";
    char line[128];
    for (const Step& step : options.steps) {
        std::snprintf(line, sizeof line, "step %llu %.9g %.9g %.9g\n",
                      static_cast<unsigned long long>(std::llround(step.seconds * 1e9)), step.core,
                      step.hvx, step.hmx);
        text += line;
    }
    return text + "end\n";
}

// The socket's name once it listens (empty before), for the signal handler.
char g_socket_path[4096];

// A stop signal takes the socket's name away and then ends the program as the signal would.
void on_stop(int signo) {
    if (g_socket_path[0] != '\0') {
        unlink(g_socket_path);
    }
    signal(signo, SIG_DFL);
    raise(signo);
}

// Listens on DIR/DOMAIN/PID.sock (a hidden name first, renamed once it listens). The descriptor,
// or -1 with the reason in `why`.
int listen_in(const std::string& folder, std::string* why) {
    std::error_code made;
    std::filesystem::create_directories(folder, made);
    if (made) {
        *why = "cannot make " + folder + ": " + made.message();
        return -1;
    }
    const int dir_fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const std::string pid = std::to_string(getpid());
    const std::string hidden = "." + pid + ".new";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // The folder may lie deeper than a socket address holds: it is reached by its descriptor.
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", dir_fd,
                  hidden.c_str());
    unlinkat(dir_fd, hidden.c_str(), 0);
    const bool ok = dir_fd >= 0 && fd >= 0 &&
                    bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                    listen(fd, 16) == 0;
    const std::string path = folder + "/" + pid + SIM_WORKLOAD_SUFFIX;
    if (ok && path.size() < sizeof g_socket_path) {
        std::memcpy(g_socket_path, path.c_str(), path.size() + 1);
    }
    if (!ok || renameat(dir_fd, hidden.c_str(), dir_fd, (pid + SIM_WORKLOAD_SUFFIX).c_str()) != 0) {
        *why = "cannot listen in " + folder + ": " + std::strerror(errno);
        unlinkat(dir_fd, hidden.c_str(), 0);
        g_socket_path[0] = '\0';
        if (dir_fd >= 0) {
            close(dir_fd);
        }
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    close(dir_fd);
    return fd;
}

// Serves the DSP hosts that connect until the steps end (forever with a last step that lasts).
void serve(int listener, const std::string& text, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::vector<int> links;  // held open: the load lasts as long as they do
    for (;;) {
        int timeout = -1;
        if (seconds > 0.0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return;
            }
            timeout = static_cast<int>(left.count()) + 1;
        }
        pollfd fd{listener, POLLIN, 0};
        if (poll(&fd, 1, timeout) <= 0) {
            continue;
        }
        const int link = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (link < 0) {
            continue;
        }
        if (send(link, text.data(), text.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(text.size())) {
            links.push_back(link);
        } else {
            close(link);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    std::string why = parse(argc, argv, &options);
    if (why.empty()) {
        why = check_domain(&options);
    }
    if (why.empty() && (options.domain.empty() || options.domain[0] == '.' ||
                        options.domain.find('/') != std::string::npos)) {
        why = "no domain " + options.domain;
    }
    if (!why.empty()) {
        return fail(why);
    }
    const char* base = std::getenv(SIM_WORKLOADS_ENV);
    if (base == nullptr || base[0] == '\0') {
        return fail(std::string(SIM_WORKLOADS_ENV) +
                    " names no folder: run it on the virtual board (scripts/run --stat, "
                    "sim/run-board)");
    }
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signo, on_stop);
    }
    const int listener = listen_in(std::string(base) + "/" + options.domain, &why);
    if (listener < 0) {
        return fail(why);
    }
    const std::uint64_t start_ns = monotonic_ns();
    double total = 0.0;
    for (const Step& step : options.steps) {
        total = step.seconds > 0.0 && total >= 0.0 ? total + step.seconds : -1.0;
    }
    serve(listener, steps_text(options, start_ns), total > 0.0 ? total : 0.0);
    unlink(g_socket_path);
    return 0;
}
