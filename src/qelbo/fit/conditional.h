#pragma once
// The posterior as if extra (what-if) rows had been observed, without storing them.
// What-if row j is numbered n + j in every neighbour list (n = stored rows).

#include <cstdint>
#include <optional>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/neighbor.h"
#include "qelbo/core/params.h"
#include "qelbo/model/posterior.h"

namespace qelbo {

class Vantorix;

// Checks the inputs (finiteness first, then shapes), merges stored and what-if
// neighbours and weights them with the y scale of stored and what-if rows together.
// With no what-if rows it is the plain full posterior. Throws QELError.
DrawInternals compute_conditional_posterior_internals(const Vantorix& model, const MatView& x,
                                                      const MatView& x_whatif, const MatView& y_whatif,
                                                      const QELParams& params, const PosteriorFlags& flags);

// Neighbours over stored and what-if rows (x_whatif has at least one row; inputs
// already validated). Nothing when no neighbour can be used.
std::optional<NeighborData> get_conditional_neighbor_data(const Vantorix& model, const MatView& x,
                                                          const MatView& x_whatif, const MatView& y_whatif,
                                                          std::int32_t k, bool exclude_nearest, bool tie_break);

// Population standard deviation per metric over the stored rows followed by the
// what-if rows; 1.0 for fewer than 2 rows in all and where it is 0 or not finite.
std::vector<double> compute_scale_for_conditional(const MatView& y_stored, const MatView& y_whatif);

}  // namespace qelbo
