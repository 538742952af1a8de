#include "qelbo/model/in_memory.h"

#include <algorithm>
#include <limits>
#include <string>

namespace qelbo {

namespace {
std::string out_of_range(const char* what, std::size_t i, std::size_t n) {
    return std::string(what) + " index " + std::to_string(i) + " out of range [0, " + std::to_string(n) + ")";
}
}  // namespace

InMemoryQelBackend::InMemoryQelBackend(RowStorage x, RowStorage y, std::optional<RowStorage> yvar, FaissBackend knn,
                                       std::vector<double> x_scale, bool scale_x, std::size_t indexed_rows)
    : x_(std::move(x)), y_(std::move(y)), yvar_(std::move(yvar)), index_(std::move(knn), std::move(x_scale), scale_x),
      index_synced_obs_(indexed_rows) {}

std::vector<double> InMemoryQelBackend::row_x(std::size_t i) const {
    if (i >= n()) throw QELError::invalid_parameter(out_of_range("row_x", i, n()));
    return x_.row_vec(i);
}

std::vector<double> InMemoryQelBackend::row_y(std::size_t i) const {
    if (i >= n()) throw QELError::invalid_parameter(out_of_range("row_y", i, n()));
    return y_.row_vec(i);
}

std::optional<std::vector<double>> InMemoryQelBackend::row_yvar(std::size_t i) const {
    if (i >= n()) throw QELError::invalid_parameter(out_of_range("row_yvar", i, n()));
    if (!yvar_) return std::nullopt;
    return yvar_->row_vec(i);
}

TrainRows InMemoryQelBackend::train_rows_at(std::span<const std::size_t> indices) const {
    for (std::size_t i : indices) {
        if (i >= n()) throw QELError::invalid_parameter(out_of_range("train_rows_at", i, n()));
    }
    TrainRows out{x_.gather_rows(indices), y_.gather_rows(indices), std::nullopt};
    if (yvar_) out.yvar = yvar_->gather_rows(indices);
    return out;
}

void InMemoryQelBackend::push_rows(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) {
    x_.push_rows(x);
    y_.push_rows(y);
    if (yvar) {
        if (!yvar_) {
            yvar_ = RowStorage::from_array2(to_owned(*yvar));
        } else {
            yvar_->push_rows(*yvar);
        }
    }
}

void InMemoryQelBackend::ensure_index_sync(bool scale_x, std::span<const double> x_scale) const {
    const std::size_t rows = n();
    if (scale_x) {
        std::lock_guard stale_lock(stale_mutex_);
        if (!index_stale_) return;
        const std::size_t d = num_dim();
        Array2 scaled(rows, d);
        for (std::size_t i = 0; i < rows; ++i) {
            const double* r = x_.row(i);
            for (std::size_t j = 0; j < d; ++j) scaled(i, j) = r[j] / x_scale[j];
        }
        try {
            index_.rebuild_from_scaled(view_of(scaled), std::vector<double>(x_scale.begin(), x_scale.end()));
        } catch (const IndexSearchError& e) {
            throw QELError::index_error(e);
        }
        index_stale_ = false;
        std::lock_guard synced_lock(synced_mutex_);
        index_synced_obs_ = rows;
        return;
    }
    std::lock_guard synced_lock(synced_mutex_);
    const std::size_t t = index_.knn().len();
    if (index_synced_obs_ > t) index_synced_obs_ = t;
    if (rows == 0 || t == rows) {
        // The index holds exactly the stored rows in row order already.
        if (rows != 0) index_synced_obs_ = rows;
        return;
    }
    try {
        if (t < rows) {
            // Rows are only appended, so the index needs only the rows it does not hold yet.
            const MatView all = x_.view();
            MatView fresh = MatView::row_major(all.row(t), rows - t, all.cols);
            index_.append_rows(fresh);
        } else {
            index_.rebuild_from_scaled(x_.view(), std::vector<double>(x_scale.begin(), x_scale.end()));
        }
    } catch (const IndexSearchError& e) {
        throw QELError::index_error(e);
    }
    index_synced_obs_ = rows;
}

void InMemoryQelBackend::mark_index_stale() const {
    std::lock_guard lock(stale_mutex_);
    index_stale_ = true;
}

SearchResult InMemoryQelBackend::search(const MatView& queries, std::int64_t search_k, bool drop_first) const {
    if (search_k < 1) {
        throw QELError::invalid_parameter(
            IndexSearchError::invalid_parameter("search_k must be > 0, got " + std::to_string(search_k)).what());
    }
    const std::size_t dim = index_.dim();
    if (queries.cols != dim) {
        throw QELError::invalid_parameter(IndexSearchError::invalid_shape(dim, queries.cols).what());
    }
    const std::size_t nq = queries.rows;
    const std::size_t k = static_cast<std::size_t>(search_k);
    const std::size_t t = index_.knn().len();

    SearchResult res;
    if (t == 0) {
        res.distances = Array2(nq, k, std::numeric_limits<double>::infinity());
        res.indices = IndexArray2(nq, k, 0);
    } else {
        const std::vector<double> scale = index_.x_scale();
        std::vector<float> values;
        values.reserve(checked_mul(nq, dim));
        for (std::size_t i = 0; i < nq; ++i) {
            for (std::size_t j = 0; j < dim; ++j) {
                const double v = index_.scale_x() ? queries(i, j) / scale[j] : queries(i, j);
                values.push_back(static_cast<float>(v));
            }
        }
        const std::size_t k_eff = std::min(k, t);
        res = index_.knn().with_locked([&](FaissBackend& b) {
            expect(b.index_d() != 0, "attempt to divide by zero");
            const std::size_t q = values.size() / b.index_d();
            std::vector<float> dist(checked_mul(q, k_eff), 0.0f);
            std::vector<std::int64_t> labels(checked_mul(q, k_eff), -1);
            try {
                b.search(q, values.data(), k_eff, dist.data(), labels.data());
            } catch (const IndexSearchError& e) {
                throw QELError::invalid_parameter(e.what());
            }
            SearchResult r{Array2(nq, k), IndexArray2(nq, k)};
            for (std::size_t i = 0; i < nq; ++i) {
                for (std::size_t j = 0; j < k_eff; ++j) {
                    r.distances(i, j) = static_cast<double>(dist[i * k_eff + j]);
                    r.indices(i, j) = labels[i * k_eff + j];
                }
                // Beyond the stored rows: +inf, repeating the farthest real neighbour.
                for (std::size_t j = k_eff; j < k; ++j) {
                    r.distances(i, j) = std::numeric_limits<double>::infinity();
                    r.indices(i, j) = labels[i * k_eff + (k_eff - 1)];
                }
            }
            return r;
        });
    }
    if (drop_first) {
        if (res.distances.cols < 2) {
            res.distances = Array2(nq, 0);
            res.indices = IndexArray2(nq, 0);
        } else {
            const std::size_t w = res.distances.cols - 1;
            SearchResult dropped{Array2(nq, w), IndexArray2(nq, w)};
            for (std::size_t i = 0; i < nq; ++i) {
                std::copy_n(res.distances.row(i) + 1, w, dropped.distances.row(i));
                std::copy_n(res.indices.row(i) + 1, w, dropped.indices.row(i));
            }
            res = std::move(dropped);
        }
    }
    return res;
}

std::uint64_t InMemoryQelBackend::index_memory_bytes() const {
    return index_.knn().with_locked([](FaissBackend& b) -> std::uint64_t {
        const std::uint64_t count = b.ntotal();
        const std::uint64_t d = b.index_d();
        constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        if (count == 0 || d == 0) return 0;
        if (count > max / d) return max;
        const std::uint64_t cd = count * d;
        if (cd > max / 4) return max;
        return cd * 4;
    });
}

}  // namespace qelbo
