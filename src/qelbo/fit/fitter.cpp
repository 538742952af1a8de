#include "qelbo/fit/fitter.h"

#include <cmath>
#include <numeric>
#include <string>

#include "qelbo/core/error.h"
#include "qelbo/fit/fit.h"
#include "qelbo/model/model.h"
#include "qelbo/numerics/stats.h"
#include "base/std_rng.h"
#include "base/total_order.h"

namespace qelbo {
namespace {

std::string rows_vs(const char* what, std::size_t a, std::size_t b) {
    return std::string(what) + std::to_string(a) + " vs " + std::to_string(b);
}

// A scale drawn log-uniformly from [1e-3, 1e3]: one 64-bit draw mapped onto [-3, 3]
// with both ends included, used as a base-10 exponent.
double draw_log_scale(StdRng& rng) {
    const double u = static_cast<double>(rng.next_u64() >> 12) * 0x1.0p-52;
    const double e = u * 6.000000000000002 - 3.0;
    return ::exp10(e);
}

bool valid_scale(double v) { return std::isfinite(v) && v >= 0.0; }

QELParams default_params(std::int32_t k) {
    try {
        return QELParams::make(k, 1.0, 0.0);
    } catch (const ParamsError& e) {
        throw QELError::invalid_parameter(std::string("Failed to create default params: ") + e.what());
    }
}

// Orders NaN below every number so a failed score never wins.
bool score_less(double a, double b) {
    const bool an = std::isnan(a), bn = std::isnan(b);
    if (an || bn) return an && !bn;
    return total_less(a, b);
}

}  // namespace

std::size_t best_score_index(const std::vector<double>& scores) {
    expect(!scores.empty(), "at least one candidate score");
    std::size_t best = 0;
    for (std::size_t i = 1; i < scores.size(); ++i)
        if (!score_less(scores[i], scores[best])) best = i;  // ties go to the later candidate
    return best;
}

void QELFitter::check_tell(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) const {
    if (!all_finite(x)) throw QELError::invalid_parameter("x must contain only finite values");
    if (!all_finite(y)) throw QELError::invalid_parameter("y must contain only finite values");
    if (x.rows != y.rows) throw QELError::invalid_parameter(rows_vs("x and y must have same number of rows: ", x.rows, y.rows));
    if (yvar) {
        if (!all_finite(*yvar)) throw QELError::invalid_parameter("yvar must contain only finite values");
        if (yvar->rows != y.rows)
            throw QELError::invalid_parameter(rows_vs("yvar and y must have same number of rows: ", yvar->rows, y.rows));
        if (yvar->cols != y.cols)
            throw QELError::invalid_parameter(
                rows_vs("yvar and y must have same number of columns: ", yvar->cols, y.cols));
    }
    // The sums are per column: a different width could be neither added nor read back.
    if (y.rows > 0 && num_obs_ > 0 && y.cols != num_metrics_)
        throw QELError::invalid_parameter(
            rows_vs("y must have as many columns as the rows told before: ", y.cols, num_metrics_));
}

void QELFitter::tell(const MatView& x, const MatView& y, const std::optional<MatView>& yvar) {
    check_tell(x, y, yvar);
    if (y.rows == 0) return;

    num_metrics_ = y.cols;
    if (num_obs_ == 0) {
        y_sum_.assign(y.cols, 0.0);
        y_sumsq_.assign(y.cols, 0.0);
    }
    for (std::size_t i = 0; i < y.rows; ++i) {
        for (std::size_t j = 0; j < y.cols; ++j) {
            const double v = y(i, j);
            y_sum_[j] += v;
            y_sumsq_[j] += v * v;
        }
    }
    num_obs_ += y.rows;
}

std::vector<double> QELFitter::y_std() const {
    if (num_obs_ == 0) return std::vector<double>(num_metrics_ == 0 ? 1 : num_metrics_, 1.0);
    const double n = static_cast<double>(num_obs_);
    std::vector<double> out(num_metrics_);
    for (std::size_t j = 0; j < num_metrics_; ++j) {
        const double mean = y_sum_[j] / n;
        double var = y_sumsq_[j] / n - mean * mean;
        if (std::isnan(var) || var < 0.0) var = 0.0;
        const double s = std::sqrt(var);
        out[j] = (std::isfinite(s) && s > 0.0) ? s : 1.0;
    }
    return out;
}

QELParams QELFitter::ask(const Vantorix& model, std::size_t num_fit_candidates, std::size_t num_fit_samples,
                         const std::optional<QELParams>& warm_start, StdRng& rng) {
    const std::size_t n = model.num_obs();
    if (n < 2) {
        last_params_ = default_params(k_);
        return *last_params_;
    }
    if (num_obs_ == 0)
        throw QELError::invalid_parameter("tell must be called before ask to initialize incremental y statistics");
    // The standardisation scales are indexed by the model's metrics.
    if (num_metrics_ != model.num_metrics())
        throw QELError::invalid_parameter("fitter was told " + std::to_string(num_metrics_) +
                                          " metrics but the model has " + std::to_string(model.num_metrics()));

    const std::size_t C = num_fit_candidates;
    std::vector<QELParams> candidates;
    if (C > 0) {
        std::vector<double> epi(C), ale(C, 0.0);
        for (double& v : epi) v = draw_log_scale(rng);
        if (infer_aleatoric_variance_scale_)
            for (double& v : ale) v = draw_log_scale(rng);
        if (k_ < 1) default_params(k_);  // throws the k error after the draws
        candidates.reserve(C + 1);
        for (std::size_t i = 0; i < C; ++i)
            if (valid_scale(epi[i]) && valid_scale(ale[i])) candidates.push_back(QELParams{epi[i], ale[i], k_});
        if (candidates.empty()) candidates.push_back(QELParams{1.0, 0.0, k_});
    }

    const std::optional<QELParams>& w = warm_start ? warm_start : last_params_;
    if (w) {
        const double ale = infer_aleatoric_variance_scale_ ? w->aleatoric_variance_scale : 0.0;
        try {
            candidates.push_back(QELParams::make(k_, w->epistemic_variance_scale, ale));
        } catch (const ParamsError& e) {
            throw QELError::invalid_parameter(std::string("Invalid warm-start params: ") + e.what());
        }
    }

    std::vector<std::size_t> rows;
    if (n > num_fit_samples) {
        const std::vector<std::uint64_t> pos = index_sample(rng, n, num_fit_samples);
        rows.assign(pos.begin(), pos.end());
    } else {
        rows.resize(n);
        std::iota(rows.begin(), rows.end(), std::size_t{0});
    }
    const TrainRows train = model.backend().train_rows_at(rows);

    std::vector<double> sigma = y_std();
    clean_scale(sigma);
    validate_subsample_inputs(train.x.rows, train.y.rows, num_fit_samples, candidates.size());
    const std::vector<double> scores = loglik_of_rows(model, view_of(train.x), view_of(train.y), candidates, sigma);
    last_params_ = candidates[best_score_index(scores)];
    return *last_params_;
}

}  // namespace qelbo
