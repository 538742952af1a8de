#pragma once
// Scoring hyper-parameter records by the Gaussian log-likelihood of the model's
// leave-one-out predictions on a random subsample of rows (larger is better).

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/core/params.h"

namespace qelbo {

class StdRng;
class Vantorix;

// Argument checks shared with the fitter, in this order: equal row counts,
// num_samples > 0, at least one record. Throws QELError::InvalidParameter.
void validate_subsample_inputs(std::size_t x_rows, std::size_t y_rows, std::size_t num_samples,
                               std::size_t num_params);

// Sum of the normal log-densities of y under (mu, se), element by element in row-major
// order; 0.0 when mu or se holds a non-finite value, se a value <= 0, y is empty or
// the sum is not finite. mu and se must cover y's shape.
double compute_single_loglik(const MatView& y, const MatView& mu, const MatView& se);

// One value per record, in record order. The subsample (at most num_samples rows of x
// and y) is drawn from rng only when x has more rows than num_samples. y_std, when
// given, must hold one entry per column of y.
std::vector<double> subsample_loglik(const Vantorix& model, const MatView& x, const MatView& y,
                                     std::span<const QELParams> paramss, std::size_t num_samples, StdRng& rng,
                                     std::optional<std::span<const double>> y_std);

// The scoring half of subsample_loglik on rows already chosen: leave-one-out posterior
// with observation noise, standardised by sigma (one entry per column of y, already
// cleaned). Returns zeros for a model with fewer than 2 rows, no rows or non-finite y.
std::vector<double> loglik_of_rows(const Vantorix& model, const MatView& x_sub, const MatView& y_sub,
                                   std::span<const QELParams> paramss, std::span<const double> sigma);

}  // namespace qelbo
