#pragma once
// Neighbour lists for the posterior: exact distances, exclude-nearest, and the neighbours' y rows.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "qelbo/core/array.h"
#include "qelbo/model/index.h"

namespace qelbo {

class Vantorix;

struct NeighborData {
    IndexArray2 neighbor_indices;  // queries x num_neighbors, nearest first
    Array2 neighbor_dist2;         // queries x num_neighbors
    Array2 neighbor_y;             // (queries * num_neighbors) x m, query-major
    std::size_t num_neighbors = 0;
};

// k neighbours per query (k >= 1), the nearest left out with `exclude_nearest`.
// Nothing when no neighbour can be used (no rows). Throws QELError.
std::optional<NeighborData> get_neighbor_data(const Vantorix& model, const MatView& queries, std::int32_t k,
                                              bool exclude_nearest, bool tie_break);

// Drops column 0 when set (a result of 0 or 1 column becomes nq x 0).
SearchResult apply_exclude_nearest(SearchResult r, bool exclude_nearest);

// The backend's search for search_k neighbours per query (1 <= search_k <= stored rows), with
// every query the index could not place (an answer naming no stored row, as when its f32
// distances overflow) answered by an exact scan of all rows instead; non-finite queries are
// refused. The nearest is dropped with `exclude_nearest`. Throws QELError.
SearchResult search_with_exact_fallback(const Vantorix& model, const MatView& queries, std::size_t search_k,
                                        bool exclude_nearest);

// Exact squared distance from query i to stored row indices(i, j); +inf for a negative index.
Array2 dist2s_for_neighbor_indices(const Vantorix& model, const MatView& queries, const IndexArray2& indices);

}  // namespace qelbo
