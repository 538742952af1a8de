#pragma once
// The model's neighbour search: exact f64 distances, ties at the k-th distance to the
// smaller row index, exclude-nearest, and the neighbours' stored rows.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "qelbo/core/array.h"
#include "qelbo/model/index.h"

namespace qelbo {

class Vantorix;

// Neighbours of a block of queries with their stored values.
struct NeighborData {
    IndexArray2 neighbor_indices;  // queries x num_neighbors, nearest first
    Array2 neighbor_dist2;         // queries x num_neighbors
    Array2 neighbor_y;             // (queries * num_neighbors) x m, query-major
    // Their observation variances, laid out as neighbor_y, when the model stores any.
    std::optional<Array2> neighbor_yvar;
    std::size_t num_neighbors = 0;
};

// Per query the k nearest stored rows (queries x k, filler +inf / -1 beyond the rows found;
// one column fewer with exclude_nearest), at most `max_cols` of them. With `with_rows` their
// y rows (and variances where stored) are read too, in the same pass as the distances.
// Throws QELError.
NeighborData search_neighbors(const Vantorix& model, const MatView& queries, std::int64_t k, bool exclude_nearest,
                              bool tie_break, std::size_t max_cols, bool with_rows);

// The same search's distances and ids alone.
SearchResult index_search(const Vantorix& model, const MatView& queries, std::int64_t k, bool exclude_nearest,
                          bool tie_break);

// Drops column 0 when set (a result of 0 or 1 column becomes nq x 0).
SearchResult apply_exclude_nearest(SearchResult r, bool exclude_nearest);

}  // namespace qelbo
