#include "qelbo/model/model.h"

#include <cmath>
#include <cstdlib>

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

// A NaN coordinate makes every distance to its row NaN, which the search orders first:
// such a row would be everyone's nearest neighbour.
void check_x_values(const MatView& x) {
    if (!all_finite(x)) throw QELError::invalid_parameter("x must contain only finite values");
}

std::optional<std::string> env_work_dir() {
    const char* v = std::getenv("QEL_WORK_DIR");
    if (!v) return std::nullopt;
    return std::string(v);
}
}  // namespace

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
    if (!work_dir) work_dir = env_work_dir();

    if (storage == StorageMode::Disk) {
        if (index_driver != IndexDriver::MiRotDisk) {
            throw QELError::invalid_parameter("Disk storage requires IndexDriver::MiRotDisk");
        }
        if (!work_dir && !env_work_dir()) {
            throw QELError::invalid_parameter("Disk storage requires work_dir or QEL_WORK_DIR");
        }
        disk_storage_unavailable();
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

    Vantorix model{QelBackend(std::move(mem))};
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

    InMemoryQelBackend* mem = backend_.in_memory();
    if (!mem) disk_storage_unavailable();
    mem->push_rows(x, y, yvar);

    accumulate_columns(y_sum_, y_sumsq_, y);
    const std::size_t n = mem->n();
    y_scale_ = scale_from_moments(n, num_metrics_, y_sum_, y_sumsq_, 0.0);
    if (scale_x_) {
        accumulate_columns(x_sum_, x_sumsq_, x);
        x_scale_ = scale_from_moments(n, num_dim_, x_sum_, x_sumsq_, kXMinStd);
        backend_.mark_index_stale();
    }
    num_obs_ = n;
}

SearchResult Vantorix::backend_search(const MatView& queries, std::int64_t search_k, bool drop_first) const {
    backend_.ensure_index_sync(scale_x_, x_scale_);
    return backend_.search(queries, search_k, drop_first);
}

}  // namespace qelbo
