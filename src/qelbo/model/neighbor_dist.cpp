#include "qelbo/model/neighbor_dist.h"

#include <cmath>

namespace qelbo {

double exact_dist2(const double* q, const double* r, std::size_t d, const double* scale) {
    double s = 0.0;
    if (scale) {
        for (std::size_t j = 0; j < d; ++j) {
            const double t = q[j] / scale[j] - r[j] / scale[j];
            s += t * t;
        }
    } else {
        for (std::size_t j = 0; j < d; ++j) {
            const double t = q[j] - r[j];
            s += t * t;
        }
    }
    return std::fmax(s, 0.0);
}

std::vector<double> query_row(const MatView& v, std::size_t i) {
    std::vector<double> out(v.cols);
    for (std::size_t j = 0; j < v.cols; ++j) out[j] = v(i, j);
    return out;
}

}  // namespace qelbo
