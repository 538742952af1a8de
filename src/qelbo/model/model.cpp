#include "qelbo/model/model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>

#include "mirot/observation.h"
#include "qelbo/model/disk_backend.h"

namespace qelbo {

ColumnMoments column_sums_and_sumsq(const MatView& a) {
    ColumnMoments m{std::vector<double>(a.cols, 0.0), std::vector<double>(a.cols, 0.0)};
    accumulate_columns(m.sums, m.sumsq, a);
    return m;
}

void accumulate_columns(std::vector<double>& sums, std::vector<double>& sumsq, const MatView& a) {
    for (std::size_t i = 0; i < a.rows; ++i) {
        for (std::size_t j = 0; j < a.cols; ++j) {
            const double v = a(i, j);
            sums[j] += v;
            sumsq[j] += v * v;
        }
    }
}

std::vector<double> scale_from_moments(std::size_t n, std::size_t width, std::span<const double> sums,
                                       std::span<const double> sumsq, double min_std) {
    std::vector<double> out(width, 1.0);
    if (n < 2) return out;
    const double nf = static_cast<double>(n);
    for (std::size_t j = 0; j < width; ++j) {
        const double mean = sums[j] / nf;
        double var = sumsq[j] / nf - mean * mean;
        if (var <= 0.0) var = 0.0;  // also turns -0.0 into +0.0
        const double std = std::sqrt(var);
        if (std::isfinite(std) && std > min_std) out[j] = std;
    }
    return out;
}

namespace {
constexpr double kXMinStd = 1e-12;

// Observation variances must be usable as variances.
void check_yvar_values(const MatView& yvar) {
    for (std::size_t i = 0; i < yvar.rows; ++i) {
        for (std::size_t j = 0; j < yvar.cols; ++j) {
            const double v = yvar(i, j);
            if (!(std::isfinite(v) && v >= 0.0)) {
                throw QELError::invalid_parameter("yvar must contain only finite, non-negative values");
            }
        }
    }
}

}  // namespace

// A NaN coordinate makes every distance to its row NaN, which the search orders first:
// such a row would be everyone's nearest neighbour, and such a query everyone's.
void check_x_values(const MatView& x) {
    if (!all_finite(x)) throw QELError::invalid_parameter("x must contain only finite values");
}

namespace {
std::optional<std::string> env_work_dir() {
    const char* v = std::getenv("QEL_WORK_DIR");
    if (!v) return std::nullopt;
    return std::string(v);
}

// The work directory as an absolute path, fixed once so that a later change of the
// current directory cannot move the store.
std::string absolute_work_dir(const std::string& dir) {
    if (dir.find('\0') != std::string::npos) throw QELError::invalid_parameter("work_dir contains a NUL byte");
    if (dir.empty()) throw QELError::invalid_parameter("work_dir is empty");
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(dir, ec);
    if (ec) throw QELError::invalid_parameter("work_dir " + dir + ": " + ec.message());
    // Not normalised: dropping "x/.." by text would leave the directory the system names
    // when x is a symbolic link.
    return abs.string();
}

bool metadata_exists(const std::string& dir) {
    try {
        return mirot::read_metadata(dir).has_value();
    } catch (const mirot::MirotError& e) {
        throw to_qel_error(e);
    }
}

// The absolute work directory of disk storage: work_dir, else QEL_WORK_DIR.
void check_disk_driver(IndexDriver index_driver) {
    if (index_driver != IndexDriver::MiRotDisk) {
        throw QELError::invalid_parameter("Disk storage requires IndexDriver::MiRotDisk");
    }
}

std::string disk_work_dir(std::optional<std::string> work_dir) {
    if (!work_dir) work_dir = env_work_dir();
    if (!work_dir) throw QELError::invalid_parameter("Disk storage requires work_dir or QEL_WORK_DIR");
    return absolute_work_dir(*work_dir);
}
}  // namespace

void Vantorix::check_disk_storage(IndexDriver index_driver, const std::optional<std::string>& work_dir,
                                  std::size_t rows) {
    check_disk_driver(index_driver);
    const std::string dir = disk_work_dir(work_dir);
    if (rows == 0) return;
    if (const std::uint64_t stored = mirot::mirot_load_num_obs(dir).value_or(0); stored > 0) {
        throw to_qel_error(mirot::stored_rows_error(dir, stored));
    }
}

Vantorix Vantorix::new_with_storage(Array2 x, Array2 y, std::optional<Array2> yvar, bool scale_x,
                                    IndexDriver index_driver, StorageMode storage,
                                    std::optional<std::string> work_dir) {
    const std::size_t n = x.rows;
    const std::size_t d = x.cols;
    const std::size_t m = y.cols;
    if (x.rows != y.rows) throw QELError::invalid_shape({y.rows, d}, {x.rows, d});
    if (yvar && (yvar->rows != y.rows || yvar->cols != y.cols)) {
        throw QELError::invalid_shape({y.rows, m}, {yvar->rows, yvar->cols});
    }
    if (scale_x && index_driver == IndexDriver::MiRotDisk) {
        throw QELError::invalid_parameter("scale_x=True is not compatible with MIROT_DISK");
    }
    if (yvar) check_yvar_values(view_of(*yvar));
    check_x_values(view_of(x));

    ColumnMoments ym = column_sums_and_sumsq(view_of(y));
    std::vector<double> y_scale = scale_from_moments(n, m, ym.sums, ym.sumsq, 0.0);
    std::vector<double> x_sum(d, 0.0), x_sumsq(d, 0.0), x_scale(d, 1.0);
    if (scale_x) {
        ColumnMoments xm = column_sums_and_sumsq(view_of(x));
        x_sum = std::move(xm.sums);
        x_sumsq = std::move(xm.sumsq);
        x_scale = scale_from_moments(n, d, x_sum, x_sumsq, kXMinStd);
    }
    // The model around a backend, with the sums and scales of the rows given.
    auto assemble = [&](QelBackend backend) {
        Vantorix model{std::move(backend)};
        model.x_scale_ = std::move(x_scale);
        model.y_scale_ = std::move(y_scale);
        model.y_sum_ = std::move(ym.sums);
        model.y_sumsq_ = std::move(ym.sumsq);
        model.x_sum_ = std::move(x_sum);
        model.x_sumsq_ = std::move(x_sumsq);
        model.num_obs_ = n;
        model.num_dim_ = d;
        model.num_metrics_ = m;
        model.scale_x_ = scale_x;
        return model;
    };

    if (storage == StorageMode::Disk) {
        check_disk_driver(index_driver);
        const std::string dir = disk_work_dir(std::move(work_dir));
        // Rows given to a store that holds rows are refused when it opens; a reopen takes
        // its sums and scales from the stored rows.
        const bool reopened = (n == 0 && metadata_exists(dir)) || mirot::mirot_load_num_obs(dir).value_or(0) > 0;
        if (d == 0 && !reopened) throw QELError::invalid_parameter("x must have at least one column");
        // A store without metrics could not be reopened: its metadata.json would be refused.
        if (m == 0 && !reopened) throw QELError::invalid_parameter("y must have at least one column");
        std::optional<MatView> yv;
        if (yvar) yv = view_of(*yvar);
        Vantorix model = assemble(QelBackend(DiskBackendHandle::open(dir, view_of(x), view_of(y), yv, scale_x, x_scale)));
        if (reopened || model.backend_.n() != n) model.adopt_stored_rows();
        return model;
    }
    if (index_driver != IndexDriver::Exact) {
        throw QELError::invalid_parameter("IndexDriver::MiRotDisk is disk-only; use DiskMirotQelBackend");
    }
    // Distances over zero coordinates mean nothing, and the index cannot hold such rows.
    if (d == 0) throw QELError::invalid_parameter("x must have at least one column");

    FaissBackend faiss = [&] {
        try {
            if (!scale_x) return FaissBackend::make_index(d, IndexDriver::Exact, view_of(x));
            Array2 scaled(n, d);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < d; ++j) scaled(i, j) = x(i, j) / x_scale[j];
            return FaissBackend::make_index(d, IndexDriver::Exact, view_of(scaled));
        } catch (const IndexSearchError& e) {
            throw QELError::invalid_parameter(e.what());
        }
    }();
    const std::size_t indexed = std::min(faiss.ntotal(), n);
    // An empty variance store would trail the others once rows arrive without variances.
    std::optional<RowStorage> yvar_store;
    if (yvar && n > 0) yvar_store = RowStorage::from_array2(std::move(*yvar));
    auto mem = std::make_unique<InMemoryQelBackend>(RowStorage::from_array2(std::move(x)),
                                                    RowStorage::from_array2(std::move(y)), std::move(yvar_store),
                                                    std::move(faiss), x_scale, scale_x, indexed);

