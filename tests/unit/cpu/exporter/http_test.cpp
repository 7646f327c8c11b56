// The server's parts that tests from outside reach only by luck of timing: the password
// verification pool's bounds and its release of waiting requests; and the reading of a
// request's credentials and route.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

#include "cpu/exporter/http_request.h"
#include "cpu/exporter/verification_pool.h"

namespace {

using vorlix::kestrel::exporter::Credentials;
using vorlix::kestrel::exporter::decode_basic_credentials;
using vorlix::kestrel::exporter::Route;
using vorlix::kestrel::exporter::route_of;
using vorlix::kestrel::exporter::VerificationPool;
using Admission = VerificationPool::Admission;
using Outcome = VerificationPool::Outcome;

// A verification that runs until it is let go.
class Gate {
  public:
    std::function<bool()> verification(bool result) {
        return [this, result] {
            std::unique_lock<std::mutex> lock(mutex_);
            ++entered_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return open_; });
            return result;
        };
    }
    void wait_entered(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(
            changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ >= count; }));
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool open_ = false;
};

TEST(VerificationPoolTest, BoundsPerAddressAndInAllAnswerAtOnce) {
    VerificationPool pool({1, 2, 1});
    Gate gate;
    const int owner = 0;
    std::shared_ptr<VerificationPool::Ticket> a, b, c;
    std::promise<void> a_woken;
    ASSERT_EQ(pool.admit(
                  &owner, "10.0.0.1", [&] { a_woken.set_value(); }, &a),
              Admission::kQueued);
    pool.start(a, gate.verification(true));
    // A second from the same address, whatever the pool's room.
    EXPECT_EQ(pool.admit(
                  &owner, "10.0.0.1", [] {}, &c),
              Admission::kAddressBusy);
    EXPECT_EQ(c, nullptr);
    ASSERT_EQ(pool.admit(
                  &owner, "10.0.0.2", [] {}, &b),
              Admission::kQueued);
    pool.start(b, gate.verification(false));
    EXPECT_EQ(pool.admit(
                  &owner, "10.0.0.3", [] {}, &c),
              Admission::kFull);
    EXPECT_EQ(pool.pending(), 2u);

    gate.wait_entered(1);
    EXPECT_EQ(a->outcome(), Outcome::kPending);
    gate.open();
    a_woken.get_future().wait();
    EXPECT_EQ(a->outcome(), Outcome::kMatch);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         pool.pending() != 0 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::yield();
    }
    EXPECT_EQ(b->outcome(), Outcome::kMismatch);
    EXPECT_EQ(pool.pending("10.0.0.1"), 0u);
    EXPECT_EQ(pool.admit(
                  &owner, "10.0.0.1", [] {}, &c),
              Admission::kQueued);
    pool.start(c, [] { return true; });
}

TEST(VerificationPoolTest, CloseWakesEveryWaitingRequestOfTheOwnerAtOnce) {
    VerificationPool pool({1, 8, 1});
    Gate gate;
    const int closing = 0, other = 0;
    std::atomic<int> woken{0};
    std::shared_ptr<VerificationPool::Ticket> running, queued, admitted, others;
    const auto wake = [&] { ++woken; };
    ASSERT_EQ(pool.admit(&closing, "a", wake, &running), Admission::kQueued);
    pool.start(running, gate.verification(true));
    gate.wait_entered(1);
    ASSERT_EQ(pool.admit(&closing, "b", wake, &queued), Admission::kQueued);
    pool.start(queued, [] { return true; });
    ASSERT_EQ(pool.admit(&closing, "c", wake, &admitted), Admission::kQueued);
    ASSERT_EQ(pool.admit(
                  &other, "d", [] {}, &others),
              Admission::kQueued);
    pool.start(others, [] { return true; });

    // The running verification still runs: close does not wait for it.
    pool.close(&closing);
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(running->outcome(), Outcome::kReleased);
    EXPECT_EQ(queued->outcome(), Outcome::kReleased);
    EXPECT_EQ(admitted->outcome(), Outcome::kReleased);
    EXPECT_EQ(others->outcome(), Outcome::kPending);
    std::shared_ptr<VerificationPool::Ticket> late;
    EXPECT_EQ(pool.admit(&closing, "e", wake, &late), Admission::kClosed);

    // What was released is never woken again, nor verified.
    pool.start(admitted, [] {
        ADD_FAILURE() << "a released request was verified";
        return true;
    });
    gate.open();
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         pool.pending() != 0 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::yield();
    }
    EXPECT_EQ(pool.pending(), 0u);
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(running->outcome(), Outcome::kReleased);
    EXPECT_EQ(others->outcome(), Outcome::kMatch);
    pool.forget(&closing);
    EXPECT_EQ(pool.admit(
                  &closing, "e", [] {}, &late),
              Admission::kQueued);
    pool.start(late, [] { return false; });
}

TEST(HttpRequest, BasicCredentialsAreDecodedStrictly) {
    Credentials out;
    ASSERT_TRUE(decode_basic_credentials("Basic YWxpY2U6czNjcjN0", &out));
    EXPECT_EQ(out.user, "alice");
    EXPECT_EQ(out.password, "s3cr3t");
    // The password may hold colons; the scheme's case and blanks around the token do not count.
    ASSERT_TRUE(decode_basic_credentials("  bAsIc \tYTpiOmM= ", &out));
    EXPECT_EQ(out.user, "a");
    EXPECT_EQ(out.password, "b:c");
    ASSERT_TRUE(decode_basic_credentials("Basic Og==", &out));
    EXPECT_EQ(out.user, "");
    EXPECT_EQ(out.password, "");
    for (const char* refused : {
             "",                         // nothing
             "Basic",                    // no token
             "Basic ",                   // an empty token
             "Bearer YWxpY2U6czNjcjN0",  // another scheme
             "BasicYWxpY2U6czNjcjN0",    // no blank after the scheme
             "Basic YWxpY2U",            // no padding
             "Basic YWxpY2U6czNjcjN0=",  // a length that is not a multiple of 4
             "Basic YWxpY2U*czNjcjN0",   // a byte out of the alphabet
             "Basic YWxpY2U=",           // no colon
             "Basic YR==",               // bits left over
             "Basic YQBiOmM=",           // "a\0b:c": a NUL byte
             "Basic YWxp Y2U6czNjcjN0",  // a blank inside the token
         }) {
        Credentials untouched;
        untouched.user = "kept";
        EXPECT_FALSE(decode_basic_credentials(refused, &untouched)) << refused;
        EXPECT_EQ(untouched.user, "kept") << refused;
    }
}

TEST(HttpRequest, RouteOfMethodAndPath) {
    EXPECT_EQ(route_of("GET", "/metrics", "/metrics"), Route::kMetrics);
    EXPECT_EQ(route_of("HEAD", "/metrics", "/metrics"), Route::kMetrics);
    EXPECT_EQ(route_of("GET", "/", "/metrics"), Route::kIndex);
    EXPECT_EQ(route_of("GET", "/metrics/", "/metrics"), Route::kNotFound);
    EXPECT_EQ(route_of("GET", "/m", "/metrics"), Route::kNotFound);
    EXPECT_EQ(route_of("POST", "/metrics", "/metrics"), Route::kMethodNotAllowed);
    EXPECT_EQ(route_of("get", "/metrics", "/metrics"), Route::kMethodNotAllowed);
}

}  // namespace
