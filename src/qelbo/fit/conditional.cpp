#include "qelbo/fit/conditional.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <utility>

#include <cblas.h>

#include "qelbo/core/error.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"
#include "qelbo/model/stored_rows.h"
#include "qelbo/numerics/stats.h"
#include "base/total_order.h"
#include "base/worker_pool.h"

namespace qelbo {
namespace {

// Contiguous copy of v, every column divided by scale[j] when given.
Array2 coordinates(const MatView& v, const std::vector<double>* scale) {
    Array2 out(v.rows, v.cols);
    for (std::size_t i = 0; i < v.rows; ++i)
        for (std::size_t j = 0; j < v.cols; ++j) out(i, j) = scale ? v(i, j) / (*scale)[j] : v(i, j);
    return out;
}

std::vector<double> squared_norms(const Array2& a) {
    std::vector<double> out(a.rows);
    for (std::size_t i = 0; i < a.rows; ++i) {
        const double* r = a.row(i);
        double s = 0.0;
        for (std::size_t j = 0; j < a.cols; ++j) s += r[j] * r[j];
        out[i] = s;
    }
    return out;
}

bool fits_blas_int(std::size_t v) { return v <= static_cast<std::size_t>(INT_MAX); }

// Query rows per product block: fixed, so the products do not depend on the pool size.
constexpr std::size_t kRowsPerProduct = 256;

// G = X * W^T (nq x w): single-threaded BLAS products of blocks of X rows on the worker pool.
Array2 cross_products(const Array2& X, const Array2& W) {
    Array2 G(X.rows, W.rows, 0.0);
    const std::size_t d = X.cols;
    if (X.rows == 0 || W.rows == 0 || d == 0) return G;
    if (fits_blas_int(W.rows) && fits_blas_int(d)) {
        const int N = static_cast<int>(W.rows), K = static_cast<int>(d);
        parallel_for_ranges(X.rows, kRowsPerProduct, [&](std::size_t a, std::size_t b) {
            cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(b - a), N, K, 1.0, X.row(a), K,
                        W.data.data(), K, 0.0, G.row(a), N);
        });
        return G;
    }
    // Beyond the BLAS integer range: the same products, one pair at a time.
    for (std::size_t i = 0; i < X.rows; ++i)
        for (std::size_t j = 0; j < W.rows; ++j) {
            double s = 0.0;
            for (std::size_t l = 0; l < d; ++l) s += X(i, l) * W(j, l);
            G(i, j) = s;
        }
    return G;
}

struct Candidate {
    double dist;
    std::int64_t index;
    std::size_t slot;  // place in the pool before ordering: a stored candidate's column, or k_s + what-if row
};

}  // namespace

std::vector<double> compute_scale_for_conditional(const MatView& y_stored, const MatView& y_whatif) {
    const std::size_t m = y_stored.cols;
    const std::size_t N = y_stored.rows + y_whatif.rows;
    std::vector<double> out(m, 1.0);
    if (N < 2) return out;
    for (std::size_t j = 0; j < m; ++j) {
        Welford acc;
        for (std::size_t i = 0; i < y_stored.rows; ++i) acc.push(y_stored(i, j));
        for (std::size_t i = 0; i < y_whatif.rows; ++i) acc.push(y_whatif(i, j));
        const double var = acc.m2 / static_cast<double>(N);
        const double s = std::sqrt(var);
        if (std::isfinite(s) && var > 0.0) out[j] = s;
    }
    return out;
}

