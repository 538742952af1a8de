#pragma once
// The last step of every disk search: join the index candidates with the scanned
// ones, drop repeated rows, order them, optionally leave out each query's nearest
// row, and cut the list.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mirot/search_source.h"

namespace mirot {

struct Neighbour {
    std::uint32_t row = 0;
    double distance = 0.0;

    bool operator==(const Neighbour&) const = default;
};

// Walks a, then b, keeping the first occurrence of each row with its distance
// widened to f64; orders them by distance (NaN last), equal distances by smaller
// row; drops the nearest when drop_first and at least two remain; keeps the first
// min(count, k, bound).
std::vector<Neighbour> merge_topk_precomputed_dist(std::span<const Candidate> a, std::span<const Candidate> b,
                                                   std::size_t k, std::size_t bound, bool drop_first);

// Recomputes a kept row's distance; a borrowed callable, so that a search builds
// none per query.
struct ExactDistance {
    double (*fn)(const void* context, std::uint32_t row) = nullptr;
    const void* context = nullptr;
    double operator()(std::uint32_t row) const { return fn(context, row); }
};

// The same into `out` (cleared first). When `exact` is given, each kept row's
// distance is its result instead of the candidate's f32 distance.
void merge_topk_into(std::span<const Candidate> a, std::span<const Candidate> b, std::size_t k, std::size_t bound,
                     bool drop_first, std::vector<Neighbour>& out, const ExactDistance* exact = nullptr);

}  // namespace mirot
