// Measures programs for bench/run. Every command runs with the environment of ENV_FILE (one
// NAME=VALUE a line, as env(1) prints it), or of FILE when its first word is @FILE, and the
// standard output of a command goes to the probe (or /dev/null); several commands are
// separated by ":::".
//
//   kestrel_probe ENV_FILE wall N CMD [::: CMD...]
//       runs the commands N times each, interleaved (one of each in turn); per command the
//       median and the 90th percentile of the wall time in ms, start to exit, and the median
//       CPU time (user+sys of the process and the children it waited for, wait4) in ms.
//   kestrel_probe ENV_FILE cpu SECONDS CMD [::: CMD...]
//       runs the commands at the same time for SECONDS, then reads the CPU time of each
//       process alone (user+sys, /proc/PID/schedstat in ns, and /proc/PID/stat in clock ticks)
//       and stops them with SIGINT; per command ms of CPU per second run.
//   kestrel_probe ENV_FILE passes N WINDOW_MS INTERVAL_MS CMD [::: CMD...]
//       runs the commands at the same time until each has printed N+1 reports (a report starts
//       with "dsp arch:"); per command the median and 90th percentile of the time between two
//       reports less WINDOW_MS and INTERVAL_MS, in ms.
//   kestrel_probe ENV_FILE rss N CMD
//       runs the command until it has printed N reports; its peak resident memory (VmHWM, kB)
//       after the first report and after report N.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A program with its arguments and its environment.
struct Command {
    std::vector<std::string> args;
    std::vector<std::string> env;
};

const char kMarker[] = "dsp arch:";
constexpr size_t kMarkerLen = sizeof kMarker - 1;

std::vector<std::string> read_env(const std::string& path) {
    std::vector<std::string> env;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.find('=') != std::string::npos)
            env.push_back(line);
    }
    if (env.empty()) {
        std::fprintf(stderr, "kestrel_probe: no environment in %s\n", path.c_str());
        std::exit(2);
    }
    return env;
}

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::vector<Command> split_commands(const std::vector<std::string>& env, int argc, char** argv,
                                    int first) {
    std::vector<Command> out(1, Command{{}, env});
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], ":::") == 0) {
            out.push_back(Command{{}, env});
        } else if (argv[i][0] == '@' && out.back().args.empty()) {
            out.back().env = read_env(argv[i] + 1);
        } else {
            out.back().args.push_back(argv[i]);
        }
    }
    return out;
}

