// The sampling side of kestrel-top: one thread per core running the sampling core's loop
// (run_sampler), each turning its windows and failures into core events that it leaves in its
// own slot. Once per window of all the cores, the sampler whose event completes the set has
// them collected (through the screen, which serialises it): what the kernel tells about the
// cores is added, the events are applied to the model and appended to the recording. The
// samplers share no lock while sampling, and no thread wakes for the screen's sake.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu/sampling/board.h"
#include "cpu/sampling/core_kernel.h"
#include "cpu/sampling/recording.h"
#include "cpu/sampling/sampler.h"
#include "cpu/top/model.h"

namespace vorlix::kestrel::top {

class Collector {
  public:
    // `window_ms` is read by the samplers before each window. `recording` may be null.
    // `waiting` is called on a sampler's thread when the events are to be taken: at once for a
    // change of a session's state, and once the figures of a window of every sampling core are
    // waiting (or a core's next window's come first).
    Collector(std::vector<CoreTarget> cores, bool legacy,
              const std::atomic<std::uint32_t>* window_ms, RecordingWriter* recording,
              std::function<void()> waiting);
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

    // Takes the waiting events into the model (and the recording). Called by one thread at a
    // time: the caller serialises it (and every use of the model).
    void collect();
    // The model as of the last collect(), with the length the next windows take.
    const Model& model() const { return model_; }
    // While paused, windows still complete but leave their columns blank.
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
    // A sampler's event is waiting; `figures` tells a window's from a change of state.
    void told(std::size_t slot, bool figures, bool sampling);

    std::vector<CoreTarget> cores_;
    bool legacy_;
    const std::atomic<std::uint32_t>* window_ms_;
    RecordingWriter* recording_;
    std::function<void()> on_waiting_;
    StopSignal stop_;
    std::atomic<bool> paused_{false};
    // Per slot (one bit each, the first 64 cores): a window's figures are waiting, and the
    // session samples. When every sampling core's figures wait, the events are to be taken.
    std::atomic<std::uint64_t> fresh_{0};
    std::atomic<std::uint64_t> sampling_{0};
    Model model_;  // collect()'s caller's
    // The zones' temperatures and the processors' states, read once for the events collected
    // together, unless read a moment ago (or anyway for a change of a session's state).
    CoreKernelReader kernel_;
    std::vector<Waiting> taken_;      // the events of a collect(), kept for the next one
    std::vector<std::size_t> order_;  // of taken_, by time
    std::vector<std::unique_ptr<CoreObserver>> observers_;
    std::vector<std::thread> threads_;
};

}  // namespace vorlix::kestrel::top
