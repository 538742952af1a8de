#include "qelbo/optimizer/strategy.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <string>

#include "qelbo/optimizer/acquisition.h"
#include "qelbo/optimizer/morbo_trust_region.h"
#include "qelbo/optimizer/optimizer.h"
#include "base/std_rng.h"
#include "base/total_order.h"

namespace qelbo {

double seconds_since(Clock::time_point start) {
    const auto now = Clock::now();
    if (now < start) return 0.0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

namespace {

// f64 -> usize as a saturating conversion: NaN and negatives give 0.
std::size_t saturating_usize(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(v);
}

std::size_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
    const auto p = static_cast<std::size_t>(pages);
    const auto s = static_cast<std::size_t>(page_size);
    return p > std::numeric_limits<std::size_t>::max() / s ? std::numeric_limits<std::size_t>::max() : p * s;
}

// Larger scores first; NaN below every number; equal scores keep their order.
// Non-NaN scores compare under the total order (-0.0 below +0.0).
bool score_total_before(double a, double b) {
    const bool a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return total_less(b, a);
}

// Same, but -0.0 and +0.0 count as equal.
bool score_before(double a, double b) {
    const bool a_nan = std::isnan(a), b_nan = std::isnan(b);
    if (a_nan || b_nan) return !a_nan && b_nan;
    return a > b;
}

std::vector<std::size_t> iota_indices(std::size_t n) {
    std::vector<std::size_t> idx(n);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    return idx;
}

std::vector<std::size_t> shuffled_indices(std::size_t n, StdRng& rng) {
    std::vector<std::size_t> idx = iota_indices(n);
    shuffle(rng, std::span<std::size_t>(idx));
    return idx;
}

template <class Before>
std::vector<std::size_t> take_best(std::vector<std::size_t> idx, const std::vector<double>& scores,
                                   std::size_t num_arms, Before before) {
    std::stable_sort(idx.begin(), idx.end(),
                     [&](std::size_t a, std::size_t b) { return before(scores[a], scores[b]); });
    idx.resize(std::min(num_arms, idx.size()));
    return idx;
}

QELError no_candidates() { return QELError::invalid_parameter("No candidates available"); }

std::vector<double> column(const Array2& m, std::size_t j) {
    std::vector<double> out(m.rows);
    for (std::size_t i = 0; i < m.rows; ++i) out[i] = m(i, j);
    return out;
}

Array2 stack_rows(const std::vector<std::vector<double>>& rows, std::size_t width) {
    Array2 out(rows.size(), width);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        expect(rows[i].size() == width, "stacked rows share their width");
        std::copy(rows[i].begin(), rows[i].end(), out.row(i));
    }
    return out;
}

template <class F>
auto region_call(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const TrustRegionError& e) {
        throw as_qel_error(e);
    }
}

}  // namespace

void ensure_fits_in_memory(std::size_t rows, std::size_t cols, const char* what) {
    const std::size_t elements = checked_size(rows, cols);
    if (elements > physical_memory_bytes() / sizeof(double)) {
        throw QELError::invalid_parameter(std::string("cannot allocate ") + std::to_string(rows) + " " + what +
                                          " of width " + std::to_string(cols) + ": more memory than the machine has");
    }
}

std::size_t candidate_count(const OptimizerConfig& config, std::size_t d, std::size_t num_arms) {
    const double f = config.num_candidates_factor;
    const std::size_t min_c = config.min_candidates;
    const auto& max_c = config.max_candidates;
    const auto& per_arm = config.num_candidates_per_arm;
    if (f == 1.0 && max_c && *max_c == min_c && !per_arm) return min_c;

    const std::size_t base = saturating_usize(f * static_cast<double>(d));
    std::size_t wanted_per_arm = 0;
    if (per_arm) {
        if (num_arms != 0 && *per_arm > std::numeric_limits<std::size_t>::max() / num_arms) {
            throw QELError::invalid_parameter("candidate count overflows: num_candidates_per_arm " +
                                              std::to_string(*per_arm) + " x num_arms " + std::to_string(num_arms));
        }
        wanted_per_arm = *per_arm * num_arms;
    }
    if (!max_c) return std::max(wanted_per_arm, std::max(min_c, base));
    if (per_arm) return std::max(wanted_per_arm, std::max(min_c, std::min(base, *max_c)));
    // The cap applies only at the factor 100.
    if (std::fabs(f - 100.0) < 0x1.0p-52) return std::max(min_c, std::min(base, *max_c));
    return std::max(min_c, base);
}

