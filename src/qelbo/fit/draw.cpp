#include "qelbo/fit/draw.h"

#include "qelbo/fit/draw_compute.h"
#include "qelbo/model/model.h"

namespace qelbo {

FunctionDraws posterior_function_draw(const Vantorix& model, const MatView& x, const QELParams& params,
                                      std::span<const std::int64_t> function_seeds, const PosteriorFlags& flags) {
    DrawInternals internals = compute_posterior_internals(model, x, params, flags);
    FunctionDraws out;
    out.draws = draw_from_internals(model.num_metrics(), internals, function_seeds);
    out.neighbor_indices = std::move(internals.neighbor_indices);
    return out;
}

}  // namespace qelbo
