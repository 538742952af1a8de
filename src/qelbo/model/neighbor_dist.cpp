#include "qelbo/model/neighbor_dist.h"

#include <cmath>

#include "qelbo/model/model.h"

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

std::vector<double> row_dist2s_for_query(const Vantorix& model, std::span<const double> query) {
    const std::size_t n = model.num_obs();
    const std::size_t d = model.num_dim();
    const double* scale = model.scale_x() ? model.x_scale().data() : nullptr;
    std::vector<double> out(n);
    if (const InMemoryQelBackend* mem = model.backend().in_memory()) {
        for (std::size_t i = 0; i < n; ++i) out[i] = exact_dist2(query.data(), mem->x().row(i), d, scale);
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> row;
        try {
            row = model.backend().row_x(i);
        } catch (const CoreError&) {
            throw Panic("row_x");
        }
        out[i] = exact_dist2(query.data(), row.data(), d, scale);
    }
    return out;
}

std::vector<double> query_row(const MatView& v, std::size_t i) {
    std::vector<double> out(v.cols);
    for (std::size_t j = 0; j < v.cols; ++j) out[j] = v(i, j);
    return out;
}

}  // namespace qelbo
