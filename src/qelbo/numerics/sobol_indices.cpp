#include "qelbo/numerics/sobol_indices.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "qelbo/core/error.h"
#include "base/total_order.h"

namespace qelbo {
namespace {

// Population mean and variance by the running (Welford) update, in order.
template <class Get>
double welford_variance(std::size_t n, Get get) {
    double mean = 0.0, m2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = get(i);
        const double delta = v - mean;
        mean += delta / static_cast<double>(i + 1);
        m2 += delta * (v - mean);
    }
    return n == 0 ? std::numeric_limits<double>::quiet_NaN() : m2 / static_cast<double>(n);
}

}  // namespace

std::vector<double> calculate_sobol_indices(MatView x, std::span<const double> y) {
    const std::size_t n = x.rows;
    const std::size_t d = x.cols;
    if (y.size() != n) {
        throw QELError::shape_error("y has " + std::to_string(y.size()) + " values but x has " + std::to_string(n) +
                                    " rows");
    }
    std::vector<double> out(d, 1.0);
    if (n < 9) return out;
    const double var_y = welford_variance(y.size(), [&](std::size_t i) { return y[i]; });
    if (!(std::isfinite(var_y) && var_y > 0.0)) return out;
    const std::size_t bins = n < 30 ? 3 : 10;

    double sum_y = 0.0;
    for (double v : y) sum_y += v;
    const double m = sum_y / static_cast<double>(y.size());

    std::vector<std::pair<double, std::size_t>> order(n);
    std::vector<std::size_t> bin_of(n);
    std::vector<double> bin_sum(bins);
    std::vector<std::size_t> bin_count(bins);
    for (std::size_t j = 0; j < d; ++j) {
        const double var_x = welford_variance(n, [&](std::size_t i) { return x(i, j); });
        if (var_x <= 1e-12) {
            out[j] = 0.0;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) order[i] = {x(i, j), i};
        std::stable_sort(order.begin(), order.end(),
                         [](const auto& p, const auto& q) { return total_less(p.first, q.first); });
        // r * bins cannot overflow: bins <= 10 and n rows fit in memory as doubles.
        for (std::size_t r = 0; r < n; ++r) bin_of[order[r].second] = r * bins / n;
        std::fill(bin_sum.begin(), bin_sum.end(), 0.0);
        std::fill(bin_count.begin(), bin_count.end(), 0);
        // Each bin's sum runs over its rows in row order.
        for (std::size_t i = 0; i < n; ++i) {
            bin_sum[bin_of[i]] += y[i];
            ++bin_count[bin_of[i]];
        }
        double v = 0.0;
        for (std::size_t b = 0; b < bins; ++b) {
            if (bin_count[b] == 0) continue;
            const double c = static_cast<double>(bin_count[b]);
            const double mean_b = bin_sum[b] / c;
            const double dev = mean_b - m;
            v += (c / static_cast<double>(n)) * (dev * dev);
        }
        out[j] = v / var_y;
    }
    return out;
}

}  // namespace qelbo
