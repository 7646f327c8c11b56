// The runner's helper for board profiles:
//   kestrel-sim-board --list                      built-in board names, one per line
//   kestrel-sim-board --check BOARD               validates a profile (message and status 1)
//   kestrel-sim-board --library BOARD             the library variant the board uses
//   kestrel-sim-board --dsp BOARD                 host or hexagon
//   kestrel-sim-board --sysfs BOARD DIR           writes DIR/sys/devices/soc0/soc_id as the
//                                                 board has it (absent, unreadable, contents)
//   kestrel-sim-board --print BOARD               the resolved profile as JSON
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "board.h"

namespace {

int usage() {
    std::cerr << "usage: kestrel-sim-board --list | --check BOARD | --library BOARD | --dsp BOARD"
                 " | --sysfs BOARD DIR | --print BOARD\n";
    return 2;
}

bool make_dirs(const std::string& path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Replaces the sysfs file (or directory standing in for an unreadable file).
bool write_sysfs(const kestrel_sim::Board& b, const std::string& dir) {
    const std::string soc_dir = dir + "/sys/devices/soc0";
    const std::string file = soc_dir + "/soc_id";
    if (!make_dirs(soc_dir))
        return false;
    std::remove(file.c_str());
    ::rmdir(file.c_str());
    if (b.soc_kind == kestrel_sim::SocIdKind::kMissing)
        return true;
    if (b.soc_kind == kestrel_sim::SocIdKind::kUnreadable)
        return ::mkdir(file.c_str(), 0755) == 0;
    std::ofstream out(file, std::ios::binary);
    out << b.soc_text;
    return static_cast<bool>(out);
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
        if (cmd == "--sysfs" && argc == 4) {
            if (!write_sysfs(b, argv[3])) {
                std::cerr << "kestrel-sim-board: cannot write the sysfs tree in " << argv[3]
                          << "\n";
                return 1;
            }
            return 0;
        }
    } catch (const kestrel_sim::BoardError& e) {
        std::cerr << "kestrel-sim-board: " << e.what() << "\n";
        return 1;
    }
    return usage();
}
