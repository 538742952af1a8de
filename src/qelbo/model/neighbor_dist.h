#pragma once
// Exact f64 squared distances between query rows and stored rows, in the index's space.

#include <cstddef>
#include <vector>

#include "qelbo/core/array.h"

namespace qelbo {

// Squared distance of contiguous rows q and r (d values each); with `scale` every coordinate
// is divided by scale[j]. Terms summed in coordinate order from +0.0; a NaN sum becomes 0.0.
double exact_dist2(const double* q, const double* r, std::size_t d, const double* scale);

// Query row i of `v` as a contiguous copy.
std::vector<double> query_row(const MatView& v, std::size_t i);

}  // namespace qelbo
