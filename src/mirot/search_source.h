#pragma once
// What a search lends to leaf scoring: the x rows and how a stored f64 row becomes a
// single-precision search vector.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mirot/mmap_store.h"

namespace mirot {

struct SearchSource {
    const MmapColumnStore* x_store = nullptr;
    // One divisor per dimension; applied only when scale_x is set.
    std::span<const double> x_scale;
    bool scale_x = false;
};

// A scored row: its index in the x store and its squared distance in f32.
struct Candidate {
    std::uint32_t row = 0;
    float distance = 0.0f;

    bool operator==(const Candidate&) const = default;
};

// Row r as f32: all ncols values narrowed, or, when scaling, the first
// min(ncols, x_scale size) values divided by their divisor in f64, then narrowed.
// A row at or beyond nrows throws InvalidParameter "row r out of range [0, nrows)".
void row_to_search_vector(const SearchSource& source, std::uint64_t r, std::vector<float>& out);

// The error text of a row read beyond the rows in use.
MirotError row_out_of_range(std::uint64_t r, std::uint64_t nrows);

// The number of values row_to_search_vector gives for a row of this source.
inline std::size_t search_row_width(const SearchSource& source) {
    const std::size_t ncols = static_cast<std::size_t>(source.x_store->ncols());
    return source.scale_x && source.x_scale.size() < ncols ? source.x_scale.size() : ncols;
}

// The divisors the distance kernels apply to stored rows, or null when unscaled.
inline const double* search_row_scale(const SearchSource& source) {
    return source.scale_x ? source.x_scale.data() : nullptr;
}

}  // namespace mirot

namespace mirot {

// Orders distances as numbers, with NaN after every number (NaNs equal to each
// other), so that sorts and heaps see a strict weak order whatever the data.
template <class T>
inline bool distance_less(T a, T b) {
    if (a != a) return false;
    if (b != b) return true;
    return a < b;
}

// Distance, then the smaller row first.
inline bool candidate_less(const Candidate& a, const Candidate& b) {
    if (distance_less(a.distance, b.distance)) return true;
    if (distance_less(b.distance, a.distance)) return false;
    return a.row < b.row;
}

// The same order as a function object, so that sorts and heaps inline it.
struct CandidateOrder {
    bool operator()(const Candidate& a, const Candidate& b) const { return candidate_less(a, b); }
};

}  // namespace mirot
