// A sampling session on one compute-DSP core: load the stub library, switch the unsigned PD on
// where the core runs one, open the session (registering the PMU group outside the legacy mode),
// take samples over a window, release the group and close. The step functions are the one
// implementation of each step; kestrel's run driver calls them one by one with its own messages,
// CoreSession strings them together for the programs that sample many cores.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cpu/data_analyzer.h"
#include "cpu/sampling/board.h"

namespace vorlix::kestrel {

// The stub library of the remote interface, loaded by name.
inline constexpr const char* kStubLibrary = "libkestrel.so";

// Loads the stub library and its functions for `target` (KestrelStub::init).
bool load_stub(KestrelStub& stub, const CoreTarget& target);
// Allows an unsigned PD on the domain; the platform's result in `result` when given.
bool enable_unsigned_pd(std::uint32_t domain_id, int* result = nullptr);
// Opens the session on the target's domain; outside the legacy mode also registers the PMU group.
bool open_session(KestrelStub& stub, const CoreTarget& target, bool legacy);
// One sampling window of `window_ms` and the analysis of it (the analyzer's figures).
bool sample_window(DataAnalyzer& analyzer, bool legacy, std::uint32_t window_ms);
// Releases the PMU group (outside the legacy mode) and closes the session.
bool close_session(KestrelStub& stub, bool legacy);

// The steps of a session, in order.
enum class SessionStep {
    kNone,
    kLoad,        // loading libkestrel.so and its functions
    kUnsignedPd,  // the unsigned PD request
    kOpen,        // kestrel_open
    kRegister,    // kestrel_pmu_init: the PMU group
    kSample,      // the counter readings and the clock
    kClose,       // releasing the group and closing
};

// Short name of a step ("open", "sample", ...).
const char* step_name(SessionStep step);

// What went wrong in a session: the step, the platform's or the DSP's result where the step has
// one (0 otherwise), and the loader's text for a library that did not load.
struct SessionFailure {
    SessionStep step = SessionStep::kNone;
    int code = 0;
    std::string detail;

    // The step and the code with its meaning where platform_error_meaning knows it: "open failed
    // (0x80000608: the DSP process died or could not start)", "load failed: libkestrel.so:
    // cannot open ...".
    std::string describe() const;
};

// One sample of a core: the window's raw figures and what the analysis makes of them.
struct Sample {
    float measured_time_ms = 0.0f;  // the DSP's own timer over the window
    float processor_cycles = 0.0f;
    float committed_packets = 0.0f;
    float hvx_packets = 0.0f;
    float hmx_active_cycles = 0.0f;
    float clock_hz = 0.0f;
    // Utilisations in percent, 0..100. In the legacy mode only `qdsp6` is measured.
    float qdsp6 = 0.0f;
    float hvx = 0.0f;
    float hmx = 0.0f;
    double timestamp = 0.0;  // seconds since the epoch at the end of the window
    double monotonic = 0.0;  // the monotonic clock's seconds at the end of the window
};

class StopSignal;

class CoreSession {
  public:
    // With `stop`, a window in progress ends as soon as the stop is requested: the sample fails,
    // or with `short_window` it is taken over the part of the window that ran. Without `stop`
    // each window is slept out whole.
    CoreSession(CoreTarget target, bool legacy, const StopSignal* stop = nullptr,
                bool short_window = false);
    // Releases and closes what is still open.
    ~CoreSession();
    CoreSession(const CoreSession&) = delete;
    CoreSession& operator=(const CoreSession&) = delete;

    const CoreTarget& target() const { return target_; }
    bool legacy() const { return legacy_; }
    bool is_open() const;

    // Load, unsigned PD where the core runs one, open. False after a failure (failure() tells);
    // what the failed open left is closed by close() or the destructor.
    bool open();
    // One window of `window_ms`. False after a failure.
    bool sample(std::uint32_t window_ms, Sample* out);
    // Releases the group and closes the session, and unloads the library. False when the
    // platform refused (it has been asked as far as it allows).
    bool close();

    const SessionFailure& failure() const { return failure_; }

    // With `stop`: called as each window begins, once its first reading is taken.
    std::function<void()> window_started;

  private:
    bool fail(SessionStep step);

    CoreTarget target_;
    bool legacy_;
    const StopSignal* stop_;
    bool short_window_;
    std::unique_ptr<DataAnalyzer> analyzer_;
    SessionFailure failure_;
};

}  // namespace vorlix::kestrel