    return assemble(QelBackend(std::move(mem)));
}

void Vantorix::add(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) {
    if (x.rows != y.rows || x.cols != num_dim_ || y.cols != num_metrics_) {
        throw QELError::invalid_shape({y.rows, num_metrics_}, {x.rows, x.cols});
    }
    const bool stores_yvar = backend_.stores_yvar();
    if (yvar) {
        if (yvar->rows != y.rows || yvar->cols != y.cols) {
            throw QELError::invalid_shape({y.rows, y.cols}, {yvar->rows, yvar->cols});
        }
        if (!stores_yvar && num_obs_ > 0) {
            throw QELError::invalid_parameter("yvar provided but model has no existing yvar");
        }
        check_yvar_values(*yvar);
    } else if (stores_yvar) {
        throw QELError::invalid_parameter("yvar must be provided if model has existing yvar");
    }
    check_x_values(x);
    if (x.rows == 0) return;

    std::size_t n;
    if (InMemoryQelBackend* mem = backend_.in_memory()) {
        mem->push_rows(x, y, yvar);
        n = mem->n();
    } else {
        (*backend_.disk())->append(x, y, yvar);
        try {
            n = backend_.n();
        } catch (const CoreError&) {
            n = num_obs_ + x.rows;  // the rows were stored; only the count read-back failed
        }
    }

    accumulate_columns(y_sum_, y_sumsq_, y);
    y_scale_ = scale_from_moments(n, num_metrics_, y_sum_, y_sumsq_, 0.0);
    if (scale_x_) {
        accumulate_columns(x_sum_, x_sumsq_, x);
        x_scale_ = scale_from_moments(n, num_dim_, x_sum_, x_sumsq_, kXMinStd);
        backend_.mark_index_stale();
    }
    num_obs_ = n;
}

