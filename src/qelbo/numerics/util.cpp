#include "qelbo/numerics/util.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/total_order.h"

namespace qelbo {
namespace {

// Eight partial sums over full strides of eight, folded pairwise (0+4, 1+5, 2+6,
// 3+7) into the result, then at most seven leftovers in order.
double unrolled_sum(const double* xs, std::size_t n, std::ptrdiff_t step) {
    double p[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        for (std::size_t l = 0; l < 8; ++l) p[l] = p[l] + xs[static_cast<std::ptrdiff_t>(i + l) * step];
    }
    double acc = 0.0;
    acc = acc + (p[0] + p[4]);
    acc = acc + (p[1] + p[5]);
    acc = acc + (p[2] + p[6]);
    acc = acc + (p[3] + p[7]);
    for (; i < n; ++i) acc = acc + xs[static_cast<std::ptrdiff_t>(i) * step];
    return acc;
}

}  // namespace

double layout_sum(std::span<const double> y, SumLayout layout) {
    const std::size_t n = y.size();
    if (n == 0) return 0.0;
    switch (layout) {
        case SumLayout::Contiguous:
            return unrolled_sum(y.data(), n, 1);
        case SumLayout::Reversed:
            return unrolled_sum(y.data() + (n - 1), n, -1);
        case SumLayout::Strided:
            break;
    }
    double acc = 0.0;
    for (double v : y) acc = acc + v;
    return acc;
}

std::pair<double, double> standardize_y(std::span<const double> y, SumLayout layout) {
    const std::size_t n = y.size();
    if (n == 0) return {std::numeric_limits<double>::quiet_NaN(), 1.0};
    std::vector<double> s(y.begin(), y.end());
    std::stable_sort(s.begin(), s.end(), total_less);
    const double centre = n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) * 0.5;
    const double nf = static_cast<double>(n);
    const double mean = layout_sum(y, layout) / nf;
    double ss = -0.0;
    for (double v : y) {
        const double d = v - mean;
        ss = ss + d * d;
    }
    double scale = std::sqrt(ss) / std::sqrt(nf);
    // With n >= 1 the sum of squares is +0.0 at least, so a zero scale is always +0.0.
    if (std::isnan(scale) || scale == std::numeric_limits<double>::infinity() || scale == 0.0) {
        scale = 1.0;
    }
    return {centre, scale};
}

}  // namespace qelbo
