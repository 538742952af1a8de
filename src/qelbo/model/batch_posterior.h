#pragma once
// The posterior of the same queries under many parameter records.

#include <span>

#include "qelbo/model/posterior.h"

namespace qelbo {

// Many parameter records over the same queries; one neighbour search when all share k.
QELNormal batch_posterior(const Vantorix& model, const MatView& x, std::span<const QELParams> params_list,
                          const PosteriorFlags& flags);

// Copies the four moment arrays of `internals` into slice p of the batch outputs.
void assign_posterior_results(const DrawInternals& internals, Array3& mean_out, Array3& total_out,
                              Array3& epistemic_out, Array3& aleatoric_out, std::size_t p);

}  // namespace qelbo
