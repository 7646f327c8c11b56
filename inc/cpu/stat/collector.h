// The sampling side of kestrel-stat: one thread per core running the sampling core's loop
// (run_sampler) from before the command starts until it ends. Each opening, window and failure
// becomes a core event with what the kernel tells about the core, handed on by the core's
// sampler, in the order they happen on that core: the handler's calls for one core follow one
// another, those for different cores may run at the same time (the samplers share no lock per
// window). The stop ends each window in progress at once, and that short window is handed on
// too, over the time it ran.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cpu/sampling/board.h"
#include "cpu/sampling/core_event.h"
#include "cpu/sampling/core_kernel.h"
#include "cpu/sampling/sampler.h"

namespace vorlix::kestrel::stat {

class Collector {
  public:
    // Called on the core's sampling thread; see above.
    using Handler = std::function<void(const CoreEvent&)>;

    Collector(std::vector<CoreTarget> cores, bool legacy, std::uint32_t window_ms, Handler handler);
    // Stops the samplers when they still run.
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Starts one thread per core (they inherit the caller's signal mask) and waits, at most
    // `wait`, until every session has opened or failed, lets the first windows begin together,
    // and waits until each has begun (its first reading taken). How many began.
    std::size_t start(std::chrono::milliseconds wait);
    // "nsp0: open failed (0x80000608); nsp1: ...": why the cores that did not open failed.
    std::string failures() const;
    // Requests the stop, which ends each window in progress at once (the short window is still
    // handed on), and joins the threads: every session is closed and every PMU group released.
    void stop();

  private:
    class CoreObserver;

    // Completes the event with the kernel's state and hands it on; `fresh`: read that state now.
    void deliver(std::size_t slot, CoreEvent event, bool fresh);
    // Reads the kernel's state (when old, or `fresh`) into every core's copy; under kernel_mutex_.
    void read_kernel(bool fresh);
    // The start of every core's measurement: a core's session opens for the first time (and
    // waits until every other has opened or failed, so that the first windows begin together),
    // its first window begins, or its session fails before that.
    enum CoreStart { kPending, kOpened, kMeasuring, kFailed };
    void first_opening(std::size_t slot);
    void measuring(std::size_t slot);
    void failed_first(std::size_t slot, const std::string& failure);
    // How many cores are at `state`; under the lock.
    std::size_t count(int state) const;

    std::vector<CoreTarget> cores_;
    bool legacy_;
    std::atomic<std::uint32_t> window_ms_;
    Handler handler_;
    StopSignal stop_;
    std::mutex mutex_;  // the start
    std::condition_variable state_changed_;
    std::vector<int> states_;  // per slot, a CoreStart
    bool go_ = false;          // the first windows may begin, whatever the others' state
    std::vector<std::string> first_failures_;
    std::mutex kernel_mutex_;  // the reader
    CoreKernelReader kernel_;
    // Per core, the last reading of its zone and processor (in an event's fields), which its
    // sampler takes under the copy's own lock.
    struct KernelCopy {
        std::mutex mutex;
        CoreEvent event;
    };
    std::vector<KernelCopy> kernel_copies_;
    std::vector<std::unique_ptr<CoreObserver>> observers_;
    std::vector<std::thread> threads_;
};

}  // namespace vorlix::kestrel::stat
