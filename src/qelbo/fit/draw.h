#pragma once
// Posterior function draws of a model at query points, one function per seed.

#include <cstdint>
#include <span>

#include "qelbo/core/array.h"
#include "qelbo/core/params.h"
#include "qelbo/model/posterior.h"

namespace qelbo {

class Vantorix;

struct FunctionDraws {
    Array3 draws;                  // seeds x queries x metrics
    IndexArray2 neighbor_indices;  // queries x neighbours used, nearest first
};

// Always from the full posterior (with its variance floor), whatever the flags. Throws QELError.
FunctionDraws posterior_function_draw(const Vantorix& model, const MatView& x, const QELParams& params,
                                      std::span<const std::int64_t> function_seeds, const PosteriorFlags& flags);

}  // namespace qelbo
