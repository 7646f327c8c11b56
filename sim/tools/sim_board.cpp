// The runner's helper for board profiles:
//   kestrel-sim-board --list                      built-in board names, one per line
//   kestrel-sim-board --check BOARD               validates a profile (message and status 1)
//   kestrel-sim-board --library BOARD             the library variant the board uses
//   kestrel-sim-board --dsp BOARD                 host or hexagon
//   kestrel-sim-board --sysfs BOARD BASE          prints a directory under BASE whose
//                                                 sys/devices/soc0/soc_id is as the board has
//                                                 it (absent, unreadable, contents), whose
//                                                 sys/class/thermal holds its thermal zones
//                                                 with their trip points, sys/class/remoteproc
//                                                 its DSPs' remote processors and dev its
//                                                 device nodes; one per distinct contents,
//                                                 created atomically, so concurrent runs never
//                                                 see it half made
//   kestrel-sim-board --print BOARD               the resolved profile as JSON
//   kestrel-sim-board --setup BOARD BASE          what the runner needs, in one run: the
//                                                 library variant on the first line, the
//                                                 --sysfs directory on the second, and on
//                                                 the third what of kestrel is installed:
//                                                 1 or 0 for libkestrel.so, then build, host
//                                                 or none for libkestrel_skel.so
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "board.h"

