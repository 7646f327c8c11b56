// One sampling thread per core; their events collected into the model.
#include "cpu/top/collector.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "cpu/sampling/clock.h"

namespace vorlix::kestrel::top {

namespace {

// How old the temperatures and the processors' states may be for a window's figures: every
// other window of a second reads them anew (each read is a sensor's, on a board). A change of a
// session's state always reads them anew.
constexpr std::chrono::milliseconds kKernelStateAge{1500};

}  // namespace

class Collector::CoreObserver : public SamplerObserver {
  public:
    CoreObserver(Collector& owner, const CoreTarget& target, std::size_t slot)
        : owner_(owner), target_(target), slot_(slot) {}

    void run() {
        SamplerConfig config;
        config.target = target_;
        config.legacy = owner_.legacy_;
        config.window_ms = owner_.window_ms_;
        run_sampler(config, *this, owner_.stop_);
    }

    // Moves the waiting events to `out`.
    void take(std::vector<Waiting>& out) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Waiting& waiting : waiting_) {
            out.push_back(std::move(waiting));
        }
        waiting_.clear();
    }

    void session_opened() override {
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(wall_clock_seconds());
        event.session = SessionState::kSampling;
        leave(std::move(event), false);
    }

    void sample_taken(const Sample& sample) override {
        // A window cut short by the stop is not a sample of the core's load.
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(sample.timestamp);
        event.session = SessionState::kSampling;
        event.has_figures = true;
        event.qdsp6 = sample.qdsp6;
        event.hvx = sample.hvx;
        event.hmx = sample.hmx;
        event.clock_hz = sample.clock_hz;
        leave(std::move(event), true);
    }

    void session_failed(const SessionFailure& failure,
                        std::chrono::milliseconds reopen_in) override {
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(wall_clock_seconds());
        event.session = SessionState::kDown;
        error_ = failure.describe();
        event.error = error_;
        event.reopen_in = std::chrono::duration<double>(reopen_in).count();
        leave(std::move(event), true);
    }

    // Every second or so while down: the countdown, and the processor's state and temperature
    // read anew (the event is taken at once, with the kernel's state read for it).
    void still_down(std::chrono::milliseconds reopen_in) override {
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(wall_clock_seconds());
        event.session = SessionState::kDown;
        event.error = error_;
        event.reopen_in = std::chrono::duration<double>(reopen_in).count();
        leave(std::move(event), true);
    }

  private:
    bool stopping() const { return owner_.stop_.requested(); }

    CoreEvent base_event(double time) const {
        CoreEvent event;
        event.time = time;
        event.index = target_.index;
        event.domain = target_.domain_name;
        event.arch = arch_label(target_.arch);
        event.legacy = owner_.legacy_;
        event.window_ms = owner_.window_ms_->load();
        return event;
    }

    void leave(CoreEvent event, bool record) {
        const bool figures = event.has_figures;
        const bool sampling = event.session == SessionState::kSampling;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            waiting_.push_back({std::move(event), slot_, record});
        }
        owner_.told(slot_, figures, sampling);
    }

    Collector& owner_;
    CoreTarget target_;
    std::size_t slot_;
    // Held only to leave an event or to take them all: by this sampler, and by the one thread
    // that collects (under the screen's lock).
    std::mutex mutex_;
    std::vector<Waiting> waiting_;
    std::string error_;  // the last failure's, on the sampler's thread
};

Collector::Collector(std::vector<CoreTarget> cores, bool legacy,
                     const std::atomic<std::uint32_t>* window_ms, RecordingWriter* recording,
                     std::function<void()> waiting)
    : cores_(std::move(cores)),
      legacy_(legacy),
      window_ms_(window_ms),
      recording_(recording),
      on_waiting_(std::move(waiting)),
      kernel_(cores_) {
    for (const auto& target : cores_) {
        model_.core(target.index, target.domain_name, arch_label(target.arch), legacy_);
    }
    model_.window_ms = window_ms_->load();
}

Collector::~Collector() {
    stop();
}

void Collector::start() {
    kernel_.read(kKernelStateAge, true);
    for (std::size_t slot = 0; slot < cores_.size(); ++slot) {
        observers_.push_back(std::make_unique<CoreObserver>(*this, cores_[slot], slot));
    }
    for (auto& observer : observers_) {
        threads_.emplace_back([&observer] { observer->run(); });
    }
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
    collect();
}

void Collector::told(std::size_t slot, bool figures, bool sampling) {
    const std::uint64_t bit = slot < 64 ? std::uint64_t{1} << slot : 0;
    if (sampling) {
        sampling_.fetch_or(bit);
    } else {
        sampling_.fetch_and(~bit);
    }
    // A window's set is complete once every sampling core has its new figures (their windows
    // end together), so that the screen takes them once for all. A core whose figures come
    // again before the set is complete finds it late (another core's window has not ended: a
    // DSP that hangs, or windows of different lengths after a change): what came is taken then.
    // A change of state is taken at once.
    std::uint64_t seen = fresh_.load();
    for (;;) {
        const std::uint64_t now = seen | bit;
        const std::uint64_t needed = sampling_.load();
        const bool take = !figures || bit == 0 || (seen & bit) != 0 || (now & needed) == needed;
        if (fresh_.compare_exchange_weak(seen, take ? 0 : now)) {
            if (!take) {
                return;
            }
            break;
        }
    }
    on_waiting_();
}

void Collector::collect() {
    taken_.clear();
    for (auto& observer : observers_) {
        observer->take(taken_);
    }
    // The length the next windows take, as the screen shows it (an event tells its own window's).
    const std::uint32_t window_ms = window_ms_->load();
    if (taken_.empty()) {
        model_.window_ms = window_ms;
        return;
    }
    kernel_.read(kKernelStateAge,
                 std::any_of(taken_.begin(), taken_.end(),
                             [](const Waiting& waiting) { return !waiting.event.has_figures; }));
    // In the order they happened, whichever core's they are (a core's own are in order).
    order_.resize(taken_.size());
    for (std::size_t i = 0; i < taken_.size(); ++i) {
        std::size_t at = i;
        for (; at > 0 && taken_[order_[at - 1]].event.time > taken_[i].event.time; --at) {
            order_[at] = order_[at - 1];
        }
        order_[at] = i;
    }
    const Keep keep = paused_.load() ? Keep::kBlank : Keep::kFigures;
    for (const std::size_t i : order_) {
        Waiting& waiting = taken_[i];
        CoreEvent& event = waiting.event;
        kernel_.fill(waiting.slot, &event);
        apply_event(event, model_, keep);
        if (waiting.record && recording_ != nullptr) {
            recording_->write(event);
        }
    }
    model_.window_ms = window_ms;
}

}  // namespace vorlix::kestrel::top
