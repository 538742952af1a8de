#pragma once
// Selection routines over predictions: non-dominated fronts, the 2-D Pareto
// front, arms peeled from successive fronts, argmax with random ties. Every
// objective is maximised.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/core/array.h"
#include "base/std_rng.h"

namespace qelbo {

class ParetoAcquisition {
public:
    // Successive non-dominated fronts of the rows of y (rows are candidates),
    // first front first. Every row lands in exactly one front, whatever the values.
    static std::vector<std::vector<std::size_t>> non_domin_sort(MatView y);
};

// Positions of the 2-D Pareto front of (a, b) among idx (all positions when
// absent), in sweep order (a descending, then b descending, total order, stable);
// exact duplicates of a front point all belong to it. Throws
// QELError::invalid_parameter("a and b must be finite") when a listed value is not
// finite. a and b must be equally long and idx entries below their length.
std::vector<std::size_t> pareto_front_2d_maximize(std::span<const double> a, std::span<const double> b,
                                                  const std::optional<std::vector<std::size_t>>& idx = std::nullopt);

// At most num_arms positions peeled from successive Pareto fronts of (mu, se);
// the last front needed is sampled by a 64-bit LCG seeded with `seed`. Result
// sorted by mu descending (total order, stable). Throws CoreError "mu and se
// must be finite" when a front under consideration holds a non-finite value.
std::vector<std::size_t> arms_from_pareto_fronts(std::span<const double> mu, std::span<const double> se,
                                                 std::uint64_t num_arms, std::uint64_t seed);

// Index of a largest value (NaN ignored); several ties are split by one uniform
// draw, and an all-NaN input gives a uniform index. Empty input gives 0, no draw.
std::size_t argmax_random_tie(std::span<const double> values, StdRng& rng);

}  // namespace qelbo
