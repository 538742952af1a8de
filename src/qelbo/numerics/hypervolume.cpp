#include "qelbo/numerics/hypervolume.h"

#include <algorithm>
#include <vector>

#include "base/total_order.h"

namespace qelbo {

HypervolumeError HypervolumeError::y_shape(std::size_t rows, std::size_t cols) {
    return HypervolumeError(Kind::YShape, "y must have 2 columns, got shape " + format_shape({rows, cols}));
}

HypervolumeError HypervolumeError::ref_point_shape(std::size_t len) {
    return HypervolumeError(Kind::RefPointShape, "ref_point must have 2 elements, got shape " + std::to_string(len));
}

double hypervolume_2d_max(MatView y, std::span<const double> ref_point) {
    if (y.cols != 2) throw HypervolumeError::y_shape(y.rows, y.cols);
    if (ref_point.size() != 2) throw HypervolumeError::ref_point_shape(ref_point.size());
    const double r0 = ref_point[0];
    const double r1 = ref_point[1];
    struct Point {
        std::int64_t key;  // total-order key of a
        std::size_t row;
        double a, b;
    };
    std::vector<Point> pts;
    for (std::size_t i = 0; i < y.rows; ++i) {
        const double a = y(i, 0), b = y(i, 1);
        if (a > r0 && b > r1) pts.push_back({total_order_key(a), i, a, b});
    }
    if (pts.empty()) return 0.0;
    // a descending, equal a in row order.
    std::sort(pts.begin(), pts.end(), [](const Point& p, const Point& q) {
        return p.key != q.key ? p.key > q.key : p.row < q.row;
    });
    double hv = 0.0;
    double best = r1;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].b > best) best = pts[i].b;
        const double next = i + 1 < pts.size() ? pts[i + 1].a : r0;
        hv += (best - r1) * (pts[i].a - next);
    }
    return hv;
}

}  // namespace qelbo
