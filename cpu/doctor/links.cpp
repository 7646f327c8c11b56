// The links of the chain that need no platform call.
#include "cpu/doctor/links.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vorlix::kestrel::doctor {

namespace {

// The offset of e_machine, after the 16-byte identification and e_type, in both classes.
constexpr std::size_t kElfMachineOffset = 18;
constexpr unsigned char kElfBigEndian = 2;  // EI_DATA of a big-endian file

bool contains(const std::vector<gid_t>& groups, gid_t gid) {
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

}  // namespace

std::vector<std::string> search_path_entries(const std::string& path) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(';', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            entries.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return entries;
}

std::string find_in_search_path(const std::string& path, const std::string& name) {
    for (const std::string& dir : search_path_entries(path)) {
        const std::string candidate = dir + "/" + name;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
            return candidate;
        }
    }
    return std::string();
}

int read_elf_identity(const std::string& path, ElfIdentity* out) {
    *out = ElfIdentity{};
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    unsigned char header[kElfMachineOffset + 2] = {};
    std::size_t got = 0;
    while (got < sizeof header) {
        const ssize_t n = read(fd, header + got, sizeof header - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            close(fd);
            return error;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (got < sizeof header || header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' ||
        header[3] != 'F') {
        return 0;
    }
    out->elf = true;
    out->elf_class = header[4];
    const unsigned first = header[kElfMachineOffset];
    const unsigned second = header[kElfMachineOffset + 1];
    out->machine = header[5] == kElfBigEndian ? (first << 8) | second : first | (second << 8);
    return 0;
}

bool is_hexagon_elf(const ElfIdentity& identity) {
    return identity.elf && identity.elf_class == 1 && identity.machine == kElfMachineHexagon;
}

std::vector<std::string> device_node_candidates(const std::string& domain_name) {
    return {"/dev/fastrpc-" + domain_name, "/dev/fastrpc-" + domain_name + "-secure",
            "/dev/adsprpc-smd"};
}

bool may_read_write(const DeviceNode& node, const Identity& who) {
    if (who.uid == 0) {
        return true;
    }
    unsigned bits = node.mode & 07u;  // the others'
    if (who.uid == node.owner) {
        bits = (node.mode >> 6) & 07u;
    } else if (contains(who.process_groups, node.group)) {
        bits = (node.mode >> 3) & 07u;
    }
    return (bits & 06u) == 06u;
}

DeviceNode probe_device_node(const std::string& domain_name, const Identity& who) {
    DeviceNode node;
    for (const std::string& candidate : device_node_candidates(domain_name)) {
        struct stat info {};
        if (stat(candidate.c_str(), &info) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                continue;
            }
            node.path = candidate;
            node.error = errno;
            node.access = NodeAccess::kError;
            return node;
        }
        node.path = candidate;
        node.owner = info.st_uid;
        node.group = info.st_gid;
        node.mode = static_cast<unsigned>(info.st_mode) & 07777u;
        node.access = may_read_write(node, who) ? NodeAccess::kReadWrite : NodeAccess::kDenied;
        return node;
    }
    return node;
}

std::string user_name(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

Identity current_identity() {
    Identity who;
    who.uid = geteuid();
    who.gid = getegid();
    who.process_groups.push_back(who.gid);
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = getgroups(count, groups.data());
        groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        who.process_groups.insert(who.process_groups.end(), groups.begin(), groups.end());
    }
    const passwd* entry = getpwuid(who.uid);
    who.user = entry != nullptr ? entry->pw_name : std::to_string(who.uid);
    if (entry != nullptr) {
        // getgrouplist tells how many groups there are when the first guess is too small.
        int count_db = 16;
        std::vector<gid_t> groups(static_cast<std::size_t>(count_db));
        if (getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count_db) < 0) {
            groups.resize(static_cast<std::size_t>(count_db));
            getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count_db);
        }
        groups.resize(static_cast<std::size_t>(std::max(count_db, 0)));
        who.account_groups = groups;
    }
    return who;
}

NodeFix node_fix(const DeviceNode& node, const Identity& who) {
    const bool group_may = (node.mode & 060u) == 060u;
    if (!group_may || contains(who.process_groups, node.group)) {
        return NodeFix::kGroupMode;
    }
    return contains(who.account_groups, node.group) ? NodeFix::kLogInAgain : NodeFix::kJoinGroup;
}

std::string node_remedy(const DeviceNode& node, const Identity& who, NodeFix fix) {
    const std::string group = group_name(node.group);
    switch (fix) {
        case NodeFix::kJoinGroup:
            return "sudo usermod -aG " + group + " " + who.user + ", then log in again";
        case NodeFix::kLogInAgain:
            return "log in again (or run newgrp " + group + ") to be in group " + group;
        case NodeFix::kGroupMode:
            break;
    }
    // A udev rule gives the node its group and mode at every boot; a chmod lasts until the next.
    if (node.group == 0) {
        const std::string name =
            node.path.compare(0, 5, "/dev/") == 0 ? node.path.substr(5) : node.path;
        return "give it a group of its own with a udev rule (KERNEL==\"" + name +
               "\", GROUP=\"video\", MODE=\"0660\"), then sudo usermod -aG video " + who.user;
    }
    std::string remedy = "sudo chmod g+rw " + node.path + " (a udev rule keeps it at every boot)";
    if (!contains(who.process_groups, node.group)) {
        remedy += ", and be in group " + group + ": sudo usermod -aG " + group + " " + who.user;
    }
    return remedy;
}

Heat heat_of(const ThermalZone& zone) {
    const TripPoint* critical = zone.trip("critical");
    if (critical != nullptr && zone.celsius >= critical->celsius) {
        return Heat::kCritical;
    }
    const TripPoint* passive = zone.trip("passive");
    if (passive == nullptr || zone.celsius < passive->celsius - kPassiveMargin) {
        return Heat::kCool;
    }
    return zone.celsius >= passive->celsius ? Heat::kPassive : Heat::kNearPassive;
}

}  // namespace vorlix::kestrel::doctor