Array2 select_by_indices(const Array2& candidates, std::span<const std::size_t> indices) {
    Array2 out(indices.size(), candidates.cols);
    for (std::size_t i = 0; i < indices.size(); ++i) {
        expect(indices[i] < candidates.rows, "assertion failed: index < dim");
        const auto src = candidates.row_span(indices[i]);
        std::copy(src.begin(), src.end(), out.row(i));
    }
    return out;
}

Array2 ask_turbo(Optimizer& opt, std::size_t num_arms, Telemetry& telemetry, StdRng& rng) {
    MorboTrustRegion* morbo = opt.trust_region.morbo();
    TurboTrustRegion& region = opt.trust_region.head();
    const std::size_t d = opt.num_dim;

    if (morbo && morbo->rescalarize == RescalarizePolicy::OnPropose) morbo->resample_weights(rng);
    region.set_batch(num_arms);

    if (morbo) {
        const std::optional<std::size_t> count =
            opt.surrogate ? opt.surrogate->observation_count() : std::optional<std::size_t>(opt.own_rows);
        if (count && *count > 0 && morbo->has_ranges() && morbo->stored_incumbent_y) {
            region_call([&] {
                const auto& stored = *morbo->stored_incumbent_y;
                const std::vector<double> s =
                    scalarize_with_ranges(MatView::row_major(stored.data(), 1, stored.size()), *morbo->objective_minima,
                                          *morbo->objective_maxima, morbo->weights, morbo->num_metrics, true,
                                          morbo->alpha);
                region.best_value = s[0];
                region.update_scalar_incumbent(*count, s[0]);
                return 0;
            });
        }
    }

    const std::vector<double> center = opt.incumbent_x ? *opt.incumbent_x : std::vector<double>(d, 0.5);
    const std::optional<std::vector<double>> lengthscales =
        opt.surrogate ? opt.surrogate->lengthscales() : std::nullopt;
    CandidateBox box{std::vector<double>(d), std::vector<double>(d)};
    for (std::size_t j = 0; j < d; ++j) {
        const double h = (lengthscales && lengthscales->size() == d) ? 0.5 * (region.length * (*lengthscales)[j])
                                                                     : 0.5 * region.length;
        // fmax takes a NaN bound as 0, like the lower clamp.
        box.lo[j] = std::fmin(std::fmax(center[j] - h, 0.0), 1.0);
        box.hi[j] = std::fmin(std::fmax(center[j] + h, 0.0), 1.0);
    }

    const std::size_t n = candidate_count(opt.config, d, num_arms);
    telemetry.num_candidates = n;
    ensure_fits_in_memory(n, d, "candidates");

    Array2 cands;
    switch (opt.config.candidate_rv) {
        case CandidateRv::Sobol:
            cands = sobol_candidates(opt.sobol, opt.sobol_shift, box, n);
            break;
        case CandidateRv::Uniform:
            cands = generate_uniform(box.lo, box.hi, n, rng);
            break;
        case CandidateRv::Raasp:
            cands = raasp_candidates(center, box, lengthscales, n, rng);
            break;
    }

    const auto sel_start = Clock::now();
    if (n == 0) throw no_candidates();

    const Acquisition acq = opt.surrogate ? opt.config.acquisition : Acquisition::random();
    std::vector<std::size_t> chosen;
    switch (acq.kind) {
        case Acquisition::Kind::Random: {
            chosen = shuffled_indices(n, rng);
            chosen.resize(std::min(num_arms, n));
            break;
        }
        case Acquisition::Kind::Ucb: {
            SurrogatePrediction pred = opt.surrogate->predict(cands);
            std::vector<double> scores;
            if (morbo) {
                Array2 ucb(pred.mu.rows, pred.mu.cols);
                for (std::size_t k = 0; k < ucb.size(); ++k) ucb.data[k] = pred.mu.data[k] + acq.beta * pred.se.data[k];
                scores = region_call([&] { return morbo->scalarize(ucb, false); });
            } else {
                scores.resize(pred.mu.rows);
                for (std::size_t i = 0; i < scores.size(); ++i) scores[i] = pred.mu(i, 0) + acq.beta * pred.se(i, 0);
            }
            expect(scores.size() == n, "one score per candidate");
            chosen = take_best(shuffled_indices(n, rng), scores, num_arms, score_total_before);
            break;
        }
        case Acquisition::Kind::Thompson: {
            ensure_fits_in_memory(num_arms, checked_size(n, opt.metric_count()), "function draws");
            const Array3 draws = opt.surrogate->sample(cands, num_arms, rng);
            if (num_arms == 0) break;
            expect(draws.d0 == num_arms && draws.d1 == n && draws.d2 >= 1, "one draw per arm and candidate");
            if (!morbo) {
                std::vector<double> first(n);
                for (std::size_t i = 0; i < n; ++i) first[i] = draws(0, i, 0);
                chosen = take_best(iota_indices(n), first, num_arms, score_before);
            } else {
                const std::size_t m = draws.d2;
                std::vector<std::vector<double>> scalarized(num_arms);
                for (std::size_t a = 0; a < num_arms; ++a) {
                    const MatView draw = MatView::row_major(draws.data.data() + a * n * m, n, m);
                    scalarized[a] = region_call([&] { return morbo->scalarize(draw, false); });
                }
                for (std::size_t a = 0; a < num_arms; ++a) {
                    std::vector<double>& scores = scalarized[a];
                    for (std::size_t c : chosen) scores[c] = -std::numeric_limits<double>::infinity();
                    chosen.push_back(argmax_random_tie(scores, rng));
                }
            }
            break;
        }
        case Acquisition::Kind::Pareto: {
            SurrogatePrediction pred = opt.surrogate->predict(cands);
            if (pred.mu.rows == 0) throw no_candidates();
            if (pred.mu.rows != pred.se.rows || pred.mu.cols != pred.se.cols) {
                throw QELError::invalid_parameter("mu shape " + format_shape({pred.mu.rows, pred.mu.cols}) +
                                                  " does not match se shape " +
                                                  format_shape({pred.se.rows, pred.se.cols}));
            }
            if (pred.mu.cols == 1) {
                const std::uint64_t seed = rng.next_u64();
                const auto mu = column(pred.mu, 0);
                const auto se = column(pred.se, 0);
                try {
                    chosen = arms_from_pareto_fronts(mu, se, std::min(num_arms, n), seed);
                } catch (const QELError&) {
                    throw;
                } catch (const CoreError& e) {
                    throw QELError::invalid_parameter(e.what());
                }
            } else {
                const auto fronts = ParetoAcquisition::non_domin_sort(pred.mu);
                for (const auto& front : fronts) {
                    const std::size_t wanted = num_arms - chosen.size();
                    if (wanted == 0) break;
                    if (front.size() <= wanted) {
                        chosen.insert(chosen.end(), front.begin(), front.end());
                        continue;
                    }
                    std::vector<std::size_t> members = front;
                    shuffle(rng, std::span<std::size_t>(members));
                    chosen.insert(chosen.end(), members.begin(), members.begin() + static_cast<std::ptrdiff_t>(wanted));
                    break;
                }
            }
            break;
        }
    }

    Array2 out = select_by_indices(cands, chosen);
    telemetry.dt_sel = seconds_since(sel_start);
    return out;
}

