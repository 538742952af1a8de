#include "qelbo/numerics/stats.h"

namespace qelbo {

std::vector<double> column_population_variance(const MatView& v) {
    std::vector<Welford> acc(v.cols);
    for (std::size_t i = 0; i < v.rows; ++i)
        for (std::size_t j = 0; j < v.cols; ++j) acc[j].push(v(i, j));
    std::vector<double> out(v.cols);
    const double n = static_cast<double>(v.rows);
    for (std::size_t j = 0; j < v.cols; ++j) out[j] = acc[j].m2 / n;
    return out;
}

std::vector<double> column_population_std(const MatView& v) {
    std::vector<double> out = column_population_variance(v);
    for (double& x : out) x = std::sqrt(x);
    return out;
}

void clean_scale(std::vector<double>& scale) {
    for (double& s : scale) {
        if (!std::isfinite(s) || !(s > 0.0)) s = 1.0;
    }
}

}  // namespace qelbo
