#pragma once
// QELFitter: chooses the epistemic and aleatoric variance scales of a model for a
// fixed k. It keeps only running y sums (for the standardisation of the
// log-likelihood) and the last choice; the caller lends it a generator per ask.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/core/params.h"

namespace qelbo {

class StdRng;
class Vantorix;

class QELFitter {
public:
    QELFitter(std::int32_t k, bool infer_aleatoric_variance_scale)
        : k_(k), infer_aleatoric_variance_scale_(infer_aleatoric_variance_scale) {}

    // Adds y to the running sums; x and yvar are only validated. Throws
    // QELError::InvalidParameter and then leaves the fitter unchanged.
    void tell(const MatView& x, const MatView& y, const std::optional<MatView>& yvar);
    // The checks of tell alone, changing nothing.
    void check_tell(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) const;

    // Per-metric population standard deviation of all y told; 1.0 where undefined.
    std::vector<double> y_std() const;

    // Draws candidate scales, adds the warm start, scores all of them on at most
    // num_fit_samples of the model's rows and returns (and remembers) the best.
    QELParams ask(const Vantorix& model, std::size_t num_fit_candidates, std::size_t num_fit_samples,
                  const std::optional<QELParams>& warm_start, StdRng& rng);

    const std::optional<QELParams>& last_params() const { return last_params_; }
    void set_last_params(const std::optional<QELParams>& p) { last_params_ = p; }
    std::int32_t k() const { return k_; }
    bool infer_aleatoric_variance_scale() const { return infer_aleatoric_variance_scale_; }
    std::size_t num_obs() const { return num_obs_; }
    std::size_t num_metrics() const { return num_metrics_; }

private:
    std::optional<QELParams> last_params_;
    std::vector<double> y_sum_;
    std::vector<double> y_sumsq_;
    std::size_t num_obs_ = 0;
    std::size_t num_metrics_ = 0;
    std::int32_t k_;
    bool infer_aleatoric_variance_scale_;
};

// Index of the best score: the largest under the IEEE total order, NaN below every
// number, the last one among equals. scores must not be empty.
std::size_t best_score_index(const std::vector<double>& scores);

}  // namespace qelbo
