#pragma once
// The multi-objective trust region: random simplex weights and a range-
// normalised Chebyshev-type scalarisation of several metrics, on top of the
// single-objective length rules.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/optimizer/config.h"
#include "qelbo/core/array.h"
#include "qelbo/optimizer/trust_region.h"

namespace qelbo {

class StdRng;

struct MorboTrustRegion {
    TurboTrustRegion head;
    std::vector<double> weights;
    std::size_t num_metrics = 0;
    double alpha = kDefaultMorboAlpha;
    std::optional<std::vector<double>> objective_minima;
    std::optional<std::vector<double>> objective_maxima;
    std::optional<std::vector<double>> stored_incumbent_y;
    RescalarizePolicy rescalarize = RescalarizePolicy::OnPropose;
    bool noise_aware = false;

    // All-zero weights and no ranges; the caller draws the first weights.
    static MorboTrustRegion make(std::size_t num_dim, const MorboConfig& config);

    // Normalised standard exponentials: a uniform draw from the simplex.
    void resample_weights(StdRng& rng);
    // Widens the per-metric ranges by the first num_metrics columns of y (NaN ignored).
    void update_ranges_incremental(MatView y);
    // scalarize_with_ranges with this region's ranges, weights and alpha.
    std::vector<double> scalarize(MatView y, bool clip) const;
    bool has_ranges() const { return objective_minima.has_value() && objective_maxima.has_value(); }
    // Restart: ranges and stored incumbent cleared, head back to length_init.
    void clear_for_restart();
};

// Per row: min_j(z_j * w_j) + alpha * sum_j(z_j * w_j), z_j the value scaled into
// the metric's range (0.5 for an empty range, clamped to [0, 1] with clip).
// Throws TrustRegionError on a width mismatch.
std::vector<double> scalarize_with_ranges(MatView y, std::span<const double> minima,
                                          std::span<const double> maxima, std::span<const double> weights,
                                          std::size_t num_metrics, bool clip, double alpha);

}  // namespace qelbo