namespace {

int usage() {
    std::cerr << "usage: kestrel-sim-board --list | --check BOARD | --library BOARD | --dsp BOARD"
                 " | --sysfs BOARD DIR | --print BOARD | --setup BOARD DIR\n";
    return 2;
}

namespace fs = std::filesystem;

// Creates a directory and the missing ones above it; true when it exists afterwards.
bool make_dirs(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

// FNV-1a, to name a tree after what it holds.
uint64_t fnv1a(const std::string& text) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

// Writes `text` to a new file; false on failure.
bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// A user or group id from a name or a decimal id; false for a name the system does not know.
bool account_id(const std::string& text, bool group, uint32_t* id) {
    if (text.find_first_not_of("0123456789") == std::string::npos) {
        *id = static_cast<uint32_t>(std::stoul(text));
        return true;
    }
    if (group) {
        const struct group* g = ::getgrnam(text.c_str());
        if (g != nullptr)
            *id = g->gr_gid;
        return g != nullptr;
    }
    const struct passwd* p = ::getpwnam(text.c_str());
    if (p != nullptr)
        *id = p->pw_uid;
    return p != nullptr;
}

// A device node of the tree: a plain file, which umockdev shows as a character device with the
// file's mode, owner and group. The owner and group are given when this process may (as root);
// otherwise the file keeps this user's, which grants no more than the board's would to anyone
// but this user.
bool write_device(const std::string& tree, const kestrel_sim::DeviceNode& node) {
    const std::string path = tree + node.path;
    if (!make_dirs(fs::path(path).parent_path()) || !write_file(path, ""))
        return false;
    uint32_t uid = 0, gid = 0;
    if (!account_id(node.owner, false, &uid) || !account_id(node.group, true, &gid)) {
        std::cerr << "kestrel-sim-board: " << node.path << ": no such "
                  << (account_id(node.owner, false, &uid) ? "group '" + node.group + "'"
                                                          : "user '" + node.owner + "'")
                  << " on this system\n";
        return false;
    }
    if (::geteuid() == 0 && ::chown(path.c_str(), uid, gid) != 0)
        return false;
    return ::chmod(path.c_str(), node.mode) == 0;
}

// The SoC's name as the kernel's socinfo publishes it in sys/devices/soc0/machine ("SA8797P"):
// the profile's soc_name in capitals; none without one.
std::string machine_name(const kestrel_sim::Board& b) {
    std::string name = b.soc_name;
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// What the tree holds, as text: two boards with the same text share a tree.
std::string tree_key(const kestrel_sim::Board& b) {
    std::string key;
    if (b.soc_kind == kestrel_sim::SocIdKind::kMissing)
        key = "missing";
    if (b.soc_kind == kestrel_sim::SocIdKind::kUnreadable)
        key = "unreadable";
    if (b.soc_kind == kestrel_sim::SocIdKind::kText)
        key = "text:" + b.soc_text;
    key += "|machine:" + machine_name(b);
    key += "|thermal";
    for (const auto& zone : b.thermal_zones) {
        key += ":" + zone.type + "=" + std::to_string(zone.temp_millicelsius);
        for (const auto& trip : zone.trips)
            key += "," + trip.type + "=" + std::to_string(trip.temp_millicelsius);
    }
    key += "|remoteproc";
    for (const auto& d : b.domains) {
        if (d.remoteproc)
            key +=
                ":" + d.remoteproc->name + "=" + d.remoteproc->state + "," + d.remoteproc->firmware;
    }
    key += "|dev";
    for (const auto& d : b.domains) {
        if (d.device)
            key += ":" + d.device->path + "=" + std::to_string(d.device->mode) + "," +
                   d.device->owner + "," + d.device->group;
    }
    return key;
}

// The SoC's files: its id (text, or a folder where a file belongs when the profile makes it
// unreadable, or none) and its machine name when the profile names the SoC.
bool write_soc(const kestrel_sim::Board& b, const std::string& tmp) {
    const std::string soc_dir = tmp + "/sys/devices/soc0";
    const std::string file = soc_dir + "/soc_id";
    std::error_code ec;
    bool ok = make_dirs(soc_dir);
    if (ok && b.soc_kind == kestrel_sim::SocIdKind::kUnreadable) {
        ok = fs::create_directory(file, ec);
    } else if (ok && b.soc_kind == kestrel_sim::SocIdKind::kText) {
        ok = write_file(file, b.soc_text);
    }
    if (ok && !b.soc_name.empty())
        ok = write_file(soc_dir + "/machine", machine_name(b) + "\n");
    return ok;
}

// sys/class/thermal: a zone per profile zone, with its type, temperature and trip points.
bool write_thermal_zones(const kestrel_sim::Board& b, const std::string& tmp) {
    bool ok = make_dirs(tmp + "/sys/class/thermal");
    for (size_t i = 0; ok && i < b.thermal_zones.size(); ++i) {
        const kestrel_sim::ThermalZone& z = b.thermal_zones[i];
        const std::string zone = tmp + "/sys/class/thermal/thermal_zone" + std::to_string(i);
        ok = make_dirs(zone) && write_file(zone + "/type", z.type + "\n") &&
             write_file(zone + "/temp", std::to_string(z.temp_millicelsius) + "\n");
        for (size_t k = 0; ok && k < z.trips.size(); ++k) {
            const std::string trip = zone + "/trip_point_" + std::to_string(k);
            ok = write_file(trip + "_type", z.trips[k].type + "\n") &&
                 write_file(trip + "_temp", std::to_string(z.trips[k].temp_millicelsius) + "\n");
        }
    }
    return ok;
}

// sys/class/remoteproc: a folder per DSP that has a remote processor.
bool write_remoteprocs(const kestrel_sim::Board& b, const std::string& tmp) {
    bool ok = make_dirs(tmp + "/sys/class/remoteproc");
    size_t rproc = 0;
    for (const auto& d : b.domains) {
        if (!ok || !d.remoteproc)
            continue;
        const std::string rp = tmp + "/sys/class/remoteproc/remoteproc" + std::to_string(rproc++);
        ok = make_dirs(rp) && write_file(rp + "/name", d.remoteproc->name + "\n") &&
             write_file(rp + "/state", d.remoteproc->state + "\n") &&
             write_file(rp + "/firmware", d.remoteproc->firmware + "\n");
    }
    return ok;
}

// dev: the DSPs' device nodes.
bool write_devices(const kestrel_sim::Board& b, const std::string& tmp) {
    bool ok = make_dirs(tmp + "/dev");
    for (const auto& d : b.domains) {
        if (ok && d.device)
            ok = write_device(tmp, *d.device);
    }
    return ok;
}

// Makes the tree in a private directory, then renames it into place (or finds it there). The
// tree holds the SoC id file (and the SoC's machine name when the profile names the SoC),
// sys/class/thermal with the board's thermal zones (the folder exists, empty, on a board without
// zones), sys/class/remoteproc with a folder per DSP that has a remote processor, and dev with the
// DSPs' device nodes. Everyone may read it: a run may be another user's.
bool write_sysfs(const kestrel_sim::Board& b, const std::string& base, std::string* out_dir) {
    const std::string key = tree_key(b);
    ::umask(022);
    char name[32];
    std::snprintf(name, sizeof name, "soc-%016llx", static_cast<unsigned long long>(fnv1a(key)));
    const std::string dir = base + "/" + name;
    *out_dir = dir;
    std::error_code ec;
    if (fs::exists(dir, ec))
        return true;
    if (!make_dirs(base))
        return false;
    std::string tmp = base + "/tmp-XXXXXX";
    if (::mkdtemp(tmp.data()) == nullptr)
        return false;
    bool ok = write_soc(b, tmp) && write_thermal_zones(b, tmp) && write_remoteprocs(b, tmp) &&
              write_devices(b, tmp);
    // mkdtemp made the top folder for its owner alone.
    ok = ok && ::chmod(tmp.c_str(), 0755) == 0;
    if (ok) {
        fs::rename(tmp, dir, ec);
        if (!ec)
            return true;
    }
    // Lost the race to a concurrent run (or failed): drop the private copy.
    fs::remove_all(tmp, ec);
    return ok && fs::exists(dir, ec);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string cmd = argv[1];
    if (cmd == "--list" && argc == 2) {
        for (const auto& name : kestrel_sim::builtin_board_names())
            std::cout << name << "\n";
        return 0;
    }
    if (argc < 3)
        return usage();
    try {
        if (cmd == "--print" && argc == 3) {
            std::cout << kestrel_sim::resolve_board_json(argv[2]).dump(2) << "\n";
            return 0;
        }
        const kestrel_sim::Board b = kestrel_sim::load_board(argv[2]);
        if (cmd == "--check" && argc == 3)
            return 0;
        if (cmd == "--library" && argc == 3) {
            std::cout << b.library << "\n";
            return 0;
        }
        if (cmd == "--dsp" && argc == 3) {
            std::cout << b.dsp << "\n";
            return 0;
        }
        if ((cmd == "--sysfs" || cmd == "--setup") && argc == 4) {
            std::string dir;
            if (!write_sysfs(b, argv[3], &dir)) {
                std::cerr << "kestrel-sim-board: cannot write the sysfs tree in " << argv[3]
                          << "\n";
                return 1;
            }
            if (cmd == "--setup")
                std::cout << b.library << "\n";
            std::cout << dir << "\n";
            if (cmd == "--setup")
                std::cout << (b.installed.libkestrel ? "1 " : "0 ") << b.installed.libkestrel_skel
                          << "\n";
            return 0;
        }
    } catch (const kestrel_sim::BoardError& e) {
        std::cerr << "kestrel-sim-board: " << e.what() << "\n";
        return 1;
    }
    return usage();
}
