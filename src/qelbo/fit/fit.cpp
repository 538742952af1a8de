#include "qelbo/fit/fit.h"

#include <cmath>
#include <string>

#include "qelbo/core/error.h"
#include "qelbo/model/model.h"
#include "qelbo/model/batch_posterior.h"
#include "qelbo/model/posterior.h"
#include "qelbo/numerics/stats.h"
#include "base/std_rng.h"

namespace qelbo {

void validate_subsample_inputs(std::size_t x_rows, std::size_t y_rows, std::size_t num_samples,
                               std::size_t num_params) {
    if (x_rows != y_rows)
        throw QELError::invalid_parameter("x and y must have same number of rows: " + std::to_string(x_rows) + " vs " +
                                          std::to_string(y_rows));
    if (num_samples == 0) throw QELError::invalid_parameter("P (num_samples) must be > 0");
    if (num_params == 0) throw QELError::invalid_parameter("paramss must be non-empty");
}

double compute_single_loglik(const MatView& y, const MatView& mu, const MatView& se) {
    if (!all_finite(mu) || !all_finite(se)) return 0.0;
    for (std::size_t i = 0; i < se.rows; ++i)
        for (std::size_t j = 0; j < se.cols; ++j)
            if (se(i, j) <= 0.0) return 0.0;
    if (y.rows == 0 || y.cols == 0) return 0.0;
    expect(mu.rows >= y.rows && mu.cols >= y.cols && se.rows >= y.rows && se.cols >= y.cols,
           "mu and se cover the shape of y");
    double sum = 0.0;
    for (std::size_t i = 0; i < y.rows; ++i) {
        for (std::size_t j = 0; j < y.cols; ++j) {
            const double s = se(i, j);
            const double var = s * s;
            const double d = y(i, j) - mu(i, j);
            sum += -0.5 * std::log(var * 6.283185307179586) - 0.5 * (d * d) / var;
        }
    }
    return std::isfinite(sum) ? sum : 0.0;
}

std::vector<double> loglik_of_rows(const Vantorix& model, const MatView& x_sub, const MatView& y_sub,
                                   std::span<const QELParams> paramss, std::span<const double> sigma) {
    const std::size_t S = paramss.size();
    std::vector<double> out(S, 0.0);
    if (x_sub.rows == 0 || model.num_obs() < 2) return out;
    if (!all_finite(y_sub)) return out;

    const std::size_t P = x_sub.rows;
    const std::size_t m = y_sub.cols;
    const PosteriorFlags flags{true, true, false};
    const QELNormal post = batch_posterior(model, x_sub, paramss, flags);
    const Shape expected{S, P, m};
    if (post.mean.shape != expected || post.total_std.shape != expected)
        throw QELError::invalid_shape(expected, post.mean.shape);
    const double* mean = post.mean.data.data();
    const double* total = post.total_std.data.data();
    expect(sigma.size() == m, "one standardisation scale per metric");

    Array2 y_norm(P, m);
    for (std::size_t i = 0; i < P; ++i)
        for (std::size_t j = 0; j < m; ++j) y_norm(i, j) = y_sub(i, j) / sigma[j];
    // Each record's block is standardised in place of a copy of the whole S x P x m arrays.
    Array2 mu_norm(P, m), se_norm(P, m);
    for (std::size_t s = 0; s < S; ++s) {
        for (std::size_t i = 0; i < P; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t at = (s * P + i) * m + j;
                mu_norm(i, j) = mean[at] / sigma[j];
                se_norm(i, j) = total[at] / sigma[j];
            }
        }
        out[s] = compute_single_loglik(view_of(y_norm), view_of(mu_norm), view_of(se_norm));
    }
    return out;
}

std::vector<double> subsample_loglik(const Vantorix& model, const MatView& x, const MatView& y,
                                     std::span<const QELParams> paramss, std::size_t num_samples, StdRng& rng,
                                     std::optional<std::span<const double>> y_std) {
    validate_subsample_inputs(x.rows, y.rows, num_samples, paramss.size());
    if (y_std && y_std->size() != y.cols)
        throw QELError::invalid_parameter("y_std must have one entry per column of y: " +
                                          std::to_string(y_std->size()) + " vs " + std::to_string(y.cols));
    const std::size_t S = paramss.size();
    const std::size_t n = x.rows;
    if (n == 0 || model.num_obs() < 2 || !all_finite(y)) return std::vector<double>(S, 0.0);

    Array2 x_sub, y_sub;
    MatView xs = x, ys = y;
    if (n > num_samples) {
        const std::vector<std::uint64_t> pos = index_sample(rng, n, num_samples);
        x_sub = Array2(pos.size(), x.cols);
        y_sub = Array2(pos.size(), y.cols);
        for (std::size_t r = 0; r < pos.size(); ++r) {
            const std::size_t p = static_cast<std::size_t>(pos[r]);
            for (std::size_t j = 0; j < x.cols; ++j) x_sub(r, j) = x(p, j);
            for (std::size_t j = 0; j < y.cols; ++j) y_sub(r, j) = y(p, j);
        }
        xs = view_of(x_sub);
        ys = view_of(y_sub);
    }

    std::vector<double> sigma = y_std ? std::vector<double>(y_std->begin(), y_std->end()) : column_population_std(y);
    clean_scale(sigma);
    return loglik_of_rows(model, xs, ys, paramss, sigma);
}

}  // namespace qelbo
