#include "qelbo/optimizer/morbo_trust_region.h"

#include <cmath>
#include <limits>
#include <string>

#include "base/std_rng.h"

namespace qelbo {

MorboTrustRegion MorboTrustRegion::make(std::size_t num_dim, const MorboConfig& config) {
    MorboTrustRegion r;
    r.head = TurboTrustRegion::make(num_dim, config.length_init, config.length_min, config.length_max);
    r.weights.assign(config.num_metrics, 0.0);
    r.num_metrics = config.num_metrics;
    r.alpha = config.alpha;
    r.rescalarize = config.rescalarize;
    r.noise_aware = config.noise_aware;
    return r;
}

void MorboTrustRegion::resample_weights(StdRng& rng) {
    double sum = 0.0;
    for (std::size_t j = 0; j < num_metrics; ++j) {
        double u = rng.gen_f64();
        // -ln(0) would make the weights inf / inf; half the smallest step keeps them finite.
        if (u == 0.0) u = 0x1.0p-54;
        const double e = std::fmax(-std::log(u), 1e-300);
        weights[j] = e;
        sum += e;
    }
    for (std::size_t j = 0; j < num_metrics; ++j) weights[j] /= sum;
}

void MorboTrustRegion::update_ranges_incremental(MatView y) {
    if (y.rows == 0) return;
    expect(y.cols >= num_metrics, "told y rows hold every metric");
    if (!has_ranges()) {
        objective_minima = std::vector<double>(num_metrics, std::numeric_limits<double>::infinity());
        objective_maxima = std::vector<double>(num_metrics, -std::numeric_limits<double>::infinity());
    }
    std::vector<double>& lo = *objective_minima;
    std::vector<double>& hi = *objective_maxima;
    for (std::size_t i = 0; i < y.rows; ++i) {
        for (std::size_t j = 0; j < num_metrics; ++j) {
            const double v = y(i, j);
            if (v < lo[j]) lo[j] = v;
            if (v > hi[j]) hi[j] = v;
        }
    }
}

std::vector<double> MorboTrustRegion::scalarize(MatView y, bool clip) const {
    if (!has_ranges()) throw TrustRegionError::invalid_state("scalarize called before observations");
    return scalarize_with_ranges(y, *objective_minima, *objective_maxima, weights, num_metrics, clip, alpha);
}

void MorboTrustRegion::clear_for_restart() {
    objective_minima.reset();
    objective_maxima.reset();
    stored_incumbent_y.reset();
    head.restart();
}

std::vector<double> scalarize_with_ranges(MatView y, std::span<const double> minima,
                                          std::span<const double> maxima, std::span<const double> weights,
                                          std::size_t num_metrics, bool clip, double alpha) {
    if (y.cols != num_metrics || minima.size() != num_metrics || maxima.size() != num_metrics) {
        throw TrustRegionError::invalid_parameter("shape mismatch: y " + format_shape({y.rows, y.cols}) +
                                                  ", y_min " + std::to_string(minima.size()) + ", y_max " +
                                                  std::to_string(maxima.size()));
    }
    expect(weights.size() >= num_metrics, "one weight per metric");
    std::vector<double> scores(y.rows);
    for (std::size_t i = 0; i < y.rows; ++i) {
        double min_term = std::numeric_limits<double>::infinity();
        double sum = 0.0;
        for (std::size_t j = 0; j < num_metrics; ++j) {
            const double range = maxima[j] - minima[j];
            double z = 0.5;
            if (!(range <= 0.0)) {
                z = (y(i, j) - minima[j]) / range;
                if (clip) {
                    if (z < 0.0) z = 0.0;
                    if (z > 1.0) z = 1.0;
                }
            }
            const double t = z * weights[j];
            min_term = std::fmin(min_term, t);
            sum += t;
        }
        scores[i] = min_term + alpha * sum;
    }
    return scores;
}

}  // namespace qelbo
