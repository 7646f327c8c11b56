// The DSPs' thermal zones and remote processors, from sysfs.
#include "cpu/sampling/dsp_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

namespace vorlix::kestrel {

namespace {

constexpr const char* kThermalDir = "/sys/class/thermal";
constexpr const char* kRemoteprocDir = "/sys/class/remoteproc";

// The first line of a small sysfs file, without its line end; false when unreadable.
bool read_line(const std::string& path, std::string* line) {
    std::ifstream in(path);
    return static_cast<bool>(std::getline(in, *line));
}

// Millidegrees as the kernel writes them, in degrees; false for anything else.
bool parse_celsius(const std::string& text, double* celsius) {
    errno = 0;
    char* end = nullptr;
    const long long millidegrees = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0) {
        return false;
    }
    *celsius = static_cast<double>(millidegrees) / 1000.0;
    return true;
}

bool read_celsius(const std::string& path, double* celsius) {
    std::string text;
    return read_line(path, &text) && parse_celsius(text, celsius);
}

// A sysfs attribute kept open for reading again; -1 when it cannot be opened.
int open_attribute(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// The attribute's first line read again from its start, without its line end; false when the
// descriptor is not open, the read fails or gives nothing.
bool reread_line(int fd, std::string* line) {
    if (fd < 0) {
        return false;
    }
    char buffer[128];
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return false;
    }
    const void* end = std::memchr(buffer, '\n', static_cast<std::size_t>(n));
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer)
                       : static_cast<std::size_t>(n);
    line->assign(buffer, length);
    return true;
}

// The numbers N of the entries PREFIXN in `dir`, ascending.
std::vector<unsigned long> numbered_entries(const char* dir, const std::string& prefix) {
    std::vector<unsigned long> numbers;
    DIR* d = opendir(dir);
    if (d == nullptr) {
        return numbers;
    }
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string digits = name.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        numbers.push_back(std::strtoul(digits.c_str(), nullptr, 10));
    }
    closedir(d);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// True when `type` is the domain's name or that name followed by a separator ("nsp2-hvx").
bool named_after(const std::string& type, const std::string& domain) {
    return starts_with(type, domain) &&
           (type.size() == domain.size() ||
            !std::isalnum(static_cast<unsigned char>(type[domain.size()])));
}

}  // namespace

const TripPoint* ThermalZone::trip(const std::string& trip_type) const {
    for (const auto& point : trips) {
        if (point.type == trip_type) {
            return &point;
        }
    }
    return nullptr;
}

std::vector<ThermalZone> read_thermal_zones() {
    std::vector<ThermalZone> zones;
    for (const unsigned long number : numbered_entries(kThermalDir, "thermal_zone")) {
        const std::string dir = std::string(kThermalDir) + "/thermal_zone" + std::to_string(number);
        ThermalZone zone;
        zone.number = static_cast<unsigned>(number);
        if (!read_line(dir + "/type", &zone.type) || !read_celsius(dir + "/temp", &zone.celsius)) {
            continue;
        }
        // Trip points are numbered from 0 without gaps.
        for (int k = 0;; ++k) {
            const std::string trip = dir + "/trip_point_" + std::to_string(k);
            TripPoint point;
            if (!read_line(trip + "_type", &point.type)) {
                break;
            }
            if (read_celsius(trip + "_temp", &point.celsius)) {
                zone.trips.push_back(std::move(point));
            }
        }
        zones.push_back(std::move(zone));
    }
    return zones;
}

std::vector<ThermalZone> nsp_thermal_zones(const std::vector<ThermalZone>& zones) {
    std::vector<ThermalZone> nsp;
    std::set<std::string> seen;
    for (const auto& zone : zones) {
        if (starts_with(zone.type, "nsp") && seen.insert(zone.type).second) {
            nsp.push_back(zone);
        }
    }
    return nsp;
}

std::vector<std::size_t> zones_of_core(const std::vector<ThermalZone>& zones,
                                       const std::string& domain_name) {
    std::vector<std::size_t> own;
    std::vector<std::size_t> nsp;
    for (std::size_t i = 0; i < zones.size(); ++i) {
        if (named_after(zones[i].type, domain_name)) {
            own.push_back(i);
        } else if (starts_with(zones[i].type, "nsp")) {
            nsp.push_back(i);
        }
    }
    return !own.empty() || domain_name != "cdsp" ? own : nsp;
}

