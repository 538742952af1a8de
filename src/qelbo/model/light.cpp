#include "qelbo/model/light.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/worker_pool.h"
#include "qelbo/model/model.h"

namespace qelbo {

namespace {
QELNormal empty_normal(const Vantorix& model, std::size_t nq) {
    return normal_from_internals(empty_posterior_internals(model, nq));
}

// Queries per pool task: a few microseconds of work each.
constexpr std::size_t kQueriesPerTask = 256;
}  // namespace

QELNormal light_posterior(const Vantorix& model, const MatView& x, const QELParams& params,
                          const PosteriorFlags& flags) {
    const std::size_t nq = x.rows;
    const std::size_t d = model.num_dim();
    if (x.cols != d) throw QELError::invalid_shape({nq, d}, {nq, x.cols});
    if (model.num_obs() == 0) return empty_normal(model, nq);

    std::optional<NeighborData> nd = get_neighbor_data(model, x, params.k_num_neighbors, flags.exclude_nearest,
                                                       flags.tie_break_neighbors);
    if (!nd) return empty_normal(model, nq);
    const std::size_t k_used = nd->num_neighbors;
    const Array2& dist2 = nd->neighbor_dist2;
    const Array2& y = nd->neighbor_y;

    const std::size_t m = model.num_metrics();
    const std::vector<double>& ys = model.y_scale();
    const double e = params.epistemic_variance_scale;
    const double a = params.aleatoric_variance_scale;

    Array2 mean(nq, m), total(nq, m), epistemic(nq, m), aleatoric(nq, m, 0.0);
    // Each query writes only its own rows.
    parallel_for_ranges(nq, kQueriesPerTask, [&](std::size_t begin, std::size_t end) {
        std::vector<double> w(k_used);
        for (std::size_t i = begin; i < end; ++i) {
            double W = 0.0;
            for (std::size_t t = 0; t < k_used; ++t) {
                double u = e * dist2(i, t);
                u = u + kWeightJitter;
                u = a + u;
                w[t] = 1.0 / u;
                W = W + w[t];
            }
            const double inv = 1.0 / W;
            // fmax is the IEEE maximum-number operation: a NaN inv takes the floor.
            const double s = std::sqrt(std::fmax(inv, kVarianceFloor));
            for (std::size_t j = 0; j < m; ++j) {
                double acc = 0.0;
                for (std::size_t t = 0; t < k_used; ++t) acc += (inv * w[t]) * y(i * k_used + t, j);
                mean(i, j) = acc;
                total(i, j) = s * ys[j];
                epistemic(i, j) = s * ys[j];
            }
        }
    });
    QELNormal out;
    out.mean = to_ndarray(std::move(mean));
    out.total_std = to_ndarray(std::move(total));
    out.epistemic_std = to_ndarray(std::move(epistemic));
    out.aleatoric_std = to_ndarray(std::move(aleatoric));
    out.neighbor_indices = std::move(nd->neighbor_indices);
    return out;
}

}  // namespace qelbo
