// The sampling side of kestrel-top: one thread per core running the sampling core's loop
// (run_sampler), each turning its windows and failures into core events that it applies to the
// model, under a mutex, and appends to the recording. The screen side reads copies of the model.
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
    // What the kernel tells about the DSPs, read once for the cores' windows that end together.
    struct KernelState {
        std::chrono::steady_clock::time_point read;
        std::chrono::steady_clock::time_point listed;  // zones and processors listed anew
        std::vector<ThermalZone> zones;
        std::vector<Remoteproc> procs;
    };

    // `window_ms` is read by the samplers before each window. `recording` may be null.
    // `notify_fd` gets one byte after each change of the model (a full pipe is not waited on).
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
    // every session is closed and every PMU group released by then.
    void stop();

    // A copy of the model as it is now.
    Model snapshot() const;
    // While paused, windows still complete but add nothing to the histories.
    void set_paused(bool paused) { paused_ = paused; }
    // Every history keeps at least `samples`.
    void reserve_history(std::size_t samples);

  private:
    class CoreObserver;
    friend class CoreObserver;

    void publish(const CoreEvent& event, bool record);
    // A reading at most a moment old. One thread reads anew while the others take the last
    // reading, so that no sampler waits for another's. Between listings of the zones and
    // processors (at the start, every kKernelListAge, or when one cannot be read), only the
    // temperatures and the states are read.
    std::shared_ptr<const KernelState> kernel_state();

    std::vector<CoreTarget> cores_;
    bool legacy_;
    const std::atomic<std::uint32_t>* window_ms_;
    RecordingWriter* recording_;
    int notify_fd_;
    StopSignal stop_;
    std::atomic<bool> paused_{false};
    mutable std::mutex mutex_;
    Model model_;
    std::vector<bool> fresh_;                    // per core of the model: new figures not yet told
    std::shared_ptr<const KernelState> kernel_;  // through std::atomic_load and atomic_store
    std::atomic<bool> kernel_reading_{false};    // a thread is reading `watch_`
    DspStateWatch watch_;
    std::vector<std::unique_ptr<CoreObserver>> observers_;
    std::vector<std::thread> threads_;
};

// The core's zone (zone_for_core) with its passive and critical trip points; not present when
// the core has none.
Temperature temperature_for_core(const std::vector<ThermalZone>& zones, const std::string& domain);

}  // namespace vorlix::kestrel::top
