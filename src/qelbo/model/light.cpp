#include "qelbo/model/light.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"

namespace qelbo {

namespace {
QELNormal empty_normal(const Vantorix& model, std::size_t nq) {
    return normal_from_internals(empty_posterior_internals(model, nq));
}
}  // namespace

QELNormal light_posterior(const Vantorix& model, const MatView& x, const QELParams& params,
                          const PosteriorFlags& flags) {
    const std::size_t nq = x.rows;
    const std::size_t d = model.num_dim();
    if (x.cols != d) throw QELError::invalid_shape({nq, d}, {nq, x.cols});
    const std::size_t n = model.num_obs();
    if (n == 0) return empty_normal(model, nq);

    const std::int64_t k = params.k_num_neighbors;
    std::int64_t search_k = k;
    if (flags.exclude_nearest) {
        if (n == 1) {
            throw QELError::invalid_parameter("exclude_nearest=True requires at least 2 observations, got " +
                                              std::to_string(n));
        }
        search_k = k + 1;
    }
    search_k = std::min<std::int64_t>(search_k, static_cast<std::int64_t>(std::min<std::size_t>(n, INT64_MAX)));
    if (search_k <= 0) return empty_normal(model, nq);

    const SearchResult r = index_search(model, x, search_k, flags.exclude_nearest, flags.tie_break_neighbors);
    const std::int64_t k_used_i = std::min(k, search_k - (flags.exclude_nearest ? 1 : 0));
    if (k_used_i <= 0) return empty_normal(model, nq);
    const std::size_t k_used = static_cast<std::size_t>(k_used_i);

    const std::size_t m = model.num_metrics();
    const std::vector<double>& ys = model.y_scale();
    const double e = params.epistemic_variance_scale;
    const double a = params.aleatoric_variance_scale;
    const InMemoryQelBackend* mem = model.backend().in_memory();

    Array2 mean(nq, m), total(nq, m), epistemic(nq, m), aleatoric(nq, m, 0.0);
    IndexArray2 idx(nq, k_used, -1);
    std::vector<double> w(k_used);
    std::vector<const double*> yrows(k_used);
    std::vector<std::vector<double>> fetched;
    for (std::size_t i = 0; i < nq; ++i) {
        double W = 0.0;
        for (std::size_t t = 0; t < k_used; ++t) {
            double u = e * r.distances(i, t);
            u = u + kWeightJitter;
            u = a + u;
            w[t] = 1.0 / u;
            W = W + w[t];
        }
        const double inv = 1.0 / W;
        // fmax is the IEEE maximum-number operation: a NaN inv takes the floor.
        const double s = std::sqrt(std::fmax(inv, kVarianceFloor));
        fetched.clear();
        for (std::size_t t = 0; t < k_used; ++t) {
            const std::int64_t row = r.indices(i, t);
            idx(i, t) = row;
            expect(row >= 0 && static_cast<std::size_t>(row) < n, "row_y");
            if (mem) {
                yrows[t] = mem->y().row(static_cast<std::size_t>(row));
            } else {
                try {
                    fetched.push_back(model.backend().row_y(static_cast<std::size_t>(row)));
                } catch (const CoreError&) {
                    throw Panic("row_y");
                }
            }
        }
        if (!mem)
            for (std::size_t t = 0; t < k_used; ++t) yrows[t] = fetched[t].data();
        for (std::size_t j = 0; j < m; ++j) {
            double acc = 0.0;
            for (std::size_t t = 0; t < k_used; ++t) acc += (inv * w[t]) * yrows[t][j];
            mean(i, j) = acc;
            total(i, j) = s * ys[j];
            epistemic(i, j) = s * ys[j];
        }
    }
    QELNormal out;
    out.mean = to_ndarray(std::move(mean));
    out.total_std = to_ndarray(std::move(total));
    out.epistemic_std = to_ndarray(std::move(epistemic));
    out.aleatoric_std = to_ndarray(std::move(aleatoric));
    out.neighbor_indices = std::move(idx);
    return out;
}

}  // namespace qelbo
