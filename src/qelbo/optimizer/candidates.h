#pragma once
// Point generators of the optimizer, all in unit space: the initial design
// (Latin hypercube or independent uniform points) and the three candidate
// generators of the trust-region ask (Sobol, uniform, RAASP).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/core/array.h"

namespace qelbo {

class StdRng;
class SobolEngine;

enum class InitDesign : std::uint8_t { LatinHypercube = 0, Uniform = 1 };

// A candidate box inside the unit cube: 0 <= lo_j <= hi_j <= 1.
struct CandidateBox {
    std::vector<double> lo;
    std::vector<double> hi;
};

// n points in d dimensions; every column of a Latin hypercube holds one point in
// each of the n cells [k/n, (k+1)/n).
Array2 ask_init(InitDesign design, std::size_t d, std::size_t n, StdRng& rng);
Array2 latin_hypercube(std::size_t d, std::size_t n, StdRng& rng);

// Row i, column j uniform in [lower_j, upper_j); a dimension with lower_j >= upper_j
// takes lower_j without a draw.
Array2 generate_uniform(std::span<const double> lower, std::span<const double> upper, std::size_t n, StdRng& rng);

// The engine's next n points, shifted modulo 1 and mapped into the box. Uses no random draw.
Array2 sobol_candidates(SobolEngine& engine, std::span<const double> shift, const CandidateBox& box, std::size_t n);

// Copies of the centre with 20 coordinate perturbations each: the coordinate is
// chosen by the cumulative weights (lengthscales normalised, else uniform) and
// redrawn uniformly in the box.
Array2 raasp_candidates(std::span<const double> center, const CandidateBox& box,
                        const std::optional<std::vector<double>>& lengthscales, std::size_t n, StdRng& rng);

}  // namespace qelbo
