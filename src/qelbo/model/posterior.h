#pragma once
// The posterior of the neighbour model: a distance-weighted average of the neighbours' y.
// Weight of a neighbour: 1 / (a + e * d2 + 1e-9 [+ its variance in standardised units]);
// the epistemic variance is the reciprocal of the weight sum.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/neighbor.h"
#include "qelbo/core/params.h"

namespace qelbo {

class Vantorix;

struct PosteriorFlags {
    bool exclude_nearest = false;
    bool observation_noise = false;
    bool tie_break_neighbors = false;
};

// An f64 array of any number of axes, row-major.
struct NdArray {
    Shape shape;
    std::vector<double> data;
};

// Result of posterior (arrays nq x m, with neighbour indices) and batch_posterior (P x nq x m, none).
struct QELNormal {
    NdArray mean;
    NdArray total_std;
    NdArray epistemic_std;
    NdArray aleatoric_std;
    std::optional<IndexArray2> neighbor_indices;
};

// The full posterior's intermediate record, shared by the batch posterior, function draws
// and the conditional posterior. k = neighbours per query (the same for every query).
struct DrawInternals {
    IndexArray2 neighbor_indices;  // nq x k; an index >= n names a row that is not stored
    Array3 w_normalized;           // nq x k x m
    Array2 l2;                     // nq x m: Euclidean norm of w_normalized over neighbours
    Array2 mean;                   // nq x m, units of y
    Array2 total_std;              // nq x m, units of y
    Array2 epistemic_std;
    Array2 aleatoric_std;
};

// Neighbour input of compute_weighted_posterior (NeighborData's fields, or a what-if equivalent).
struct NeighborsView {
    const IndexArray2& indices;  // nq x k
    const Array2& dist2;         // nq x k
    const Array2& y;             // (nq * k) x m
    // The neighbours' observation variances, laid out as y, when the model stores any.
    const Array2* yvar = nullptr;
};

inline constexpr double kWeightJitter = 1e-9;
inline constexpr double kVarianceFloor = 1e-9;
inline constexpr double kStdFloor = 3.1622776601683795e-5;  // sqrt(1e-9)

// Light path when neither observation noise nor stored variances are involved, else full path.
QELNormal posterior(const Vantorix& model, const MatView& x, const QELParams& params, const PosteriorFlags& flags);

// Full path. Throws QELError.
DrawInternals compute_posterior_internals(const Vantorix& model, const MatView& x, const QELParams& params,
                                          const PosteriorFlags& flags);

// Weights and moments from given neighbours; `y_scale` replaces the model's when given.
DrawInternals compute_weighted_posterior(const Vantorix& model, const NeighborsView& neighbours,
                                         const QELParams& params, bool observation_noise,
                                         std::optional<std::span<const double>> y_scale = std::nullopt);

// nq queries without neighbours: mean 0, total and epistemic std 1, aleatoric std 0.
DrawInternals empty_posterior_internals(const Vantorix& model, std::size_t nq);

// Neighbour lists as one array; no lists give 0 x 0.
IndexArray2 idx_nested_to_array2(const IndexArray2& lists);

NdArray to_ndarray(Array2&& a);

// The moments of the full path as the posterior's result arrays.
QELNormal normal_from_internals(DrawInternals&& in);

}  // namespace qelbo