namespace {

// All told y rows; absent on a read failure or without rows.
std::optional<Array2> read_all_y(const Optimizer& opt) {
    try {
        return opt.y_obs();
    } catch (const CoreError&) {
        return std::nullopt;
    }
}

// The incumbent among the candidate rows; leaves it cleared when none qualifies.
void select_incumbent(Optimizer& opt, const std::vector<std::size_t>& cands, StdRng& rng) {
    opt.incumbent_index.reset();
    opt.incumbent_x.reset();
    opt.incumbent_y.reset();
    MorboTrustRegion* morbo = opt.trust_region.morbo();

    if (morbo) {
        std::vector<std::vector<double>> y_rows;
        y_rows.reserve(cands.size());
        for (std::size_t c : cands) y_rows.push_back(opt.obs_row_y(c));
        Array2 y = stack_rows(y_rows, morbo->num_metrics);
        if (morbo->noise_aware && opt.surrogate) {
            std::vector<std::vector<double>> x_rows;
            for (std::size_t c : cands) x_rows.push_back(opt.obs_row_x(c));
            y = opt.surrogate->predict(stack_rows(x_rows, opt.num_dim)).mu;
        }
        std::vector<double> scores = region_call([&] { return morbo->scalarize(y, true); });
        // A row with a NaN metric never makes the incumbent, not even where a degenerate
        // range gives that metric the same score for every row.
        for (std::size_t j = 0; j < scores.size(); ++j) {
            const auto row = y.row_span(j);
            if (std::any_of(row.begin(), row.end(), [](double v) { return std::isnan(v); }))
                scores[j] = std::numeric_limits<double>::quiet_NaN();
        }
        // A NaN score never makes the incumbent.
        if (std::all_of(scores.begin(), scores.end(), [](double s) { return std::isnan(s); })) return;
        const std::size_t j = argmax_random_tie(scores, rng);
        opt.incumbent_index = cands[j];
        opt.incumbent_x = opt.obs_row_x(cands[j]);
        const auto row = y.row_span(j);
        opt.incumbent_y = std::vector<double>(row.begin(), row.end());
        return;
    }

    if (opt.config.noise_aware && opt.surrogate) {
        std::vector<std::vector<double>> x_rows;
        for (std::size_t c : cands) x_rows.push_back(opt.obs_row_x(c));
        const Array2 mean = opt.surrogate->predict(stack_rows(x_rows, opt.num_dim)).mu;
        // The first of equal maxima wins; a NaN mean never wins.
        std::optional<std::size_t> win;
        for (std::size_t k = 0; k < cands.size(); ++k) {
            const double v = mean(k, 0);
            if (std::isnan(v)) continue;
            if (!win || v > mean(*win, 0)) win = k;
        }
        if (!win) return;
        opt.incumbent_index = cands[*win];
        opt.incumbent_x = x_rows[*win];
        opt.incumbent_y = std::vector<double>{mean(*win, 0)};
        return;
    }

    // Among equal values the highest row wins; NaN ranks below every number.
    std::optional<std::size_t> best;
    std::optional<double> best_value;
    for (std::size_t c : cands) {
        std::optional<double> value;
        try {
            value = opt.obs_row_y(c).at(0);
        } catch (const CoreError&) {
        }
        if (best && best_value && value && score_total_before(*best_value, *value)) continue;
        best = c;
        best_value = value;
    }
    if (!best || (best_value && std::isnan(*best_value))) return;
    opt.incumbent_index = *best;
    opt.incumbent_x = opt.obs_row_x(*best);
    opt.incumbent_y = opt.obs_row_y(*best);
}

void morbo_update_incumbent(Optimizer& opt, MorboTrustRegion& morbo, std::size_t new_num_obs) {
    if (!opt.incumbent_y) {
        // Only rows whose every score is NaN are told: nothing to compare yet.
        if (opt.observation_count() > 0) return;
        throw QELError::invalid_parameter("Missing incumbent y");
    }
    const std::vector<double>& inc = *opt.incumbent_y;
    region_call([&] {
        if (inc.size() != morbo.num_metrics) {
            throw TrustRegionError::invalid_parameter("y_incumbent len " + std::to_string(inc.size()) +
                                                      " != num_metrics " + std::to_string(morbo.num_metrics));
        }
        if (!morbo.has_ranges()) throw TrustRegionError::invalid_state("update_incumbent_only before ranges initialized");
        const auto& lo = *morbo.objective_minima;
        const auto& hi = *morbo.objective_maxima;
        if (!morbo.stored_incumbent_y) {
            morbo.stored_incumbent_y = inc;
            const auto s = scalarize_with_ranges(MatView::row_major(inc.data(), 1, inc.size()), lo, hi, morbo.weights,
                                                 morbo.num_metrics, true, morbo.alpha);
            morbo.head.update_scalar_incumbent(new_num_obs, s[0]);
            return 0;
        }
        std::vector<double> both(*morbo.stored_incumbent_y);
        both.insert(both.end(), inc.begin(), inc.end());
        const auto s = scalarize_with_ranges(MatView::row_major(both.data(), 2, inc.size()), lo, hi, morbo.weights,
                                             morbo.num_metrics, true, morbo.alpha);
        morbo.head.best_value = s[0];
        morbo.head.update_scalar_incumbent(new_num_obs, s[1]);
        if (s[0] < s[1]) morbo.stored_incumbent_y = inc;
        return 0;
    });
}

}  // namespace

