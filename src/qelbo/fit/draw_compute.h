#pragma once
// Function draws from the full posterior's intermediate record: every neighbour row
// carries one fixed hash normal per (seed, row, metric), so draws of one seed are
// correlated across queries the way the model implies.

#include <cstddef>
#include <cstdint>
#include <span>

#include "qelbo/core/array.h"
#include "qelbo/model/posterior.h"

namespace qelbo {

// S x nq x m draws, seed-major: mean + total_std * (sum_t w_t * N_t) / ||w||. Each seed's
// block runs on the worker pool; the values do not depend on the pool size.
Array3 draw_from_internals(std::size_t m, const DrawInternals& internals, std::span<const std::int64_t> function_seeds);

}  // namespace qelbo
