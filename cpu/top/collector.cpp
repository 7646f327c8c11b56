// One sampling thread per core, writing the model.
#include "cpu/top/collector.h"

#include <unistd.h>

#include <chrono>
#include <utility>

#include "cpu/sampling/clock.h"
#include "cpu/sampling/dsp_state.h"

namespace vorlix::kestrel::top {

namespace {

// How old a reading of the thermal zones and remote processors may be for another core's event.
constexpr std::chrono::milliseconds kKernelStateAge{250};
// How often the zones and processors are listed anew, with their types and trip points.
constexpr std::chrono::seconds kKernelListAge{30};

}  // namespace

Temperature temperature_for_core(const std::vector<ThermalZone>& zones, const std::string& domain) {
    Temperature out;
    const ThermalZone* zone = zone_for_core(zones, domain);
    if (zone == nullptr) {
        return out;
    }
    out.present = true;
    out.zone = zone->type;
    out.celsius = zone->celsius;
    if (const TripPoint* passive = zone->trip("passive")) {
        out.has_passive = true;
        out.passive = passive->celsius;
    }
    if (const TripPoint* critical = zone->trip("critical")) {
        out.has_critical = true;
        out.critical = critical->celsius;
    }
    return out;
}

class Collector::CoreObserver : public SamplerObserver {
  public:
    CoreObserver(Collector& owner, const CoreTarget& target) : owner_(owner), target_(target) {}

    void run() {
        SamplerConfig config;
        config.target = target_;
        config.legacy = owner_.legacy_;
        config.window_ms = owner_.window_ms_;
        run_sampler(config, *this, owner_.stop_);
    }

    void session_opened() override {
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(wall_clock_seconds());
        event.session = SessionState::kSampling;
        owner_.publish(event, false);
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
        owner_.publish(event, true);
    }

    void session_failed(const SessionFailure& failure,
                        std::chrono::milliseconds reopen_in) override {
        if (stopping()) {
            return;
        }
        CoreEvent event = base_event(wall_clock_seconds());
        event.session = SessionState::kDown;
        event.error = failure.describe();
        event.reopen_in = std::chrono::duration<double>(reopen_in).count();
        owner_.publish(event, true);
    }

  private:
    bool stopping() const { return owner_.stop_.requested(); }

    // The core, with what the kernel tells about it now.
    CoreEvent base_event(double time) const {
        CoreEvent event;
        event.time = time;
        event.index = target_.index;
        event.domain = target_.domain_name;
        event.arch = arch_label(target_.arch);
        event.legacy = owner_.legacy_;
        event.window_ms = owner_.window_ms_->load();
        const std::shared_ptr<const KernelState> kernel = owner_.kernel_state();
        event.temperature = temperature_for_core(kernel->zones, target_.domain_name);
        if (const Remoteproc* proc = remoteproc_for_core(kernel->procs, target_.domain_name)) {
            event.has_remoteproc = true;
            event.remoteproc = proc->state;
        }
        return event;
    }

    Collector& owner_;
    CoreTarget target_;
};

Collector::Collector(std::vector<CoreTarget> cores, bool legacy,
                     const std::atomic<std::uint32_t>* window_ms, RecordingWriter* recording,
                     int notify_fd)
    : cores_(std::move(cores)),
      legacy_(legacy),
      window_ms_(window_ms),
      recording_(recording),
      notify_fd_(notify_fd) {
    for (const auto& target : cores_) {
        model_.core(target.index, target.domain_name, arch_label(target.arch), legacy_);
    }
    model_.window_ms = window_ms_->load();
}

Collector::~Collector() {
    stop();
}

void Collector::start() {
    watch_.list();
    auto first = std::make_shared<KernelState>();
    first->read = first->listed = std::chrono::steady_clock::now();
    first->zones = watch_.zones();
    first->procs = watch_.procs();
    std::atomic_store(&kernel_, std::shared_ptr<const KernelState>(first));
    for (const auto& target : cores_) {
        observers_.push_back(std::make_unique<CoreObserver>(*this, target));
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
}

std::shared_ptr<const Collector::KernelState> Collector::kernel_state() {
    std::shared_ptr<const KernelState> last = std::atomic_load(&kernel_);
    const auto now = std::chrono::steady_clock::now();
    // Fresh enough, or another thread is reading: the last reading serves.
    if (now - last->read <= kKernelStateAge || kernel_reading_.exchange(true)) {
        return last;
    }
    auto fresh = std::make_shared<KernelState>();
    fresh->read = now;
    fresh->listed = last->listed;
    if (now - last->listed > kKernelListAge || !watch_.refresh()) {
        watch_.list();
        fresh->listed = now;
    }
    fresh->zones = watch_.zones();
    fresh->procs = watch_.procs();
    std::atomic_store(&kernel_, std::shared_ptr<const KernelState>(fresh));
    kernel_reading_ = false;
    return fresh;
}

Model Collector::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_;
}

void Collector::reserve_history(std::size_t samples) {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.reserve_history(samples);
}

void Collector::publish(const CoreEvent& event, bool record) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        apply_event(event, model_, !paused_.load());
        if (record && recording_ != nullptr) {
            recording_->write(event);
        }
        // A window's figures are told once every sampling core has its new ones (their windows
        // end together), so that the screen is drawn once for them all; a change of state at
        // once.
        fresh_.resize(model_.cores.size(), false);
        bool all = true;
        for (std::size_t i = 0; i < model_.cores.size(); ++i) {
            if (model_.cores[i].index == event.index) {
                fresh_[i] = true;
            }
            all = all && (fresh_[i] || model_.cores[i].session != SessionState::kSampling);
        }
        if (event.has_figures && !all) {
            return;
        }
        fresh_.assign(fresh_.size(), false);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(notify_fd_, &byte, 1);
}

}  // namespace vorlix::kestrel::top