void tell_common(Optimizer& opt, MatView x, MatView y, double* dt_fit, StdRng& rng) {
    if (x.rows != y.rows) throw QELError::invalid_shape({x.rows, y.cols}, {y.rows, y.cols});
    const std::size_t n = x.rows;
    const std::size_t m = y.cols;
    const std::size_t prev = opt.observation_count();
    expect(x.is_row_major() && y.is_row_major(), "told rows are contiguous");

    for (std::size_t i = 0; i < n; ++i) {
        const auto row = y.row_span(i);
        opt.tracker.tell(prev + i, row);
        if (!opt.surrogate) {
            const auto xr = x.row_span(i);
            opt.own_x.insert(opt.own_x.end(), xr.begin(), xr.end());
            opt.own_y.insert(opt.own_y.end(), row.begin(), row.end());
            opt.own_rows += 1;
        }
    }
    if (n == 0) throw QELError::invalid_parameter("observation delta requires appended rows");
    const std::size_t new_num_obs = prev + n < prev ? std::numeric_limits<std::size_t>::max() : prev + n;

    if (opt.surrogate) {
        if (const auto fitted = opt.surrogate->fitted_num_metrics(); fitted && *fitted != m) {
            throw QELError::invalid_parameter("y has " + std::to_string(m) + " metric columns but the fitted model has " +
                                              std::to_string(*fitted) + "; changing output width is unsupported");
        }
        const auto start = Clock::now();
        opt.surrogate->fit_append(x, y, std::nullopt, rng);
        if (dt_fit) *dt_fit = seconds_since(start);
    }

    MorboTrustRegion* morbo = opt.trust_region.morbo();
    if (morbo && new_num_obs > prev) morbo->update_ranges_incremental(y);

    const std::size_t count = opt.observation_count();
    if (count == 0) {
        opt.incumbent_index.reset();
        opt.incumbent_x.reset();
        opt.incumbent_y.reset();
    } else {
        if (opt.tracker.num_told() != count) {
            if (const auto all_y = read_all_y(opt)) {
                opt.tracker.reset();
                for (std::size_t i = 0; i < all_y->rows; ++i) opt.tracker.tell(i, all_y->row_span(i));
            }
        }
        const std::vector<std::size_t> cands = opt.tracker.candidate_rows();
        if (cands.empty()) {
            opt.incumbent_index.reset();
            opt.incumbent_x.reset();
            opt.incumbent_y.reset();
        } else {
            select_incumbent(opt, cands, rng);
        }
    }

    if (morbo) morbo_update_incumbent(opt, *morbo, new_num_obs);

    if (opt.surrogate && n >= 64) opt.surrogate->release_observation_pages();
}

