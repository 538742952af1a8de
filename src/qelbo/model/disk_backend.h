#pragma once
// The disk variant of a model's observation backend: one work directory's store shared
// under a reader-writer lock, plus at most one background thread that brings the page
// index up to date on a copy and swaps it in. A failure of that thread is never reported
// in it: its text comes back through the next wait.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/poison_lock.h"
#include "mirot/mirot_backend.h"
#include "qelbo/core/array.h"
#include "qelbo/core/error.h"
#include "qelbo/model/in_memory.h"
#include "qelbo/model/index.h"

namespace qelbo {

// The index library's error as the core's error of the same kind and contents.
QELError to_qel_error(const mirot::MirotError& e);

struct DiskMirotQelBackend {
    mirot::MirotBackend inner;
    std::size_t num_metrics = 0;
    // Set at creation and never cleared: the disk search's answer is the final neighbour list.
    bool search_is_final = true;
};

class DiskBackendHandle {
public:
    struct Shared {
        explicit Shared(DiskMirotQelBackend v) : value(std::move(v)) {}
        PoisonSharedMutex lock;
        // Held by a background sync from its build to its publish. A scheduler can start a
        // job while a waiter is still joining the previous one; two builds at once would
        // race on the index bookkeeping files, so the second waits here.
        std::mutex build_mutex;
        DiskMirotQelBackend value;
    };
    // A background sync thread and what it reports.
    struct Job;

    // Read access to the store; the lock is held while the guard lives.
    class Reader {
    public:
        const DiskMirotQelBackend& operator*() const { return shared_->value; }
        const DiskMirotQelBackend* operator->() const { return &shared_->value; }

    private:
        friend class DiskBackendHandle;
        explicit Reader(Shared& s) : guard_(s.lock.lock_shared()), shared_(&s) {}
        PoisonSharedMutex::ReadGuard guard_;
        Shared* shared_;
    };

    class Writer {
    public:
        DiskMirotQelBackend& operator*() const { return shared_->value; }
        DiskMirotQelBackend* operator->() const { return &shared_->value; }

    private:
        friend class DiskBackendHandle;
        explicit Writer(Shared& s) : guard_(s.lock.lock()), shared_(&s) {}
        PoisonSharedMutex::WriteGuard guard_;
        Shared* shared_;
    };

    // Opens or creates the store of `work_dir` (reopening it from its metadata when no rows
    // are given and the directory describes a store), after installing the tuning from the
    // configuration file. Throws QELError.
    static std::shared_ptr<DiskBackendHandle> open(const std::string& work_dir, const MatView& x, const MatView& y,
                                                   const std::optional<MatView>& yvar, bool scale_x,
                                                   std::vector<double> x_scale);

    explicit DiskBackendHandle(std::shared_ptr<Shared> backend);
    DiskBackendHandle(const DiskBackendHandle&) = delete;
    DiskBackendHandle& operator=(const DiskBackendHandle&) = delete;
    // A job still in its slot keeps running on its own reference to the store.
    ~DiskBackendHandle();

    // Throw "disk backend lock poisoned" when a writer failed inside the lock before.
    Reader read() const;
    Writer write() const;

    // Joins the background job; its failure, or one kept from before, is returned once more.
    void wait_for_flush() const;
    // Starts a background sync when enough rows are pending, or syncs at once at the hard threshold.
    void schedule_background_flush() const;
    // Brings the index up to date and writes it with the bookkeeping files; writes nothing
    // when nothing changed since the last persist.
    void persist_index_to_disk() const;
    // Gives back the resident pages of the row files.
    void release_observation_pages() const;

    // The model's operations on the disk variant.
    void append(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) const;
    void ensure_index_sync(bool scale_x, std::span<const double> x_scale) const;
    void mark_index_stale() const;
    SearchResult search(const MatView& queries, std::int64_t search_k, bool drop_first) const;
    std::vector<double> row_x(std::size_t i) const;
    std::vector<double> row_y(std::size_t i) const;
    std::optional<std::vector<double>> row_yvar(std::size_t i) const;
    TrainRows train_rows_at(std::span<const std::size_t> indices) const;
    // Bytes of the index files recorded by each fragment (a fragment counts its directory's files).
    std::uint64_t index_file_bytes() const;

    // The running or finished background job, if any; for tests.
    bool has_job() const;

private:
    void store_last_error(const QELError& error) const;
    // Runs fn on the store under the write lock. An exception other than an error value
    // poisons the lock on its way out; the index library's errors become the core's.
    template <class Fn>
    decltype(auto) with_write(Fn&& fn) const;

    std::shared_ptr<Shared> backend_;
    mutable PoisonMutex job_mutex_;
    mutable std::unique_ptr<Job> job_;
    mutable PoisonMutex last_error_mutex_;
    mutable std::optional<QELError> last_error_;
};

}  // namespace qelbo
