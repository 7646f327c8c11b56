// The sampling side of kestrel-stat: one thread per core running the sampling core's loop
// (run_sampler) from before the command starts until it ends. Each opening, window and failure
// becomes a core event with what the kernel tells about the core, handed on one at a time under
// one lock, in the order they happen. The stop ends each window in progress at once, and that
// short window is handed on too, over the time it ran.
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
    using Handler = std::function<void(const CoreEvent&)>;

    Collector(std::vector<CoreTarget> cores, bool legacy, std::uint32_t window_ms, Handler handler);
    // Stops the samplers when they still run.
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Starts one thread per core (they inherit the caller's signal mask) and waits until each
    // core's first window has begun (its first reading is taken) or its session has failed, at
    // most `wait`. How many began.
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
    // A core's first window began (`opened`) or its session failed, for start().
    void settled(std::size_t slot, bool opened, const std::string& failure);

    std::vector<CoreTarget> cores_;
    bool legacy_;
    std::atomic<std::uint32_t> window_ms_;
    Handler handler_;
    StopSignal stop_;
    std::mutex mutex_;  // the handler, the kernel reader, the settling
    std::condition_variable settled_changed_;
    std::vector<int> settled_;  // per slot: 0 not yet, 1 opened, -1 failed first
    std::vector<std::string> first_failures_;
    CoreKernelReader kernel_;
    std::vector<std::unique_ptr<CoreObserver>> observers_;
    std::vector<std::thread> threads_;
};

}  // namespace vorlix::kestrel::stat
