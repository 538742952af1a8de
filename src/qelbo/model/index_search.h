#pragma once
// The model's neighbour search: exact f64 distances, ties at the k-th distance to the
// smaller row index, and exclude-nearest.

#include <cstdint>

#include "qelbo/core/array.h"
#include "qelbo/model/index.h"

namespace qelbo {

class Vantorix;

// Per query the k nearest stored rows (queries x k, filler +inf / -1 beyond the rows found;
// one column fewer with exclude_nearest). Throws QELError.
SearchResult index_search(const Vantorix& model, const MatView& queries, std::int64_t k, bool exclude_nearest,
                          bool tie_break);

}  // namespace qelbo
