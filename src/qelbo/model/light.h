#pragma once
// The light posterior path: mean and std from one search and one pass over the neighbours.

#include "qelbo/model/posterior.h"

namespace qelbo {

// The light path (both scales and k from params; no intermediate record). Throws QELError.
QELNormal light_posterior(const Vantorix& model, const MatView& x, const QELParams& params,
                          const PosteriorFlags& flags);

}  // namespace qelbo