void tell_turbo(Optimizer& opt, MatView x, MatView y, Telemetry& telemetry, StdRng& rng) {
    tell_common(opt, x, y, &telemetry.dt_fit, rng);
    const std::size_t n = x.rows;
    const std::size_t num_obs = opt.observation_count();
    // Without an incumbent (every told value NaN) the batch counts as nothing better.
    if (!opt.incumbent_y && num_obs == 0) throw QELError::invalid_parameter("Missing incumbent y");

    TurboTrustRegion& region = opt.trust_region.head();
    region.set_batch(n);

    if (MorboTrustRegion* morbo = opt.trust_region.morbo()) {
        if (!region.needs_restart()) return;
        morbo->clear_for_restart();
        if (morbo->rescalarize == RescalarizePolicy::OnRestart) morbo->resample_weights(rng);
        opt.restart_count += 1;
        if (const auto all_y = read_all_y(opt); all_y && all_y->rows > 0) morbo->update_ranges_incremental(*all_y);
        return;
    }

    if (region.prev_num_obs == 0) region.prev_num_obs = num_obs >= n ? num_obs - n : 0;
    if (y.cols != 1) {
        throw QELError::invalid_parameter("Turbo TR expects 1 objective column, got " + std::to_string(y.cols));
    }
    double v = std::numeric_limits<double>::quiet_NaN();
    if (opt.incumbent_y) {
        if (opt.incumbent_y->size() != 1) {
            throw QELError::invalid_parameter("Turbo TR expects 1 incumbent scalar, got " +
                                              std::to_string(opt.incumbent_y->size()));
        }
        v = (*opt.incumbent_y)[0];
    }
    if (num_obs != region.prev_num_obs + n) {
        throw QELError::invalid_parameter("num_obs " + std::to_string(num_obs) + " must equal prev_num_obs " +
                                          std::to_string(region.prev_num_obs) + " + y_new.len() " + std::to_string(n));
    }
    std::vector<double> told(n);
    for (std::size_t i = 0; i < n; ++i) told[i] = y(i, 0);
    region.update_with_incumbent(v, told, num_obs);
    if (region.needs_restart()) {
        region.restart();
        opt.restart_count += 1;
    }
}

void adopt_rows_of_failed_tell(Optimizer& opt, MatView y, std::size_t count_before) noexcept {
    try {
        const std::size_t count = opt.observation_count();
        if (count == count_before) return;
        // Minima and maxima: rows the failed step may already have counted change nothing.
        if (MorboTrustRegion* morbo = opt.trust_region.morbo()) {
            morbo->update_ranges_incremental(y);
        } else {
            TurboTrustRegion& region = opt.trust_region.head();
            for (std::size_t i = 0; i < y.rows; ++i) {
                const double v = y(i, 0);
                if (v < region.y_min) region.y_min = v;
                if (v > region.y_max) region.y_max = v;
            }
        }
        opt.trust_region.head().prev_num_obs = count;
    } catch (...) {
        // The caller reports the failure of the tell itself.
    }
}

}  // namespace qelbo
