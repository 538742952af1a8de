#pragma once
// Per-column moments shared by the log-likelihood and the conditional posterior.

#include <cmath>
#include <cstddef>
#include <vector>

#include "qelbo/core/array.h"

namespace qelbo {

// One-pass running mean and sum of squared deviations. The deviation update is a
// single fused multiply-add so the result is reproducible to the last bit.
struct Welford {
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;

    void push(double v) {
        count += 1.0;
        const double delta = v - mean;
        mean += delta / count;
        m2 = std::fma(v - mean, delta, m2);
    }
};

// Population variance (divisor = row count) of every column, rows taken in order.
// A view without rows gives NaN per column.
std::vector<double> column_population_variance(const MatView& v);

// Square root of column_population_variance.
std::vector<double> column_population_std(const MatView& v);

// A standardisation scale is usable only when finite and positive; anything else becomes 1.0.
void clean_scale(std::vector<double>& scale);

}  // namespace qelbo
