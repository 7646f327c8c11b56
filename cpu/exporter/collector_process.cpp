// The exporter's own process in the families every Prometheus exporter has: CPU time, resident
// and virtual memory, open and allowed descriptors, start time; read from /proc/self at each
// scrape. A figure that cannot be read is left out (its family then has no sample).
#include "cpu/exporter/collector.h"

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace vorlix::kestrel::exporter {

namespace {

struct ProcessFigures {
    bool has_stat = false;
    double cpu_seconds = 0.0;
    double start_time = 0.0;  // 0 when the boot time is unknown
    double virtual_bytes = 0.0;
    double resident_bytes = 0.0;
    long open_fds = -1;
    double max_fds = -1.0;  // -1 unknown; +Inf when unlimited
};

std::string read_text(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Seconds since the epoch at boot, from /proc/stat's btime line; 0 when not found.
double boot_time() {
    std::istringstream lines(read_text("/proc/stat"));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 6, "btime ") == 0) {
            return std::strtod(line.c_str() + 6, nullptr);
        }
    }
    return 0.0;
}

// /proc/self/stat: the fields after the command name, which is in parentheses and may itself
// hold spaces and parentheses (so the last ')' ends it). Field 3, the state, is fields[0].
void read_stat(ProcessFigures* f) {
    const std::string stat = read_text("/proc/self/stat");
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        return;
    }
    std::istringstream in(stat.substr(end + 1));
    std::vector<std::string> fields;
    for (std::string field; in >> field;) {
        fields.push_back(field);
    }
    // utime 14, stime 15 (clock ticks), starttime 22 (ticks after boot), vsize 23 (bytes),
    // rss 24 (pages).
    if (fields.size() < 22) {
        return;
    }
    const auto field = [&](int number) { return std::strtod(fields[number - 3].c_str(), nullptr); };
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
    f->has_stat = true;
    f->cpu_seconds = (field(14) + field(15)) / ticks;
    const double boot = boot_time();
    f->start_time = boot > 0.0 ? boot + field(22) / ticks : 0.0;
    f->virtual_bytes = field(23);
    f->resident_bytes = field(24) * page;
}

long count_open_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    long count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    // The descriptor of the listing itself is not one of the process's.
    return count - 1;
}

// The soft limit of "Max open files" in /proc/self/limits.
double max_fds() {
    std::istringstream lines(read_text("/proc/self/limits"));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 14, "Max open files") == 0) {
            std::istringstream values(line.substr(14));
            std::string soft;
            values >> soft;
            if (soft == "unlimited") {
                return HUGE_VAL;
            }
            return std::strtod(soft.c_str(), nullptr);
        }
    }
    return -1.0;
}

enum Family { kCpu, kResident, kVirtual, kOpenFds, kMaxFds, kStartTime };

class ProcessCollector : public Collector {
  public:
    const std::vector<MetricFamily>& families() const override {
        static const std::vector<MetricFamily> families = {
            {"process_cpu_seconds_total", "counter",
             "Total user and system CPU time spent in seconds."},
            {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes."},
            {"process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes."},
            {"process_open_fds", "gauge", "Number of open file descriptors."},
            {"process_max_fds", "gauge", "Maximum number of open file descriptors."},
            {"process_start_time_seconds", "gauge",
             "Start time of the process since unix epoch in seconds."},
        };
        return families;
    }

    void collect(const Exposition& /*data*/, SampleWriter& out) const override {
        ProcessFigures f;
        read_stat(&f);
        f.open_fds = count_open_fds();
        f.max_fds = max_fds();
        if (f.has_stat) {
            out.sample(kCpu, {}, format_value(f.cpu_seconds));
            out.sample(kResident, {}, format_value(f.resident_bytes));
            out.sample(kVirtual, {}, format_value(f.virtual_bytes));
        }
        if (f.open_fds >= 0) {
            out.sample(kOpenFds, {}, format_value(static_cast<double>(f.open_fds)));
        }
        if (f.max_fds >= 0.0) {
            out.sample(kMaxFds, {}, format_value(f.max_fds));
        }
        if (f.has_stat && f.start_time > 0.0) {
            out.sample(kStartTime, {}, format_value(f.start_time));
        }
    }
};

}  // namespace

std::unique_ptr<const Collector> process_collector() {
    return std::make_unique<ProcessCollector>();
}

}  // namespace vorlix::kestrel::exporter
