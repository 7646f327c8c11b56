// The sampling loop of one core against a fake stub library: what it has done with a failed
// session by the time it tells the observer, the pause before the next attempt, and its end as
// soon as the core's remote processor runs again.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "cpu/sampling/sampler.h"
#include "fake_stub.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using vorlix::kestrel::run_sampler;
using vorlix::kestrel::Sample;
using vorlix::kestrel::SamplerConfig;
using vorlix::kestrel::SamplerObserver;
using vorlix::kestrel::SessionFailure;
using vorlix::kestrel::StopSignal;

// The fake libkestrel.so, held loaded for the whole test so that its state outlives the
// sampler's sessions, which load and unload it by name.
class SamplerTest : public testing::Test {
  protected:
    void SetUp() override {
        lib_ = dlopen("libkestrel.so", RTLD_NOW);
        ASSERT_NE(lib_, nullptr) << dlerror();
        auto get = reinterpret_cast<fake_stub_state_fn>(dlsym(lib_, "fake_stub_state_get"));
        ASSERT_NE(get, nullptr);
        state_ = get();
        std::memset(state_, 0, sizeof(*state_));
        state_->open_handle = 0x1234;
        config_.target.unsigned_pd = false;
        config_.window_ms = &window_ms_;
    }
    void TearDown() override {
        if (lib_ != nullptr) {
            dlclose(lib_);
        }
    }
    fake_stub_state& fake() { return *state_; }
    // Reading `i` of the PMU group: a good one a millisecond after the last, or a failed one.
    void reading(int i, bool good) {
        fake().readings[i] = {good ? 0 : -1, 10 * i, 5 * i, i, 1000 * i, 1000000 * i};
        fake().reading_count = std::max(fake().reading_count, i + 1);
    }

    SamplerConfig config_;
    StopSignal stop_;

  private:
    std::atomic<std::uint32_t> window_ms_{1};
    void* lib_ = nullptr;
    fake_stub_state* state_ = nullptr;
};

// Hands each event to the test's functions.
struct Observer : SamplerObserver {
    std::function<void()> on_sample = [] {};
    std::function<void(std::chrono::milliseconds)> on_failure;
    std::function<void(std::chrono::milliseconds)> on_still_down = [](std::chrono::milliseconds) {};
    void sample_taken(const Sample&) override { on_sample(); }
    void session_failed(const SessionFailure&, std::chrono::milliseconds reopen_in) override {
        on_failure(reopen_in);
    }
    void still_down(std::chrono::milliseconds reopen_in) override { on_still_down(reopen_in); }
};

TEST_F(SamplerTest, AFailedSessionIsReleasedAndClosedBeforeItsPause) {
    reading(0, false);  // the first sample fails, with the PMU group registered
    int released = -1;
    int closed = -1;
    Observer observer;
    observer.on_failure = [&](std::chrono::milliseconds) {
        released = fake().pmu_deinit_calls;
        closed = fake().close_calls;
        stop_.request();
    };
    run_sampler(config_, observer, stop_);
    EXPECT_EQ(fake().pmu_init_calls, 1);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(closed, 1);
}

TEST_F(SamplerTest, ThePauseStartsAgainAtOneSecondAfterAGoodSample) {
    fake().open_result = -1;  // the first open fails
    reading(0, true);
    reading(1, true);
    reading(2, false);  // the second sample of the session that then opens fails
    std::vector<std::chrono::milliseconds> pauses;
    int samples = 0;
    Observer observer;
    observer.on_sample = [&] { ++samples; };
    observer.on_failure = [&](std::chrono::milliseconds reopen_in) {
        pauses.push_back(reopen_in);
        fake().open_result = 0;
        if (pauses.size() == 2) {
            stop_.request();
        }
    };
    run_sampler(config_, observer, stop_);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(pauses, (std::vector<std::chrono::milliseconds>{1000ms, 1000ms}));
}

TEST_F(SamplerTest, ADownCoreIsOpenedAgainAsSoonAsItsProcessorRunsAgain) {
    monitor_test::FakeSysfs sysfs;
    sysfs.write("sys/class/remoteproc/remoteproc0/name", "cdsp\n");
    sysfs.write("sys/class/remoteproc/remoteproc0/state", "crashed\n");
    fake().open_result = -1;  // every attempt fails
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> failures;
    std::vector<std::chrono::milliseconds> left;
    Observer observer;
    observer.on_failure = [&](std::chrono::milliseconds) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(std::chrono::steady_clock::now());
    };
    observer.on_still_down = [&](std::chrono::milliseconds reopen_in) {
        std::lock_guard<std::mutex> lock(mutex);
        left.push_back(reopen_in);
    };
    const auto failed = [&](std::size_t count) {
        const auto end = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (failures.size() >= count || std::chrono::steady_clock::now() > end) {
                    return failures.size() >= count;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
    };
    std::thread sampler([&] { run_sampler(config_, observer, stop_); });
    // The first pause (1 s) is waited out while the processor is crashed; the second (2 s) ends
    // at the first look (every 100 ms here) after it runs again.
    ASSERT_TRUE(failed(2));
    std::this_thread::sleep_for(300ms);
    sysfs.write("sys/class/remoteproc/remoteproc0/state", "running\n");
    const auto running = std::chrono::steady_clock::now();
    const bool third = failed(3);
    stop_.request();
    sampler.join();
    ASSERT_TRUE(third);
    EXPECT_GE(failures[1] - failures[0], 950ms);
    EXPECT_LT(failures[2] - running, 1s);
    // Meanwhile each look told the time left of its pause (the first one's of 1 s).
    ASSERT_FALSE(left.empty());
    EXPECT_GT(left.front(), 0ms);
    EXPECT_LT(left.front(), 1000ms);
}

}  // namespace
