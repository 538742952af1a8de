#pragma once
// Neighbour lists for the posterior and the neighbour probe: k neighbours per query with
// exclude-nearest, and the exact scan behind answers the index could not give.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "qelbo/core/array.h"
#include "qelbo/model/index.h"
#include "qelbo/model/index_search.h"

namespace qelbo {

class Vantorix;

// k neighbours per query (k >= 1) with their y rows (and variances where stored), the
// nearest left out with `exclude_nearest`. Nothing when no neighbour can be used (no rows).
// Throws QELError.
std::optional<NeighborData> get_neighbor_data(const Vantorix& model, const MatView& queries, std::int32_t k,
                                              bool exclude_nearest, bool tie_break);

// The backend's search for search_k neighbours per query (1 <= search_k <= stored rows), with
// every query the index could not place (an answer naming no stored row, as when its f32
// distances overflow) answered by an exact scan of all rows instead; non-finite queries are
// refused. The nearest is dropped with `exclude_nearest`. Throws QELError.
SearchResult search_with_exact_fallback(const Vantorix& model, const MatView& queries, std::size_t search_k,
                                        bool exclude_nearest);

}  // namespace qelbo
