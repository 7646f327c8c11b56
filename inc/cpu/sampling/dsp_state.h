// What the kernel tells about the DSPs besides FastRPC: the thermal zones with their trip
// points (/sys/class/thermal) and each remote processor's state (/sys/class/remoteproc), and
// which of them belongs to a compute-DSP core.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorlix::kestrel {

struct TripPoint {
    std::string type;  // "passive", "hot", "critical", ...
    double celsius = 0.0;
};

struct ThermalZone {
    std::string type;  // the zone's type, e.g. "nsp0"
    double celsius = 0.0;
    std::vector<TripPoint> trips;  // in the kernel's order
    unsigned number = 0;           // N of thermal_zoneN

    // The first trip point of this type, null when the zone has none.
    const TripPoint* trip(const std::string& trip_type) const;
};

// Every thermal zone whose type and temperature can be read, in zone number order; each zone's
// readable trip points.
std::vector<ThermalZone> read_thermal_zones();

// The zones of the DSP's NSP: types starting with "nsp", the first zone of each type.
std::vector<ThermalZone> nsp_thermal_zones(const std::vector<ThermalZone>& zones);

// The zone of a compute-DSP core: among the zones named after its domain ("nsp2", "nsp2-hvx",
// "cdsp1-thermal"...) the hottest; for "cdsp" without a zone of its own, the hottest NSP zone (the
// CDSP is the NSP). Null when there is none.
const ThermalZone* zone_for_core(const std::vector<ThermalZone>& zones,
                                 const std::string& domain_name);
// The zones that zone_for_core chooses from, by index into `zones`, in their order: a reader
// that keeps them only reads their temperatures anew and asks hottest_zone.
std::vector<std::size_t> zones_of_core(const std::vector<ThermalZone>& zones,
                                       const std::string& domain_name);
// The hottest of the zones at the indices `of` (the first of equals); null when `of` is empty.
const ThermalZone* hottest_zone(const std::vector<ThermalZone>& zones,
                                const std::vector<std::size_t>& of);

struct Remoteproc {
    std::string name;      // "cdsp"
    std::string state;     // "running", "offline", "crashed", ...
    std::string firmware;  // the firmware file it runs
    unsigned number = 0;   // N of remoteprocN
};

// Every remote processor the kernel lists, in its number order; a file that cannot be read
// leaves its field empty.
std::vector<Remoteproc> read_remoteprocs();

// The remote processor of a compute-DSP core: the one whose name, split at every character that
// is not a letter or digit, has the domain name as one of its words. Null when there is none.
const Remoteproc* remoteproc_for_core(const std::vector<Remoteproc>& procs,
                                      const std::string& domain_name);

// What a remote processor's state means for its DSP.
enum class DspRun {
    kRunning,  // "running", or "attached" (started by the boot loader, taken over by the kernel)
    kOffline,
    kCrashed,
    kOther,  // any other state, or none read: not up
};

DspRun classify_remoteproc_state(const std::string& state);

// One core's remote processor, as remoteproc_for_core finds it when this is made, and its state
// read again whenever asked, through a descriptor kept open.
class RemoteprocState {
  public:
    explicit RemoteprocState(const std::string& domain_name);
    ~RemoteprocState();
    RemoteprocState(const RemoteprocState&) = delete;
    RemoteprocState& operator=(const RemoteprocState&) = delete;

    // Whether the kernel lists a processor for the core.
    bool found() const { return fd_ >= 0; }
    // The state read now; kOther when there is none or it cannot be read.
    DspRun read() const;

  private:
    int fd_ = -1;
};

// The zones and remote processors as a program that watches them sees them: listed once, with
// the types, trip points, names and firmware that do not change while the system runs, and then
// only the temperatures and states read again, each through a descriptor kept open (a sysfs
// attribute gives its current value at every read from its start).
class DspStateWatch {
  public:
    DspStateWatch() = default;
    ~DspStateWatch();
    DspStateWatch(const DspStateWatch&) = delete;
    DspStateWatch& operator=(const DspStateWatch&) = delete;

    // Lists the zones and the processors anew.
    void list();
    // Reads every temperature and state again. False when one cannot be read (it keeps its last
    // reading): the kernel's lists may have changed, and list() reads them anew.
    bool refresh();

    const std::vector<ThermalZone>& zones() const { return zones_; }
    const std::vector<Remoteproc>& procs() const { return procs_; }

  private:
    void close_all();

    std::vector<ThermalZone> zones_;
    std::vector<Remoteproc> procs_;
    std::vector<int> temp_fds_;   // one per zone, -1 when it could not be opened
    std::vector<int> state_fds_;  // one per processor
};

}  // namespace vorlix::kestrel