// Starts the command; its standard output goes to `out_fd` (the probe's pipe or /dev/null).
pid_t start(const Command& cmd, int out_fd) {
    std::vector<char*> args;
    for (const auto& a : cmd.args)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : cmd.env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDERR_FILENO);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int dev_null() {
    static int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

double quantile(std::vector<double> v, double q) {
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

int wall(int n, const std::vector<Command>& cmds) {
    std::vector<std::vector<double>> times(cmds.size()), cpu_times(cmds.size());
    for (int r = 0; r < n; ++r) {
        for (size_t c = 0; c < cmds.size(); ++c) {
            const double t0 = now_ms();
            const pid_t pid = start(cmds[c], dev_null());
            int status = 0;
            rusage usage{};
            wait4(pid, &status, 0, &usage);
            times[c].push_back(now_ms() - t0);
            auto ms = [](const timeval& tv) {
                return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
            };
            cpu_times[c].push_back(ms(usage.ru_utime) + ms(usage.ru_stime));
        }
    }
    for (size_t c = 0; c < cmds.size(); ++c) {
        std::printf("%.3f %.3f %.3f\n", quantile(times[c], 0.5), quantile(times[c], 0.9),
                    quantile(cpu_times[c], 0.5));
    }
    return 0;
}

// CPU time of the process alone, in ms: from the scheduler's ns and from the clock ticks.
void cpu_of(pid_t pid, double* sched_ms, double* tick_ms) {
    std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns = 0;
    sched >> ns;
    *sched_ms = static_cast<double>(ns) / 1e6;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    *tick_ms =
        static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int cpu(double seconds, const std::vector<Command>& cmds) {
    std::vector<pid_t> pids;
    const double t0 = now_ms();
    for (const auto& c : cmds)
        pids.push_back(start(c, dev_null()));
    const timespec pause{
        static_cast<time_t>(seconds),
        static_cast<long>((seconds - static_cast<double>(static_cast<long>(seconds))) * 1e9)};
    nanosleep(&pause, nullptr);
    const double elapsed_s = (now_ms() - t0) / 1e3;
    for (pid_t pid : pids) {
        double sched_ms = 0, tick_ms = 0;
        cpu_of(pid, &sched_ms, &tick_ms);
        std::printf("%.4f %.4f\n", sched_ms / elapsed_s, tick_ms / elapsed_s);
    }
    for (pid_t pid : pids) {
        kill(pid, SIGINT);
        waitpid(pid, nullptr, 0);
    }
    return 0;
}

// Reads a command's output and notes when each report begins.
struct Reader {
    int fd = -1;
    pid_t pid = -1;
    std::string carry;  // the last bytes of the previous read, for a marker split across reads
    std::vector<double> report_times;
    bool done = false;

    // Reads what is there; false at the end of the stream.
    bool read_some() {
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        const double t = now_ms();
        std::string text = carry + std::string(buf, static_cast<size_t>(n));
        size_t pos = 0;
        while ((pos = text.find(kMarker, pos)) != std::string::npos) {
            report_times.push_back(t);
            pos += kMarkerLen;
        }
        const size_t keep = std::min(text.size(), kMarkerLen - 1);
        carry = text.substr(text.size() - keep);
        return true;
    }
};

Reader start_reader(const Command& cmd) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    Reader r;
    r.pid = start(cmd, p[1]);
    close(p[1]);
    r.fd = p[0];
    return r;
}

void finish(Reader& r) {
    kill(r.pid, SIGINT);
    close(r.fd);
    waitpid(r.pid, nullptr, 0);
}

int passes(int n, double window, double interval, const std::vector<Command>& cmds) {
    std::vector<Reader> readers;
    for (const auto& c : cmds)
        readers.push_back(start_reader(c));
    size_t open = readers.size();
    while (open > 0) {
        std::vector<pollfd> fds;
        for (auto& r : readers)
            fds.push_back({r.done ? -1 : r.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        for (size_t i = 0; i < readers.size(); ++i) {
            Reader& r = readers[i];
            if (r.done || fds[i].revents == 0)
                continue;
            if (!r.read_some() || r.report_times.size() > static_cast<size_t>(n)) {
                r.done = true;
                --open;
            }
        }
    }
    for (auto& r : readers) {
        std::vector<double> eps;
        for (size_t i = 1; i < r.report_times.size() && i <= static_cast<size_t>(n); ++i)
            eps.push_back(r.report_times[i] - r.report_times[i - 1] - window - interval);
        std::printf("%.3f %.3f %zu\n", quantile(eps, 0.5), quantile(eps, 0.9), eps.size());
        finish(r);
    }
    return 0;
}

long hwm_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

int rss(long n, const Command& cmd) {
    Reader r = start_reader(cmd);
    long first = -1;
    while (r.read_some()) {
        if (first < 0 && !r.report_times.empty())
            first = hwm_kb(r.pid);
        if (r.report_times.size() >= static_cast<size_t>(n))
            break;
    }
    std::printf("%ld %ld %zu\n", first, hwm_kb(r.pid), r.report_times.size());
    finish(r);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: kestrel_probe ENV_FILE wall|cpu|passes|rss ...\n");
        return 2;
    }
    const std::vector<std::string> env = read_env(argv[1]);
    signal(SIGPIPE, SIG_IGN);
    const std::string mode = argv[2];
    if (mode == "wall")
        return wall(std::atoi(argv[3]), split_commands(env, argc, argv, 4));
    if (mode == "cpu")
        return cpu(std::atof(argv[3]), split_commands(env, argc, argv, 4));
    if (mode == "passes" && argc >= 7)
        return passes(std::atoi(argv[3]), std::atof(argv[4]), std::atof(argv[5]),
                      split_commands(env, argc, argv, 6));
    if (mode == "rss")
        return rss(std::atol(argv[3]), split_commands(env, argc, argv, 4).front());
    std::fprintf(stderr, "kestrel_probe: unknown mode %s\n", mode.c_str());
    return 2;
}
