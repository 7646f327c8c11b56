// The NSP thermal zones from sysfs.
#include "cpu/exporter/thermal.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <utility>

namespace vorlix::kestrel::exporter {

namespace {

constexpr const char* kThermalDir = "/sys/class/thermal";
constexpr const char* kZonePrefix = "thermal_zone";

// The first line of a small sysfs file, without its line end; false when unreadable.
bool read_line(const std::string& path, std::string* line) {
    std::ifstream in(path);
    return static_cast<bool>(std::getline(in, *line));
}

// The zone numbers present, ascending.
std::vector<unsigned long> zone_numbers() {
    std::vector<unsigned long> numbers;
    DIR* dir = opendir(kThermalDir);
    if (dir == nullptr) {
        return numbers;
    }
    const std::string prefix = kZonePrefix;
    while (const dirent* entry = readdir(dir)) {
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
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

}  // namespace

std::vector<ThermalZone> read_nsp_thermal_zones() {
    std::vector<ThermalZone> zones;
    std::set<std::string> seen;
    for (const unsigned long number : zone_numbers()) {
        const std::string dir =
            std::string(kThermalDir) + "/" + kZonePrefix + std::to_string(number);
        std::string type;
        std::string temp;
        if (!read_line(dir + "/type", &type) || type.compare(0, 3, "nsp") != 0 ||
            !read_line(dir + "/temp", &temp) || seen.count(type) != 0) {
            continue;
        }
        errno = 0;
        char* end = nullptr;
        const long long millidegrees = std::strtoll(temp.c_str(), &end, 10);
        if (end == temp.c_str() || *end != '\0' || errno != 0) {
            continue;
        }
        seen.insert(type);
        zones.push_back(ThermalZone{type, static_cast<double>(millidegrees) / 1000.0});
    }
    return zones;
}

}  // namespace vorlix::kestrel::exporter
