#pragma once
// Robust centre and scale of a vector of observed values.

#include <cstddef>
#include <span>
#include <utility>

namespace qelbo {

// How the values' plain sum is accumulated. Contiguous data is summed in eight
// interleaved lanes (in memory order, so a reversed view is summed backwards);
// any other layout one value at a time.
enum class SumLayout { Contiguous, Reversed, Strided };

// Sum of y (given in logical order) in the order its memory layout implies.
double layout_sum(std::span<const double> y, SumLayout layout);

// (median under the total order, population standard deviation about the mean);
// (NaN, 1.0) for no values; a scale that is NaN, +inf or +0.0 becomes 1.0.
std::pair<double, double> standardize_y(std::span<const double> y, SumLayout layout = SumLayout::Contiguous);

}  // namespace qelbo
