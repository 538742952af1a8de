#pragma once
// First-order Sobol sensitivity indices estimated by binning: the variance of
// the bin means of y, bins cut by each input column in turn, over the variance of y.

#include <span>
#include <vector>

#include "qelbo/core/array.h"

namespace qelbo {

// One index per column of x (n rows). Fewer than 9 rows, or a y whose variance
// is not a finite positive number, gives all 1.0; a column of variance at most
// 1e-12 gives 0.0. Throws QELError::shape_error when y is not n values long.
std::vector<double> calculate_sobol_indices(MatView x, std::span<const double> y);

}  // namespace qelbo
