#include "qelbo/model/disk_backend.h"

#include <filesystem>
#include <limits>
#include <system_error>

#include "mirot/observation.h"
#include "mirot/tuning.h"
#include "qelbo/model/config_file.h"

namespace qelbo {

QELError to_qel_error(const mirot::MirotError& e) {
    if (e.kind() == mirot::MirotError::Kind::InvalidShape) return QELError::invalid_shape(e.expected(), e.got());
    return QELError::invalid_parameter(e.message());
}

namespace {

// Runs fn, turning the index library's error into the core's.
template <class Fn>
decltype(auto) converted(Fn&& fn) {
    try {
        return fn();
    } catch (const mirot::MirotError& e) {
        throw to_qel_error(e);
    }
}

mirot::BlockView to_mirot(const MatView& v) {
    return mirot::BlockView{v.data, v.rows, v.cols, v.row_stride, v.col_stride};
}

Array2 from_mirot(mirot::Matrix&& m) { return Array2(m.rows, m.cols, std::move(m.values)); }

QELError lock_poisoned() { return QELError::invalid_parameter("disk backend lock poisoned"); }

struct StoreShape {
    std::uint64_t num_dim;
    std::uint64_t num_metrics;
    bool scale_x;
};

// The widths and scaling recorded in the text of a store's metadata.json.
StoreShape read_store_shape(const std::string& text) {
    const std::optional<std::uint64_t> d = mirot::parse_json_usize_field(text, "num_dim");
    if (!d) throw QELError::invalid_parameter("missing num_dim");
    const std::optional<std::uint64_t> m = mirot::parse_json_usize_field(text, "num_metrics");
    if (!m) throw QELError::invalid_parameter("missing num_metrics");
    if (*d == 0) throw QELError::invalid_parameter("metadata.json records num_dim 0");
    if (*m == 0) throw QELError::invalid_parameter("metadata.json records num_metrics 0");
    // The same bounds the store applies, checked before anything is sized by them.
    for (auto [name, value] : {std::pair{"num_dim", *d}, std::pair{"num_metrics", *m}}) {
        if (value > mirot::kMaxColumns) {
            throw QELError::invalid_parameter(std::string(name) + " " + std::to_string(value) + " exceeds maximum " +
                                              std::to_string(mirot::kMaxColumns));
        }
    }
    return {*d, *m, text.find("\"scale_x\":true") != std::string::npos};
}

}  // namespace

struct DiskBackendHandle::Job {
    struct Outcome {
        std::optional<QELError> error;
        bool panicked = false;
    };
    std::thread thread;
    std::shared_ptr<Outcome> outcome;
};

namespace {

// The background thread's whole work: build a synced copy under the read lock, install it
// under the write lock. It reports by its outcome only.
void background_sync(const std::shared_ptr<DiskBackendHandle::Shared>& shared,
                     const std::shared_ptr<DiskBackendHandle::Job::Outcome>& outcome) {
    try {
        const std::lock_guard<std::mutex> one_build(shared->build_mutex);
        std::optional<mirot::MirotBackend::BuiltIndex> built;
        {
            PoisonSharedMutex::ReadGuard guard = shared->lock.lock_shared();
            if (shared->lock.poisoned()) {
                outcome->error = QELError::invalid_parameter("disk backend lock poisoned during soft sync");
                return;
            }
            try {
                built = shared->value.inner.soft_sync_build();
            } catch (const mirot::MirotError& e) {
                outcome->error = to_qel_error(e);
                return;
            }
        }
        if (!built) return;
        PoisonSharedMutex::WriteGuard guard = shared->lock.lock();
        if (shared->lock.poisoned()) {
            outcome->error = QELError::invalid_parameter("disk backend lock poisoned during soft sync publish");
            return;
        }
        try {
            shared->value.inner.soft_sync_publish(std::move(*built));
        } catch (...) {
            shared->lock.poison();
            throw;
        }
    } catch (...) {
        outcome->panicked = true;
    }
}

}  // namespace

std::shared_ptr<DiskBackendHandle> DiskBackendHandle::open(const std::string& work_dir, const MatView& x,
                                                           const MatView& y, const std::optional<MatView>& yvar,
                                                           bool scale_x, std::vector<double> x_scale) {
    install_mirot_tuning_from_config();
    const std::filesystem::path dir(work_dir);
    std::optional<mirot::MirotBackend> inner;
    std::optional<std::string> metadata;
    if (x.rows == 0 && y.rows == 0) metadata = converted([&] { return mirot::read_metadata(work_dir); });
    if (metadata) {
        const StoreShape shape = read_store_shape(*metadata);
        const std::vector<double> ones(shape.num_dim, 1.0);
        converted([&] {
            inner.emplace(mirot::MirotBackend::open(
                dir, mirot::BlockView{nullptr, 0, static_cast<std::size_t>(shape.num_dim), 0, 1},
                mirot::BlockView{nullptr, 0, static_cast<std::size_t>(shape.num_metrics), 0, 1}, std::nullopt,
                shape.scale_x, ones));
        });
    } else {
        std::optional<mirot::BlockView> yv;
        if (yvar) yv = to_mirot(*yvar);
        converted([&] {
            inner.emplace(mirot::MirotBackend::open(dir, to_mirot(x), to_mirot(y), yv, scale_x, std::move(x_scale)));
        });
    }
    const mirot::MirotTuning tuning = mirot::current_tuning();
    inner->set_flush_thresholds(tuning.pending_flush_threshold,
                                std::max(tuning.pending_flush_threshold, tuning.pending_hard_flush_threshold));
    const std::size_t num_metrics = inner->num_metrics();
    auto shared = std::make_shared<Shared>(DiskMirotQelBackend{std::move(*inner), num_metrics, true});
    return std::make_shared<DiskBackendHandle>(std::move(shared));
}

DiskBackendHandle::DiskBackendHandle(std::shared_ptr<Shared> backend) : backend_(std::move(backend)) {}

DiskBackendHandle::~DiskBackendHandle() {
    if (job_ && job_->thread.joinable()) job_->thread.detach();
}

DiskBackendHandle::Reader DiskBackendHandle::read() const {
    Reader r(*backend_);
    if (backend_->lock.poisoned()) throw lock_poisoned();
    return r;
}

DiskBackendHandle::Writer DiskBackendHandle::write() const {
    Writer w(*backend_);
    if (backend_->lock.poisoned()) throw lock_poisoned();
    return w;
}

template <class Fn>
decltype(auto) DiskBackendHandle::with_write(Fn&& fn) const {
    Writer w = write();
    try {
        return fn(w->inner);
    } catch (const CoreError&) {
        throw;
    } catch (const mirot::MirotError& e) {
        throw to_qel_error(e);
    } catch (...) {
        backend_->lock.poison();
        throw;
    }
}

void DiskBackendHandle::store_last_error(const QELError& error) const {
    PoisonMutex::Guard guard = last_error_mutex_.lock();
    if (last_error_mutex_.poisoned()) throw QELError::invalid_parameter("flush last_error poisoned");
    last_error_ = error;
}

void DiskBackendHandle::wait_for_flush() const {
    std::unique_ptr<Job> job;
    {
        PoisonMutex::Guard guard = job_mutex_.lock();
        if (job_mutex_.poisoned()) throw QELError::invalid_parameter("flush job poisoned");
        job = std::move(job_);
    }
    if (job) {
        job->thread.join();
        if (job->outcome->panicked || job->outcome->error) {
            // Kept and thrown as it is: its kind and text, prefixed once.
            const QELError error = job->outcome->panicked
                                       ? QELError::invalid_parameter("background soft sync panicked")
                                       : *job->outcome->error;
            store_last_error(error);
            throw error;
        }
    }
    std::optional<QELError> kept;
    {
        PoisonMutex::Guard guard = last_error_mutex_.lock();
        if (last_error_mutex_.poisoned()) throw QELError::invalid_parameter("flush last_error poisoned");
        kept = std::move(last_error_);
        last_error_.reset();
    }
    if (kept) throw *kept;
}

void DiskBackendHandle::schedule_background_flush() const {
    {
        PoisonMutex::Guard guard = last_error_mutex_.lock();
        if (last_error_mutex_.poisoned()) throw QELError::invalid_parameter("flush last_error poisoned");
        if (last_error_) throw *last_error_;
    }
    std::uint64_t pending, soft, hard;
    {
        Reader r = read();
        pending = r->inner.pending_rows();
        soft = r->inner.soft_flush_threshold();
        hard = r->inner.hard_flush_threshold();
    }
    if (pending >= hard) {
        wait_for_flush();
        with_write([](mirot::MirotBackend& inner) {
            if (inner.pending_rows() < inner.hard_flush_threshold()) return;
            if (std::optional<mirot::MirotBackend::BuiltIndex> built = inner.soft_sync_build()) {
                inner.soft_sync_publish(std::move(*built));
            }
        });
        return;
    }
    {
        PoisonMutex::Guard guard = job_mutex_.lock();
        if (job_mutex_.poisoned()) throw QELError::invalid_parameter("flush job poisoned");
        if (job_) return;
    }
    if (pending < soft) return;

    auto job = std::make_unique<Job>();
    job->outcome = std::make_shared<Job::Outcome>();
    try {
        job->thread = std::thread([shared = backend_, outcome = job->outcome] { background_sync(shared, outcome); });
    } catch (const std::system_error&) {
        throw Panic("failed to spawn thread");
    }
    PoisonMutex::Guard guard = job_mutex_.lock();
    if (job_mutex_.poisoned()) {
        job->thread.detach();
        throw QELError::invalid_parameter("flush job poisoned");
    }
    if (job_) {
        // Another caller started one meanwhile; one job per handle.
        job->thread.join();
        return;
    }
    job_ = std::move(job);
}

bool DiskBackendHandle::has_job() const {
    PoisonMutex::Guard guard = job_mutex_.lock();
    return job_ != nullptr;
}

void DiskBackendHandle::persist_index_to_disk() const {
    wait_for_flush();
    with_write([](mirot::MirotBackend& inner) { inner.persist_index(); });
}

void DiskBackendHandle::release_observation_pages() const {
    with_write([](mirot::MirotBackend& inner) { inner.release_resident_pages(); });
}

void DiskBackendHandle::append(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) const {
    wait_for_flush();
    std::optional<QELError> sync_error = with_write([&](mirot::MirotBackend& inner) -> std::optional<QELError> {
        const std::size_t k = x.rows;
        if (x.cols != inner.num_dim()) throw QELError::invalid_shape({k, inner.num_dim()}, {k, x.cols});
        if (y.cols != inner.num_metrics()) throw QELError::invalid_shape({k, inner.num_metrics()}, {k, y.cols});
        constexpr std::uint64_t row_limit = std::numeric_limits<std::uint32_t>::max();
        if (k >= row_limit || inner.num_obs() >= row_limit - k) {
            throw QELError::invalid_parameter("row count exceeds u32::MAX");
        }
        std::optional<mirot::BlockView> yv;
        if (yvar) yv = to_mirot(*yvar);
        inner.append(to_mirot(x), to_mirot(y), yv);
        if (inner.pending_rows() < inner.hard_flush_threshold()) return std::nullopt;
        try {
            inner.ensure_index_sync();
        } catch (const mirot::MirotError& e) {
            return to_qel_error(e);
        }
        return std::nullopt;
    });
    // The rows are stored whatever happens to the index: a failed catch-up is the next
    // wait's error, not this append's, so that a caller never stores the rows twice.
    if (sync_error) store_last_error(*sync_error);
}

void DiskBackendHandle::ensure_index_sync(bool scale_x, std::span<const double> x_scale) const {
    wait_for_flush();
    with_write([&](mirot::MirotBackend& inner) {
        inner.update_x_scaling(scale_x, x_scale);
        inner.ensure_index_sync();
    });
}

void DiskBackendHandle::mark_index_stale() const {
    try {
        with_write([](mirot::MirotBackend& inner) { inner.reset_index(); });
    } catch (const CoreError&) {
        // A poisoned store is left as it is; its next user is told.
    }
}

SearchResult DiskBackendHandle::search(const MatView& queries, std::int64_t search_k, bool drop_first) const {
    Reader r = read();
    mirot::SearchResult res = converted([&] { return r->inner.search(to_mirot(queries), search_k, drop_first); });
    return SearchResult{Array2(res.num_queries, res.out_k, std::move(res.distances)),
                        IndexArray2(res.num_queries, res.out_k, std::move(res.indices))};
}

std::vector<double> DiskBackendHandle::row_x(std::size_t i) const {
    Reader r = read();
    const std::span<const double> row = converted([&] { return r->inner.row_x(i); });
    return {row.begin(), row.end()};
}

std::vector<double> DiskBackendHandle::row_y(std::size_t i) const {
    Reader r = read();
    const mirot::MirotBackend::YRows rows = converted([&] { return r->inner.mmap_row_y_and_yvar(i); });
    return {rows.y.begin(), rows.y.end()};
}

std::optional<std::vector<double>> DiskBackendHandle::row_yvar(std::size_t i) const {
    Reader r = read();
    const mirot::MirotBackend::YRows rows = converted([&] { return r->inner.mmap_row_y_and_yvar(i); });
    if (!rows.yvar) return std::nullopt;
    return std::vector<double>(rows.yvar->begin(), rows.yvar->end());
}

TrainRows DiskBackendHandle::train_rows_at(std::span<const std::size_t> indices) const {
    Reader r = read();
    const std::uint64_t n = r->inner.num_obs();
    for (std::size_t i : indices) {
        if (i >= n) {
            throw QELError::invalid_parameter("mirot_train_rows_at index " + std::to_string(i) + " out of range [0, " +
                                              std::to_string(n) + ")");
        }
    }
    const std::vector<std::uint64_t> rows(indices.begin(), indices.end());
    return converted([&] {
        TrainRows out{from_mirot(r->inner.gather_x(rows)), from_mirot(r->inner.gather_y(rows)), std::nullopt};
        if (std::optional<mirot::Matrix> yv = r->inner.gather_yvar(rows)) out.yvar = from_mirot(std::move(*yv));
        return out;
    });
}

std::uint64_t DiskBackendHandle::index_file_bytes() const {
    Reader r = read();
    return r->inner.index_file_bytes();
}

}  // namespace qelbo
