#pragma once
// Locks that remember a holder leaving its critical section by a broken expectation (a
// Panic or any exception that is not an error value). The guarded state may then be
// half-updated, so every later holder is told instead of reading it as if nothing
// happened. The holder marks the lock through `poison()` before it lets such an
// exception pass; readers change nothing and never need to.

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

namespace qelbo {

// Readers share it; a waiting writer is served before new readers, so a stream of
// overlapping searches cannot keep an append out for ever. Not recursive: a thread
// must not take it twice.
class PoisonSharedMutex {
public:
    class ReadGuard {
    public:
        explicit ReadGuard(PoisonSharedMutex& m) : m_(&m) { m.lock_shared_raw(); }
        ReadGuard(ReadGuard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        ReadGuard& operator=(ReadGuard&&) = delete;
        ~ReadGuard() {
            if (m_) m_->unlock_raw();
        }

    private:
        PoisonSharedMutex* m_;
    };
    class WriteGuard {
    public:
        explicit WriteGuard(PoisonSharedMutex& m) : m_(&m) { m.lock_raw(); }
        WriteGuard(WriteGuard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        WriteGuard& operator=(WriteGuard&&) = delete;
        ~WriteGuard() {
            if (m_) m_->unlock_raw();
        }

    private:
        PoisonSharedMutex* m_;
    };

    PoisonSharedMutex() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~PoisonSharedMutex() { pthread_rwlock_destroy(&lock_); }
    PoisonSharedMutex(const PoisonSharedMutex&) = delete;
    PoisonSharedMutex& operator=(const PoisonSharedMutex&) = delete;

    ReadGuard lock_shared() { return ReadGuard(*this); }
    WriteGuard lock() { return WriteGuard(*this); }
    bool poisoned() const { return poisoned_.load(); }
    void poison() { poisoned_.store(true); }

private:
    void lock_shared_raw() {
        while (pthread_rwlock_rdlock(&lock_) == EAGAIN) {
        }
    }
    void lock_raw() { pthread_rwlock_wrlock(&lock_); }
    void unlock_raw() { pthread_rwlock_unlock(&lock_); }

    pthread_rwlock_t lock_;
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