std::optional<NeighborData> get_conditional_neighbor_data(const Vantorix& model, const MatView& x,
                                                          const MatView& x_whatif, const MatView& y_whatif,
                                                          std::int32_t k, bool exclude_nearest, bool tie_break) {
    const std::size_t n = model.num_obs();
    const std::size_t w = x_whatif.rows;
    const std::size_t nq = x.rows;
    const std::size_t N = n + w;
    std::size_t e = 0;
    if (exclude_nearest) {
        if (N < 2)
            throw QELError::invalid_parameter("exclude_nearest=True requires at least 2 observations, got " +
                                              std::to_string(N));
        e = 1;
    }
    const std::size_t k_eff = std::min<std::size_t>(N, static_cast<std::size_t>(k < 0 ? 0 : k) + e);
    if (k_eff == 0) return std::nullopt;

    std::size_t k_s = 0;
    NeighborData stored;
    if (n > 0) {
        k_s = std::min(n, k_eff);
        // The stored candidates' rows come with them: the kept ones are copied from there.
        stored = search_neighbors(model, x, static_cast<std::int64_t>(k_s), false, tie_break,
                                  std::numeric_limits<std::size_t>::max(), true);
        expect(stored.neighbor_dist2.rows == nq && stored.neighbor_dist2.cols == k_s &&
                   stored.neighbor_indices.cols == k_s,
               "index_search returns k_s candidates per query");
    }

    const std::vector<double>* scale = model.scale_x() ? &model.x_scale() : nullptr;
    const Array2 X = coordinates(x, scale);
    const Array2 W = coordinates(x_whatif, scale);
    const std::vector<double> a = squared_norms(X);
    const std::vector<double> b = squared_norms(W);
    Array2 D = cross_products(X, W);
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t j = 0; j < w; ++j) D(i, j) = std::fmax((a[i] + b[j]) - 2.0 * D(i, j), 0.0);

    if (nq == 0 || k_s + w == 0) return std::nullopt;
    for (double v : stored.neighbor_dist2.data)
        if (!std::isfinite(v))
            throw QELError::invalid_parameter("NaN or Inf in distance computation (check x, x_whatif for invalid values)");
    for (double v : D.data)
        if (!std::isfinite(v))
            throw QELError::invalid_parameter("NaN or Inf in distance computation (check x, x_whatif for invalid values)");

    const std::size_t L = k_s + w;
    const std::size_t keep = exclude_nearest ? k_eff - 1 : k_eff;
    const std::size_t width = std::min<std::size_t>(keep, static_cast<std::size_t>(k));
    const auto by_dist = [](const Candidate& p, const Candidate& q) { return total_less(p.dist, q.dist); };

    const std::size_t m = model.num_metrics();
    NeighborData out;
    out.neighbor_indices = IndexArray2(nq, width);
    out.neighbor_dist2 = Array2(nq, width);
    out.neighbor_y = Array2(checked_mul(nq, width), m);
    // What-if rows have no variance of their own: theirs count as 0.
    if (stored.neighbor_yvar) out.neighbor_yvar = Array2(checked_mul(nq, width), m, 0.0);
    std::vector<Candidate> pool(L);
    for (std::size_t i = 0; i < nq; ++i) {
        for (std::size_t t = 0; t < k_s; ++t)
            pool[t] = {stored.neighbor_dist2(i, t), stored.neighbor_indices(i, t), t};
        for (std::size_t j = 0; j < w; ++j) pool[k_s + j] = {D(i, j), static_cast<std::int64_t>(n + j), k_s + j};
        if (k_eff == 1) {
            // The earliest entry with the smallest distance.
            std::size_t best = 0;
            for (std::size_t t = 1; t < L; ++t)
                if (total_less(pool[t].dist, pool[best].dist)) best = t;
            pool[0] = pool[best];
        } else {
            // A stable order keeps (distance, row index) ascending, and decides ties at the cut by
            // pool position (stored rows first, then what-if rows in order).
            std::stable_sort(pool.begin(), pool.end(), by_dist);
        }
        const std::size_t first = exclude_nearest ? 1 : 0;
        for (std::size_t t = 0; t < width; ++t) {
            const Candidate& c = pool[first + t];
            out.neighbor_indices(i, t) = c.index;
            out.neighbor_dist2(i, t) = c.dist;
            expect(c.index >= 0 && static_cast<std::size_t>(c.index) < N, "neighbours are stored or what-if rows");
            double* dst = out.neighbor_y.row(i * width + t);
            if (c.slot < k_s) {
                std::copy_n(stored.neighbor_y.row(i * k_s + c.slot), m, dst);
                if (out.neighbor_yvar)
                    std::copy_n(stored.neighbor_yvar->row(i * k_s + c.slot), m, out.neighbor_yvar->row(i * width + t));
            } else {
                const std::size_t j = c.slot - k_s;
                for (std::size_t col = 0; col < m; ++col) dst[col] = y_whatif(j, col);
            }
        }
    }
    out.num_neighbors = width;
    if (width == 0) return std::nullopt;
    return out;
}

DrawInternals compute_conditional_posterior_internals(const Vantorix& model, const MatView& x,
                                                      const MatView& x_whatif, const MatView& y_whatif,
                                                      const QELParams& params, const PosteriorFlags& flags) {
    const std::size_t w = x_whatif.rows;
    if (w == 0) return compute_posterior_internals(model, x, params, flags);
    if (!all_finite(x) || !all_finite(x_whatif) || !all_finite(y_whatif))
        throw QELError::invalid_parameter("NaN or Inf not allowed in x, x_whatif, or y_whatif");
    const std::size_t d = model.num_dim();
    const std::size_t m = model.num_metrics();
    if (x.cols != d) throw QELError::invalid_shape({x.rows, d}, {x.rows, x.cols});
    if (x_whatif.cols != d) throw QELError::invalid_shape({w, d}, {w, x_whatif.cols});
    if (y_whatif.cols != m) throw QELError::invalid_shape({y_whatif.rows, m}, {y_whatif.rows, y_whatif.cols});
    if (y_whatif.rows != w) throw QELError::invalid_parameter("x_whatif and y_whatif must have same number of rows");

    std::optional<NeighborData> nb = get_conditional_neighbor_data(
        model, x, x_whatif, y_whatif, params.k_num_neighbors, flags.exclude_nearest, flags.tie_break_neighbors);
    if (!nb) return empty_posterior_internals(model, x.rows);

    // Every stored y row enters the scale, read in place.
    const std::vector<double> ys = compute_scale_for_conditional(StoredRows(model.backend()).y_view(), y_whatif);
    const NeighborsView neighbours{nb->neighbor_indices, nb->neighbor_dist2, nb->neighbor_y,
                                   nb->neighbor_yvar ? &*nb->neighbor_yvar : nullptr};
    return compute_weighted_posterior(model, neighbours, params, flags.observation_noise, std::span<const double>(ys));
}

}  // namespace qelbo
