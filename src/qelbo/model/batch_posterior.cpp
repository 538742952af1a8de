#include "qelbo/model/batch_posterior.h"

#include <algorithm>

#include "qelbo/model/model.h"

namespace qelbo {

void assign_posterior_results(const DrawInternals& in, Array3& mean_out, Array3& total_out, Array3& epistemic_out,
                              Array3& aleatoric_out, std::size_t p) {
    expect(p < mean_out.d0, "slice index out of range");
    const std::size_t slice = mean_out.d1 * mean_out.d2;
    expect(in.mean.data.size() == slice, "slice shape must match");
    std::copy(in.mean.data.begin(), in.mean.data.end(), mean_out.data.begin() + p * slice);
    std::copy(in.total_std.data.begin(), in.total_std.data.end(), total_out.data.begin() + p * slice);
    std::copy(in.epistemic_std.data.begin(), in.epistemic_std.data.end(), epistemic_out.data.begin() + p * slice);
    std::copy(in.aleatoric_std.data.begin(), in.aleatoric_std.data.end(), aleatoric_out.data.begin() + p * slice);
}

QELNormal batch_posterior(const Vantorix& model, const MatView& x, std::span<const QELParams> params_list,
                          const PosteriorFlags& flags) {
    if (params_list.empty()) throw QELError::invalid_parameter("paramss must be non-empty");
    check_x_values(x);
    const std::size_t P = params_list.size();
    const std::size_t nq = x.rows;
    const std::size_t m = model.num_metrics();
    Array3 mean(P, nq, m), total(P, nq, m), epistemic(P, nq, m), aleatoric(P, nq, m);

    const std::int32_t k0 = params_list[0].k_num_neighbors;
    const bool shared_k = std::all_of(params_list.begin(), params_list.end(),
                                      [k0](const QELParams& p) { return p.k_num_neighbors == k0; });
    if (shared_k && model.num_obs() > 0) {
        // The search is the costly step; only the weighting differs between records.
        std::optional<NeighborData> nd = get_neighbor_data(model, x, k0, flags.exclude_nearest,
                                                           flags.tie_break_neighbors);
        if (!nd) {
            const DrawInternals empty = empty_posterior_internals(model, nq);
            for (std::size_t p = 0; p < P; ++p) assign_posterior_results(empty, mean, total, epistemic, aleatoric, p);
        } else {
            const NeighborsView nb{nd->neighbor_indices, nd->neighbor_dist2, nd->neighbor_y,
                                   nd->neighbor_yvar ? &*nd->neighbor_yvar : nullptr};
            for (std::size_t p = 0; p < P; ++p) {
                const DrawInternals in = compute_weighted_posterior(model, nb, params_list[p], flags.observation_noise);
                assign_posterior_results(in, mean, total, epistemic, aleatoric, p);
            }
        }
    } else {
        for (std::size_t p = 0; p < P; ++p) {
            const DrawInternals in = compute_posterior_internals(model, x, params_list[p], flags);
            assign_posterior_results(in, mean, total, epistemic, aleatoric, p);
        }
    }
    auto nd3 = [&](Array3&& a) { return NdArray{{a.d0, a.d1, a.d2}, std::move(a.data)}; };
    QELNormal out;
    out.mean = nd3(std::move(mean));
    out.total_std = nd3(std::move(total));
    out.epistemic_std = nd3(std::move(epistemic));
    out.aleatoric_std = nd3(std::move(aleatoric));
    return out;
}

}  // namespace qelbo