void Vantorix::adopt_stored_rows() {
    num_obs_ = backend_.n();
    num_dim_ = backend_.num_dim();
    num_metrics_ = backend_.num_metrics();
    y_sum_.assign(num_metrics_, 0.0);
    y_sumsq_.assign(num_metrics_, 0.0);
    x_sum_.assign(num_dim_, 0.0);
    x_sumsq_.assign(num_dim_, 0.0);
    x_scale_.assign(num_dim_, 1.0);
    y_scale_.assign(num_metrics_, 1.0);
    if (num_obs_ == 0) return;
    std::vector<std::size_t> all(num_obs_);
    std::iota(all.begin(), all.end(), std::size_t{0});
    const TrainRows rows = backend_.train_rows_at(all);
    accumulate_columns(y_sum_, y_sumsq_, view_of(rows.y));
    y_scale_ = scale_from_moments(num_obs_, num_metrics_, y_sum_, y_sumsq_, 0.0);
    if (scale_x_) {
        accumulate_columns(x_sum_, x_sumsq_, view_of(rows.x));
        x_scale_ = scale_from_moments(num_obs_, num_dim_, x_sum_, x_sumsq_, kXMinStd);
    }
    backend_.ensure_index_sync(scale_x_, x_scale_);
}

Vantorix& Vantorix::operator=(Vantorix&& other) noexcept {
    if (this == &other) return *this;
    persist_on_drop();
    x_scale_ = std::move(other.x_scale_);
    y_scale_ = std::move(other.y_scale_);
    y_sum_ = std::move(other.y_sum_);
    y_sumsq_ = std::move(other.y_sumsq_);
    x_sum_ = std::move(other.x_sum_);
    x_sumsq_ = std::move(other.x_sumsq_);
    backend_ = std::move(other.backend_);
    num_obs_ = other.num_obs_;
    num_dim_ = other.num_dim_;
    num_metrics_ = other.num_metrics_;
    scale_x_ = other.scale_x_;
    return *this;
}

Vantorix::~Vantorix() { persist_on_drop(); }

void Vantorix::persist_on_drop() noexcept {
    const QelBackend::Disk* disk = backend_.disk();
    if (!disk || !*disk) return;
    try {
        (*disk)->persist_index_to_disk();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelbo: persist_index_to_disk on drop failed: %s\n", e.what());
    }
}

SearchResult Vantorix::backend_search(const MatView& queries, std::int64_t search_k, bool drop_first) const {
    check_x_values(queries);
    // The disk search covers rows not yet indexed; only a store that cannot be read is synced,
    // which reports why.
    bool readable = false;
    if (const QelBackend::Disk* disk = backend_.disk()) {
        try {
            (*disk)->read();
            readable = true;
        } catch (const CoreError&) {
        }
    }
    if (!readable) backend_.ensure_index_sync(scale_x_, x_scale_);
    return backend_.search(queries, search_k, drop_first);
}

}  // namespace qelbo
