// The sampling side of kestrel-top: one thread per core running the sampling core's loop
// (run_sampler), each turning its windows and failures into core events that it leaves in its
// own slot. The screen thread collects them: it adds what the kernel tells about the cores,
// applies them to the model and appends them to the recording. A sampler thus shares nothing
// with another (no lock, no reading of sysfs), and the screen is woken once per window of all
// the cores.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu/sampling/board.h"
#include "cpu/sampling/dsp_state.h"
#include "cpu/sampling/sampler.h"
#include "cpu/top/model.h"
#include "cpu/top/recording.h"

namespace vorlix::kestrel::top {

class Collector {
  public:
    // `window_ms` is read by the samplers before each window. `recording` may be null.
    // `notify_fd` gets one byte at once for a change of a session's state, and when the events
    // of a window of every sampling core are waiting while a wake-up is wanted (want_wake; a
    // full pipe is not waited on).
    Collector(std::vector<CoreTarget> cores, bool legacy,
              const std::atomic<std::uint32_t>* window_ms, RecordingWriter* recording,
              int notify_fd);
    // Stops the samplers when they still run.
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Lists the zones and processors and starts one thread per core. The threads inherit the
    // caller's signal mask: block the signals the screen loop takes before starting.
    void start();
    // Requests the stop, which ends each window in progress at once, and joins the threads;
    // every session is closed and every PMU group released by then, and the events still
    // waiting are collected (so that the recording holds them).
    void stop();

    // Takes the waiting events into the model (and the recording); the screen thread's call.
    void collect();
    // When the last window's figures of every sampling core were all waiting, in seconds of the
    // steady clock; 0 before the first window.
    double last_set() const { return last_set_.load(); }
    // Whether the next complete set of figures writes to `notify_fd` (once; true at the start).
    void want_wake(bool wanted) { wake_wanted_.store(wanted); }
    // The model as of the last collect().
    const Model& model() const { return model_; }
    // While paused, windows still complete but add nothing to the histories.
    void set_paused(bool paused) { paused_ = paused; }
    // Every history keeps at least `samples`.
    void reserve_history(std::size_t samples) { model_.reserve_history(samples); }

  private:
    class CoreObserver;
    friend class CoreObserver;

    // An event left by a sampler; `record`: it goes to the recording.
    struct Waiting {
        CoreEvent event;
        std::size_t slot = 0;  // the core's, in cores_
        bool record = false;
    };
    // What the last reading tells about one core.
    struct CoreKernel {
        Temperature temperature;
        bool has_remoteproc = false;
        std::string remoteproc;
    };
    // What the kernel tells about the DSPs, read once for the events collected together.
    struct KernelState {
        std::chrono::steady_clock::time_point read;
        std::chrono::steady_clock::time_point listed;  // zones and processors listed anew; 0: never
    };

    // A sampler's event is waiting; `figures` tells a window's from a change of state.
    void told(std::size_t slot, bool figures, bool sampling);
    // Reads the zones' temperatures and the processors' states unless read a moment ago (or
    // anyway, for a change of a session's state: `fresh`). Between listings of the zones and
    // processors (at the start, every kKernelListAge, or when one cannot be read), only the
    // temperatures and the states are read.
    void read_kernel_state(bool fresh);

    std::vector<CoreTarget> cores_;
    bool legacy_;
    const std::atomic<std::uint32_t>* window_ms_;
    RecordingWriter* recording_;
    int notify_fd_;
    StopSignal stop_;
    std::atomic<bool> paused_{false};
    // Per slot (one bit each, the first 64 cores): a window's figures are waiting, and the
    // session samples. When every sampling core's figures wait, the screen is woken.
    std::atomic<std::uint64_t> fresh_{0};
    std::atomic<std::uint64_t> sampling_{0};
    std::atomic<double> last_set_{0.0};
    std::atomic<bool> wake_wanted_{true};
    Model model_;  // the screen thread's alone
    KernelState kernel_;
    DspStateWatch watch_;
    std::vector<CoreKernel> core_kernel_;  // per slot, from the last reading
    std::vector<Waiting> taken_;           // the events of a collect(), kept for the next one
    std::vector<std::size_t> order_;       // of taken_, by time
    std::vector<std::unique_ptr<CoreObserver>> observers_;
    std::vector<std::thread> threads_;
};

// The core's zone (zone_for_core) with its passive and critical trip points; not present when
// the core has none.
Temperature temperature_for_core(const std::vector<ThermalZone>& zones, const std::string& domain);

}  // namespace vorlix::kestrel::top
