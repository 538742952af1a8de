#pragma once
// Locks that remember a holder leaving its critical section by a broken expectation (a
// Panic or any exception that is not an error value). The guarded state may then be
// half-updated, so every later holder is told instead of reading it as if nothing
// happened. The holder marks the lock through `poison()` before it lets such an
// exception pass; readers change nothing and never need to.

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace qelbo {

class PoisonSharedMutex {
public:
    using ReadGuard = std::shared_lock<std::shared_mutex>;
    using WriteGuard = std::unique_lock<std::shared_mutex>;

    ReadGuard lock_shared() { return ReadGuard(mutex_); }
    WriteGuard lock() { return WriteGuard(mutex_); }
    bool poisoned() const { return poisoned_.load(); }
    void poison() { poisoned_.store(true); }

private:
    std::shared_mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

class PoisonMutex {
public:
    using Guard = std::unique_lock<std::mutex>;

    Guard lock() { return Guard(mutex_); }
    bool poisoned() const { return poisoned_.load(); }
    void poison() { poisoned_.store(true); }

private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace qelbo
