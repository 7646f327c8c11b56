// The links of the chain that kestrel-doctor examines without a platform call: where the
// platform would find the DSP library and what kind of ELF file it is, the FastRPC device node
// of a core and whether this user may use it, and how hot a core's thermal zone runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel::doctor {

// The entries of a ";"-separated search path, in order, empty ones left out.
std::vector<std::string> search_path_entries(const std::string& path);

// DIR/NAME for the first entry DIR of `path` in which NAME exists, as the platform searches it
// (relative entries from the working directory); empty when there is none.
std::string find_in_search_path(const std::string& path, const std::string& name);

// The start of an ELF header: what the file is built for.
struct ElfIdentity {
    bool elf = false;        // the file starts with the ELF magic and a whole identification
    unsigned elf_class = 0;  // 1: 32-bit, 2: 64-bit
    unsigned machine = 0;    // e_machine, read in the file's own byte order
};

// The machine number of Hexagon (QDSP6) in e_machine.
inline constexpr unsigned kElfMachineHexagon = 164;

// Reads the identification and machine of the ELF file at `path`. 0, or the errno of a file
// that cannot be read (a file too short for the header reads as not ELF).
int read_elf_identity(const std::string& path, ElfIdentity* out);

// A 32-bit Hexagon ELF, what the DSP loads.
bool is_hexagon_elf(const ElfIdentity& identity);

// The device nodes through which a core may be reached, in the order they are tried: the
// core's own (/dev/fastrpc-NAME and its secure twin), then the older one node of every DSP.
std::vector<std::string> device_node_candidates(const std::string& domain_name);

// Who runs the program: its effective ids, the groups of this process, and the groups the
// account database gives the user (which a new login would have).
struct Identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string user;  // the account's name, or the uid in decimal
    std::vector<gid_t> process_groups;
    std::vector<gid_t> account_groups;
};

Identity current_identity();

enum class NodeAccess {
    kReadWrite,  // this process may read and write it
    kMissing,    // none of the candidates exists
    kDenied,     // it exists, and this process may not read and write it
    kError,      // it cannot be looked at
};

struct DeviceNode {
    std::string path;  // the first candidate that exists; empty when none does
    NodeAccess access = NodeAccess::kMissing;
    int error = 0;  // errno of a node that cannot be looked at
    // Its owner, group and permission bits (from stat).
    uid_t owner = 0;
    gid_t group = 0;
    unsigned mode = 0;
};

// Whether `who` may read and write a node, decided from its owner, group and mode as the kernel
// decides it from the permission bits: root may; the owner by the owner's bits, a member of the
// group by the group's, anyone else by the others'. The node itself is never opened: opening a
// FastRPC node has effects of its own.
bool may_read_write(const DeviceNode& node, const Identity& who);

// The device node of the core named `domain_name`, and whether `who` may read and write it.
DeviceNode probe_device_node(const std::string& domain_name, const Identity& who);

// What lets a user read and write a device node that denies it.
enum class NodeFix {
    kJoinGroup,   // the group may read and write; the user is not in it
    kLogInAgain,  // the user is in the group since the last login; this session is not
    kGroupMode,   // the group may not read and write (or membership is not the reason)
};

NodeFix node_fix(const DeviceNode& node, const Identity& who);

// The command line that lets `who` use the node, for `fix`. A node of root's group gets a group of
// its own (nobody should join root's group for one device); a node whose group may not read and
// write it gets that right; otherwise the user joins the group or logs in again.
std::string node_remedy(const DeviceNode& node, const Identity& who, NodeFix fix);

// The name of a user or group id, the number in decimal when the database has none.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// How hot a thermal zone runs against its trip points. The kernel slows the DSP down from the
// passive trip point on and shuts the system down at the critical one.
enum class Heat {
    kCool,         // more than kPassiveMargin below the passive trip point, or no such point
    kNearPassive,  // within kPassiveMargin below it
    kPassive,      // at or above it, below the critical one
    kCritical,     // at or above the critical trip point
};

inline constexpr double kPassiveMargin = 5.0;  // degrees Celsius

Heat heat_of(const ThermalZone& zone);

}  // namespace vorlix::kestrel::doctor
