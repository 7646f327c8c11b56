// Password verifications (bcrypt) off the server's connection threads: a few threads of their
// own at a lower priority, a bound on the verifications queued or running in all, and one on
// those of a single client address. A request whose credentials are not yet known waits for its
// verification without holding a connection thread (libmicrohttpd suspends its connection); a
// request beyond a bound is answered at once instead of queueing without end.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vorlix::kestrel::exporter {

class VerificationPool {
  public:
    struct Limits {
        unsigned threads = 2;
        unsigned pending = 8;      // verifications queued or running, in all
        unsigned per_address = 1;  // the same for one client address
    };

    enum class Admission {
        kQueued,       // it will run; the request waits for its wake
        kAddressBusy,  // the client's address has its share running or queued (429)
        kFull,         // the pool has its share queued (503)
        kClosed,       // the owner is closing (503)
    };
    enum class Outcome { kPending, kMatch, kMismatch, kReleased };

    struct Core;
    // What a waiting request holds: the outcome of its verification.
    class Ticket {
      public:
        Outcome outcome() const;

      private:
        friend struct Core;
        friend class VerificationPool;
        std::shared_ptr<Core> core_;
        // Under the core's lock.
        Outcome outcome_ = Outcome::kPending;
        std::function<void()> wake_;  // empty once called or released
        const void* owner_ = nullptr;
        std::string address_;
        std::function<bool()> verify_;
    };

    explicit VerificationPool(Limits limits);
    // Releases whatever still waits. The threads are left to end on their own: a verification
    // of a high cost that is running does not hold the exporter's stop up.
    ~VerificationPool();
    VerificationPool(const VerificationPool&) = delete;
    VerificationPool& operator=(const VerificationPool&) = delete;

    // Takes a verification for a request of `owner` (a server) from `address`, within the
    // limits; the ticket is set only when the answer is kQueued, and then start() must follow.
    // When the verification has run (or the owner closes first), the ticket's outcome is set
    // and `wake` is called, once, under the pool's lock: on a pool thread, or in close().
    Admission admit(const void* owner, const std::string& address, std::function<void()> wake,
                    std::shared_ptr<Ticket>* ticket);
    // Queues the admitted ticket's verification (not run when it was released meanwhile).
    void start(const std::shared_ptr<Ticket>& ticket, std::function<bool()> verify);

    // Every request of `owner` that still waits is woken now with kReleased, and its further
    // submissions are refused (kClosed). Once this returns no wake of the owner's runs or will
    // run; a verification already running finishes unobserved. forget() drops the owner when
    // it is gone.
    void close(const void* owner);
    void forget(const void* owner);

    // Verifications queued or running now (all, and those of `address`).
    unsigned pending() const;
    unsigned pending(const std::string& address) const;

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace vorlix::kestrel::exporter
