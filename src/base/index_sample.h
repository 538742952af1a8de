#pragma once
// Distinct random indices from 0 .. length-1, in the order the sampler
// produces them. The algorithm (Floyd's, a partial in-place shuffle or
// rejection) is chosen from length and amount with single-precision cost
// estimates, and each consumes the generator differently, so the choice is
// part of the result.

#include <cstdint>
#include <vector>

namespace qelbo {

class StdRng;

// `amount` distinct indices below `length`; a panic when amount > length.
std::vector<std::uint64_t> index_sample(StdRng& rng, std::uint64_t length, std::uint64_t amount);

}  // namespace qelbo
