// One sampling thread per core; their events handed on in order.
#include "cpu/stat/collector.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "cpu/sampling/clock.h"

namespace vorlix::kestrel::stat {

namespace {

// How old the temperatures and the processors' states may be for a window's event: each read
// is a sensor's, on a board, and they change slowly. A change of a session's state reads them
// anew.
constexpr std::chrono::milliseconds kKernelStateAge{1000};

// A figure the analysis could not make (no busy cycle: 0 of 0 packets) is no load.
float load_or_zero(float percent) {
    return std::isfinite(percent) ? percent : 0.0f;
}

}  // namespace

class Collector::CoreObserver : public SamplerObserver {
  public:
    CoreObserver(Collector& owner, const CoreTarget& target, std::size_t slot)
        : owner_(owner), target_(target), slot_(slot) {}

    void run() {
        SamplerConfig config;
        config.target = target_;
        config.legacy = owner_.legacy_;
        config.window_ms = &owner_.window_ms_;
        config.short_window = true;
        run_sampler(config, *this, owner_.stop_);
    }

    void session_opened() override {
        if (!opened_before_) {
            opened_before_ = true;
            owner_.first_opening(slot_);
        }
        CoreEvent event = base_event(wall_clock_seconds(), monotonic_clock_seconds());
        owner_.deliver(slot_, std::move(event), true);
    }

    // The core measures from here on: the command may start.
    void window_started() override { owner_.measuring(slot_); }

    void sample_taken(const Sample& sample) override {
        CoreEvent event = base_event(sample.timestamp, sample.monotonic);
        event.has_figures = true;
        event.qdsp6 = load_or_zero(sample.qdsp6);
        event.hvx = load_or_zero(sample.hvx);
        event.hmx = load_or_zero(sample.hmx);
        event.clock_hz = sample.clock_hz;
        event.measured_ms = sample.measured_time_ms;
        owner_.deliver(slot_, std::move(event), false);
    }

    void session_failed(const SessionFailure& failure,
                        std::chrono::milliseconds reopen_in) override {
        const std::string what = failure.describe();
        owner_.failed_first(slot_, what);
        CoreEvent event = base_event(wall_clock_seconds(), monotonic_clock_seconds());
        event.session = SessionState::kDown;
        event.error = what;
        event.reopen_in = std::chrono::duration<double>(reopen_in).count();
        owner_.deliver(slot_, std::move(event), true);
    }

  private:
    CoreEvent base_event(double time, double monotonic) const {
        CoreEvent event;
        event.time = time;
        event.monotonic = monotonic;
        event.index = target_.index;
        event.domain = target_.domain_name;
        event.arch = arch_label(target_.arch);
        event.legacy = owner_.legacy_;
        event.window_ms = owner_.window_ms_.load();
        event.session = SessionState::kSampling;
        return event;
    }

    Collector& owner_;
    CoreTarget target_;
    std::size_t slot_;
    bool opened_before_ = false;
};

Collector::Collector(std::vector<CoreTarget> cores, bool legacy, std::uint32_t window_ms,
                     Handler handler)
    : cores_(std::move(cores)),
      legacy_(legacy),
      window_ms_(window_ms),
      handler_(std::move(handler)),
      states_(cores_.size(), kPending),
      first_failures_(cores_.size()),
      kernel_(cores_),
      kernel_copies_(cores_.size()) {}

Collector::~Collector() {
    stop();
}

std::size_t Collector::start(std::chrono::milliseconds wait) {
    {
        std::lock_guard<std::mutex> lock(kernel_mutex_);
        read_kernel(true);
    }
    for (std::size_t slot = 0; slot < cores_.size(); ++slot) {
        observers_.push_back(std::make_unique<CoreObserver>(*this, cores_[slot], slot));
    }
    for (auto& observer : observers_) {
        threads_.emplace_back([&observer] { observer->run(); });
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> lock(mutex_);
    // Every session opened (or failed, or the time is up): the first windows begin together.
    state_changed_.wait_until(lock, deadline, [this] { return count(kPending) == 0; });
    go_ = true;
    state_changed_.notify_all();
    state_changed_.wait_until(lock, deadline, [this] { return count(kOpened) == 0; });
    return count(kMeasuring);
}

std::size_t Collector::count(int state) const {
    return static_cast<std::size_t>(std::count(states_.begin(), states_.end(), state));
}

std::string Collector::failures() const {
    std::string text;
    for (std::size_t slot = 0; slot < cores_.size(); ++slot) {
        if (first_failures_[slot].empty()) {
            continue;
        }
        text +=
            (text.empty() ? "" : "; ") + cores_[slot].domain_name + ": " + first_failures_[slot];
    }
    return text;
}

void Collector::stop() {
    if (threads_.empty()) {
        return;
    }
    stop_.request();
    for (auto& thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

void Collector::first_opening(std::size_t slot) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (states_[slot] == kPending) {
        states_[slot] = kOpened;
        state_changed_.notify_all();
    }
    state_changed_.wait(lock, [this] { return go_ || count(kPending) == 0; });
}

void Collector::measuring(std::size_t slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (states_[slot] == kOpened) {
        states_[slot] = kMeasuring;
        state_changed_.notify_all();
    }
}

void Collector::failed_first(std::size_t slot, const std::string& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (states_[slot] == kPending || states_[slot] == kOpened) {
        states_[slot] = kFailed;
        first_failures_[slot] = failure;
        state_changed_.notify_all();
    }
}

void Collector::read_kernel(bool fresh) {
    kernel_.read(kKernelStateAge, fresh);
    for (std::size_t slot = 0; slot < kernel_copies_.size(); ++slot) {
        KernelCopy& copy = kernel_copies_[slot];
        std::lock_guard<std::mutex> lock(copy.mutex);
        kernel_.fill(slot, &copy.event);
    }
}

void Collector::deliver(std::size_t slot, CoreEvent event, bool fresh) {
    // The windows of every core end together: the one sampler that finds the kernel's state old
    // reads it for all, the others take the last reading rather than wait for it. A change of a
    // session's state waits for a reading of its own.
    if (fresh) {
        std::lock_guard<std::mutex> lock(kernel_mutex_);
        read_kernel(true);
    } else if (std::unique_lock<std::mutex> lock(kernel_mutex_, std::try_to_lock);
               lock.owns_lock()) {
        read_kernel(false);
    }
    {
        KernelCopy& copy = kernel_copies_[slot];
        std::lock_guard<std::mutex> lock(copy.mutex);
        event.temperature = copy.event.temperature;
        event.has_remoteproc = copy.event.has_remoteproc;
        event.remoteproc = copy.event.remoteproc;
    }
    handler_(event);
}

}  // namespace vorlix::kestrel::stat
