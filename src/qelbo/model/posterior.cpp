#include "qelbo/model/posterior.h"

#include <algorithm>
#include <cmath>

#include "base/worker_pool.h"
#include "qelbo/model/light.h"
#include "qelbo/model/model.h"

namespace qelbo {

NdArray to_ndarray(Array2&& a) { return NdArray{{a.rows, a.cols}, std::move(a.data)}; }

namespace {

// Queries per pool task of the weighting: a few microseconds of work each.
constexpr std::size_t kQueriesPerTask = 256;

void check_query_width(const Vantorix& model, const MatView& x) {
    if (x.cols != model.num_dim()) throw QELError::invalid_shape({x.rows, model.num_dim()}, {x.rows, x.cols});
}

}  // namespace

QELNormal normal_from_internals(DrawInternals&& in) {
    QELNormal out;
    out.neighbor_indices = idx_nested_to_array2(in.neighbor_indices);
    out.mean = to_ndarray(std::move(in.mean));
    out.total_std = to_ndarray(std::move(in.total_std));
    out.epistemic_std = to_ndarray(std::move(in.epistemic_std));
    out.aleatoric_std = to_ndarray(std::move(in.aleatoric_std));
    return out;
}

QELNormal posterior(const Vantorix& model, const MatView& x, const QELParams& params, const PosteriorFlags& flags) {
    check_x_values(x);
    if (flags.observation_noise || model.backend().stores_yvar()) {
        return normal_from_internals(compute_posterior_internals(model, x, params, flags));
    }
    return light_posterior(model, x, params, flags);
}

DrawInternals empty_posterior_internals(const Vantorix& model, std::size_t nq) {
    const std::size_t m = model.num_metrics();
    DrawInternals in;
    in.neighbor_indices = IndexArray2(nq, 0);
    in.w_normalized = Array3(nq, 0, m);
    in.l2 = Array2(nq, m, 1.0);
    in.mean = Array2(nq, m, 0.0);
    in.total_std = Array2(nq, m, 1.0);
    in.epistemic_std = Array2(nq, m, 1.0);
    in.aleatoric_std = Array2(nq, m, 0.0);
    return in;
}

IndexArray2 idx_nested_to_array2(const IndexArray2& lists) {
    if (lists.rows == 0) return IndexArray2(0, 0);
    return lists;
}

DrawInternals compute_posterior_internals(const Vantorix& model, const MatView& x, const QELParams& params,
                                          const PosteriorFlags& flags) {
    check_query_width(model, x);
    check_x_values(x);
    if (model.num_obs() == 0) return empty_posterior_internals(model, x.rows);
    std::optional<NeighborData> nd = get_neighbor_data(model, x, params.k_num_neighbors, flags.exclude_nearest,
                                                       flags.tie_break_neighbors);
    if (!nd) return empty_posterior_internals(model, x.rows);
    const Array2* yvar = nd->neighbor_yvar ? &*nd->neighbor_yvar : nullptr;
    return compute_weighted_posterior(
        model, NeighborsView{nd->neighbor_indices, nd->neighbor_dist2, nd->neighbor_y, yvar}, params,
        flags.observation_noise);
}

DrawInternals compute_weighted_posterior(const Vantorix& model, const NeighborsView& nb, const QELParams& params,
                                         bool observation_noise, std::optional<std::span<const double>> y_scale) {
    const std::size_t nq = nb.dist2.rows;
    const std::size_t k = nb.dist2.cols;
    const std::span<const double> ys = y_scale ? *y_scale : std::span<const double>(model.y_scale());
    const std::size_t m = ys.size();
    expect(nb.indices.rows == nq && nb.indices.cols == k, "neighbor indices must match neighbor distances");
    expect(nb.y.rows == nq * k && nb.y.cols == m, "neighbor_y must hold one row per neighbour");
    // Observation variances of the neighbours; rows that are not stored have none (0).
    const Array2* V = nb.yvar;
    expect(!V || (V->rows == nq * k && V->cols == m), "neighbor yvar must hold one row per neighbour");
    const double e = params.epistemic_variance_scale;
    const double a = params.aleatoric_variance_scale;
    std::vector<double> ys2(m);
    for (std::size_t j = 0; j < m; ++j) ys2[j] = ys[j] * ys[j];

    DrawInternals out;
    out.neighbor_indices = nb.indices;
    out.w_normalized = Array3(nq, k, m);
    out.l2 = Array2(nq, m);
    out.mean = Array2(nq, m);
    out.total_std = Array2(nq, m);
    out.epistemic_std = Array2(nq, m);
    out.aleatoric_std = Array2(nq, m);

    // Each query writes only its own rows.
    parallel_for_ranges(nq, kQueriesPerTask, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            // Raw weights first, written into w_normalized and normalised in place below.
            for (std::size_t t = 0; t < k; ++t) {
                double u = e * nb.dist2(i, t);
                u = u + kWeightJitter;
                u = a + u;
                for (std::size_t j = 0; j < m; ++j) {
                    out.w_normalized(i, t, j) = V ? 1.0 / (u + (*V)(i * k + t, j) / ys2[j]) : 1.0 / u;
                }
            }
            for (std::size_t j = 0; j < m; ++j) {
                double W = -0.0;
                for (std::size_t t = 0; t < k; ++t) W += out.w_normalized(i, t, j);
                const double inv = 1.0 / W;
                double sq = 0.0, mean = 0.0;
                for (std::size_t t = 0; t < k; ++t) {
                    double& w = out.w_normalized(i, t, j);
                    w = w * inv;
                    sq += w * w;
                    mean += w * nb.y(i * k + t, j);
                }
                const double ve = inv;
                double va = 0.0;
                if (observation_noise && k > 0) {
                    for (std::size_t t = 0; t < k; ++t) {
                        const double q = V ? (*V)(i * k + t, j) / ys2[j] : 0.0;
                        va += out.w_normalized(i, t, j) * (a + q);
                    }
                }
                out.l2(i, j) = std::sqrt(sq);
                out.mean(i, j) = mean;
                const double tv = ve + va;
                if (tv < kVarianceFloor) {
                    out.total_std(i, j) = ys[j] * kStdFloor;
                    out.epistemic_std(i, j) = ys[j] * kStdFloor;
                    out.aleatoric_std(i, j) = 0.0;
                } else {
                    out.total_std(i, j) = std::sqrt(tv) * ys[j];
                    out.epistemic_std(i, j) = std::sqrt(ve) * ys[j];
                    out.aleatoric_std(i, j) = std::sqrt(va) * ys[j];
                }
            }
        }
    });
    return out;
}

}  // namespace qelbo