const ThermalZone* hottest_zone(const std::vector<ThermalZone>& zones,
                                const std::vector<std::size_t>& of) {
    const ThermalZone* best = nullptr;
    for (const std::size_t i : of) {
        if (best == nullptr || zones[i].celsius > best->celsius) {
            best = &zones[i];
        }
    }
    return best;
}

const ThermalZone* zone_for_core(const std::vector<ThermalZone>& zones,
                                 const std::string& domain_name) {
    return hottest_zone(zones, zones_of_core(zones, domain_name));
}

std::vector<Remoteproc> read_remoteprocs() {
    std::vector<Remoteproc> procs;
    for (const unsigned long number : numbered_entries(kRemoteprocDir, "remoteproc")) {
        const std::string dir =
            std::string(kRemoteprocDir) + "/remoteproc" + std::to_string(number);
        Remoteproc proc;
        proc.number = static_cast<unsigned>(number);
        if (!read_line(dir + "/name", &proc.name)) {
            continue;
        }
        read_line(dir + "/state", &proc.state);
        read_line(dir + "/firmware", &proc.firmware);
        procs.push_back(std::move(proc));
    }
    return procs;
}

const Remoteproc* remoteproc_for_core(const std::vector<Remoteproc>& procs,
                                      const std::string& domain_name) {
    for (const auto& proc : procs) {
        std::string word;
        for (std::size_t i = 0; i <= proc.name.size(); ++i) {
            if (i < proc.name.size() && std::isalnum(static_cast<unsigned char>(proc.name[i]))) {
                word += proc.name[i];
                continue;
            }
            if (word == domain_name) {
                return &proc;
            }
            word.clear();
        }
    }
    return nullptr;
}

DspRun classify_remoteproc_state(const std::string& state) {
    if (state == "running" || state == "attached") {
        return DspRun::kRunning;
    }
    if (state == "offline") {
        return DspRun::kOffline;
    }
    if (state == "crashed") {
        return DspRun::kCrashed;
    }
    return DspRun::kOther;
}

RemoteprocState::RemoteprocState(const std::string& domain_name) {
    const std::vector<Remoteproc> procs = read_remoteprocs();
    if (const Remoteproc* proc = remoteproc_for_core(procs, domain_name)) {
        fd_ = open_attribute(std::string(kRemoteprocDir) + "/remoteproc" +
                             std::to_string(proc->number) + "/state");
    }
}

RemoteprocState::~RemoteprocState() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

DspRun RemoteprocState::read() const {
    std::string state;
    return reread_line(fd_, &state) ? classify_remoteproc_state(state) : DspRun::kOther;
}

DspStateWatch::~DspStateWatch() {
    close_all();
}

void DspStateWatch::close_all() {
    for (const int fd : temp_fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    for (const int fd : state_fds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    temp_fds_.clear();
    state_fds_.clear();
}

void DspStateWatch::list() {
    close_all();
    zones_ = read_thermal_zones();
    procs_ = read_remoteprocs();
    for (const auto& zone : zones_) {
        temp_fds_.push_back(open_attribute(std::string(kThermalDir) + "/thermal_zone" +
                                           std::to_string(zone.number) + "/temp"));
    }
    for (const auto& proc : procs_) {
        state_fds_.push_back(open_attribute(std::string(kRemoteprocDir) + "/remoteproc" +
                                            std::to_string(proc.number) + "/state"));
    }
}

bool DspStateWatch::refresh() {
    bool all = true;
    std::string text;
    for (std::size_t i = 0; i < zones_.size(); ++i) {
        double celsius = 0.0;
        const bool read = reread_line(temp_fds_[i], &text) && parse_celsius(text, &celsius);
        if (read) {
            zones_[i].celsius = celsius;
        }
        all = all && read;
    }
    for (std::size_t i = 0; i < procs_.size(); ++i) {
        const bool read = reread_line(state_fds_[i], &text);
        if (read) {
            procs_[i].state = text;
        }
        all = all && read;
    }
    return all;
}

}  // namespace vorlix::kestrel
