// The password verification pool.
#include "cpu/exporter/verification_pool.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace vorlix::kestrel::exporter {

namespace {

// A verification takes the processor only when the server's threads do not want it: a scrape
// whose credentials are known is answered at once even while bcrypt runs on every core.
constexpr int kVerificationNice = 10;

using Ticket = VerificationPool::Ticket;
using Outcome = VerificationPool::Outcome;

}  // namespace

// What the pool's threads share with it; they keep it alive after the pool is gone.
struct VerificationPool::Core {
    explicit Core(Limits l) : limits(l) {}

    void run();
    void finish(Ticket& ticket, bool match);
    static void release(Ticket& ticket);

    const Limits limits;
    std::mutex mutex;
    std::condition_variable work;
    std::vector<std::shared_ptr<Ticket>> admitted;  // not started yet
    std::deque<std::shared_ptr<Ticket>> queue;
    std::vector<std::shared_ptr<Ticket>> running;
    std::map<std::string, unsigned> by_address;
    std::set<const void*> closed;
    unsigned pending = 0;
    bool stopping = false;
};

Outcome Ticket::outcome() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return outcome_;
}

void VerificationPool::Core::release(Ticket& ticket) {
    if (ticket.outcome_ == Outcome::kPending) {
        ticket.outcome_ = Outcome::kReleased;
    }
    if (ticket.wake_) {
        std::exchange(ticket.wake_, nullptr)();
    }
}

void VerificationPool::Core::run() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kVerificationNice);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        work.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) {
            return;
        }
        std::shared_ptr<Ticket> ticket = std::move(queue.front());
        queue.pop_front();
        bool match = false;
        // A request released while its verification waited in the queue needs none.
        if (ticket->outcome_ == Outcome::kPending) {
            running.push_back(ticket);
            const std::function<bool()> verify = std::exchange(ticket->verify_, nullptr);
            lock.unlock();
            try {
                match = verify();
            } catch (...) {
                match = false;
            }
            lock.lock();
            running.erase(std::find(running.begin(), running.end(), ticket));
        }
        finish(*ticket, match);
    }
}

void VerificationPool::Core::finish(Ticket& ticket, bool match) {
    if (ticket.outcome_ == Outcome::kPending) {
        ticket.outcome_ = match ? Outcome::kMatch : Outcome::kMismatch;
    }
    release(ticket);
    const auto found = by_address.find(ticket.address_);
    if (found != by_address.end() && --found->second == 0) {
        by_address.erase(found);
    }
    --pending;
}

VerificationPool::VerificationPool(Limits limits) : core_(std::make_shared<Core>(limits)) {
    for (unsigned i = 0; i < std::max(1u, limits.threads); ++i) {
        std::thread([core = core_] { core->run(); }).detach();
    }
}

VerificationPool::~VerificationPool() {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->stopping = true;
    for (auto& ticket : core_->admitted) {
        Core::release(*ticket);
    }
    for (auto& ticket : core_->queue) {
        Core::release(*ticket);
    }
    for (auto& ticket : core_->running) {
        Core::release(*ticket);
    }
    core_->queue.clear();
    core_->work.notify_all();
}

VerificationPool::Admission VerificationPool::admit(const void* owner, const std::string& address,
                                                    std::function<void()> wake,
                                                    std::shared_ptr<Ticket>* ticket) {
    Core& core = *core_;
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.stopping || core.closed.count(owner) != 0) {
        return Admission::kClosed;
    }
    const auto found = core.by_address.find(address);
    if (found != core.by_address.end() && found->second >= core.limits.per_address) {
        return Admission::kAddressBusy;
    }
    if (core.pending >= core.limits.pending) {
        return Admission::kFull;
    }
    auto admitted = std::make_shared<Ticket>();
    admitted->core_ = core_;
    admitted->owner_ = owner;
    admitted->address_ = address;
    admitted->wake_ = std::move(wake);
    ++core.by_address[address];
    ++core.pending;
    core.admitted.push_back(admitted);
    *ticket = std::move(admitted);
    return Admission::kQueued;
}

void VerificationPool::start(const std::shared_ptr<Ticket>& ticket, std::function<bool()> verify) {
    Core& core = *core_;
    std::lock_guard<std::mutex> lock(core.mutex);
    const auto found = std::find(core.admitted.begin(), core.admitted.end(), ticket);
    if (found == core.admitted.end()) {
        return;
    }
    core.admitted.erase(found);
    if (ticket->outcome_ != Outcome::kPending || core.stopping) {
        // Released before it could start: it ends here.
        core.finish(*ticket, false);
        return;
    }
    ticket->verify_ = std::move(verify);
    core.queue.push_back(ticket);
    core.work.notify_one();
}

void VerificationPool::close(const void* owner) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->closed.insert(owner);
    const auto release = [owner](const std::shared_ptr<Ticket>& ticket) {
        if (ticket->owner_ == owner) {
            Core::release(*ticket);
        }
    };
    std::for_each(core_->admitted.begin(), core_->admitted.end(), release);
    std::for_each(core_->queue.begin(), core_->queue.end(), release);
    std::for_each(core_->running.begin(), core_->running.end(), release);
}

void VerificationPool::forget(const void* owner) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->closed.erase(owner);
}

unsigned VerificationPool::pending() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->pending;
}

unsigned VerificationPool::pending(const std::string& address) const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    const auto found = core_->by_address.find(address);
    return found == core_->by_address.end() ? 0 : found->second;
}

}  // namespace vorlix::kestrel::exporter
