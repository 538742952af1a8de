#include "qelbo/optimizer/optimizer.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>

#include "qelbo/core/format.h"
#include "qelbo/optimizer/morbo_trust_region.h"
#include "base/std_rng.h"

namespace qelbo {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;
    return s < a ? ~std::uint64_t{0} : s;
}

TrustRegionState build_region(const TrustRegionConfig& config, std::size_t d, StdRng& rng) {
    if (const auto* turbo = std::get_if<TurboConfig>(&config)) {
        return TrustRegionState(TurboTrustRegion::make(d, turbo->length_init, turbo->length_min, turbo->length_max));
    }
    const MorboConfig& m = std::get<MorboConfig>(config);
    if (m.num_metrics < 2) {
        throw as_qel_error(TrustRegionError::invalid_parameter("num_metrics must be >= 2 for MORBO, got " +
                                                               std::to_string(m.num_metrics)));
    }
    // Weights plus one tracker list per metric.
    ensure_fits_in_memory(m.num_metrics, 4, "MORBO metrics");
    auto region = std::make_unique<MorboTrustRegion>(MorboTrustRegion::make(d, m));
    region->resample_weights(rng);
    return TrustRegionState(std::move(region));
}

}  // namespace

Optimizer Optimizer::new_with_strategy(Array2 bounds, OptimizerConfig config, StrategyState strategy, StdRng& rng) {
    const std::size_t d = bounds.rows;
    if (bounds.cols != 2) throw QELError::invalid_shape({d, 2}, {d, bounds.cols});

    // One value is drawn before anything else; later draws follow it in the stream.
    (void)rng.next_u64();

    TrustRegionState region = build_region(config.trust_region, d, rng);

    std::unique_ptr<Surrogate> surrogate;
    if (config.surrogate) {
        // Refused now rather than at the first tell, after the caller has paid for a batch.
        if (config.surrogate->qel_storage == StorageMode::Disk)
            Vantorix::check_disk_storage(config.surrogate->index_driver, config.surrogate->work_dir, 1);
        surrogate = make_qel_surrogate(*config.surrogate);
    }

    const std::size_t capacity =
        surrogate ? static_cast<std::size_t>(std::max<std::int32_t>(config.surrogate->k, 1)) : kKeepAllCapacity;
    const std::size_t metrics = region.is_morbo() ? region.morbo()->num_metrics : 1;
    const bool noise_aware = config.noise_aware || (region.is_morbo() && region.morbo()->noise_aware);
    IncrementalIncumbentTracker tracker(capacity, metrics, noise_aware);

    SobolEngine sobol(d);
    std::vector<double> shift(d);
    for (double& s : shift) s = rng.gen_f64();

    Optimizer opt(std::move(config), std::move(region), std::move(tracker), std::move(sobol), strategy,
                  std::move(bounds));
    opt.sobol_shift = std::move(shift);
    opt.num_dim = d;
    opt.surrogate = std::move(surrogate);
    opt.own_y_cols = metrics;
    return opt;
}

std::size_t Optimizer::metric_count() const {
    return trust_region.is_morbo() ? trust_region.morbo()->num_metrics : 1;
}

void Optimizer::validate_tell(MatView x, MatView y) const {
    if (x.rows != y.rows) throw QELError::invalid_shape({x.rows, y.cols}, {y.rows, y.cols});
    if (x.rows == 0) throw QELError::invalid_parameter("observation delta requires appended rows");
    if (x.cols != num_dim) throw QELError::invalid_shape({x.rows, num_dim}, {x.rows, x.cols});
    const std::size_t m = metric_count();
    if (y.cols != m) {
        if (!trust_region.is_morbo()) {
            throw QELError::invalid_parameter("Turbo TR expects 1 objective column, got " + std::to_string(y.cols));
        }
        throw QELError::invalid_parameter("y has " + std::to_string(y.cols) +
                                          " metric columns but the trust region expects " + std::to_string(m));
    }
    for (std::size_t i = 0; i < x.rows; ++i) {
        for (std::size_t j = 0; j < x.cols; ++j) {
            const double v = x(i, j);
            if (!(v >= 0.0 && v <= 1.0)) {
                throw QELError::invalid_parameter("x must be finite and within [0, 1], got " + format_f64(v) +
                                                  " at row " + std::to_string(i) + ", column " + std::to_string(j));
            }
        }
    }
    // The surrogate's fitter refuses non-finite y only after the model took the rows.
    if (surrogate) {
        for (std::size_t i = 0; i < y.rows; ++i) {
            for (std::size_t j = 0; j < y.cols; ++j) {
                if (!std::isfinite(y(i, j))) throw QELError::invalid_parameter("y must contain only finite values");
            }
        }
        // The first tell opens the disk store, which may have changed since creation; what
        // it would refuse is refused before any of the batch is recorded.
        if (config.surrogate && config.surrogate->qel_storage == StorageMode::Disk && !surrogate->observation_count())
            Vantorix::check_disk_storage(config.surrogate->index_driver, config.surrogate->work_dir, x.rows);
    }
}

Array2 Optimizer::ask(std::size_t num_arms, std::uint64_t seed) {
    StdRng rng = StdRng::seed_from_u64(seed);
    const auto start = Clock::now();
    Array2 out;
    try {
        if (strategy.in_design_phase()) {
            ensure_fits_in_memory(num_arms, std::max<std::size_t>(num_dim, 1), "initial-design points");
            out = ask_init(strategy.init_design, num_dim, num_arms, rng);
        } else {
            out = ask_turbo(*this, num_arms, telemetry, rng);
        }
    } catch (...) {
        telemetry.dt_gen = seconds_since(start);
        throw;
    }
    telemetry.dt_gen = seconds_since(start);
    if (surrogate) surrogate->schedule_background_flush();
    return out;
}

void Optimizer::tell(MatView x, MatView y, std::uint64_t seed) {
    validate_tell(x, y);
    StdRng rng = StdRng::seed_from_u64(seed);
    const auto start = Clock::now();
    if (surrogate) surrogate->wait_for_background_flush();

    const std::uint64_t r = x.rows;
    const bool common = strategy.in_design_phase();
    const std::size_t count_before = observation_count();
    try {
        if (common) {
            tell_common(*this, x, y, nullptr, rng);
        } else {
            tell_turbo(*this, x, y, telemetry, rng);
        }
    } catch (...) {
        // The design counter counts told rows even when the step failed; in_init stays.
        if (common) strategy.told = saturating_add(strategy.told, r);
        if (!common) adopt_rows_of_failed_tell(*this, y, count_before);
        telemetry.dt_tell = seconds_since(start);
        throw;
    }
    if (common) {
        strategy.told = saturating_add(strategy.told, r);
        if (strategy.phase == StrategyPhase::InitThenTrustRegion) strategy.in_init = strategy.told < strategy.num_init;
    }
    telemetry.dt_tell = seconds_since(start);
    if (r <= 63 && surrogate) surrogate->schedule_background_flush();
}

std::size_t Optimizer::observation_count() const {
    if (surrogate) return surrogate->observation_count().value_or(0);
    return own_rows;
}

std::vector<double> Optimizer::obs_row_x(std::size_t i) const {
    if (surrogate) return surrogate->observation_row_x(i);
    if (i >= own_rows) throw QELError::invalid_parameter("observation index " + std::to_string(i) + " out of range");
    const auto first = own_x.begin() + static_cast<std::ptrdiff_t>(i * num_dim);
    return {first, first + static_cast<std::ptrdiff_t>(num_dim)};
}

std::vector<double> Optimizer::obs_row_y(std::size_t i) const {
    if (surrogate) return surrogate->observation_row_y(i);
    if (i >= own_rows) throw QELError::invalid_parameter("observation index " + std::to_string(i) + " out of range");
    const auto first = own_y.begin() + static_cast<std::ptrdiff_t>(i * own_y_cols);
    return {first, first + static_cast<std::ptrdiff_t>(own_y_cols)};
}

std::optional<Array2> Optimizer::x_obs() const {
    if (surrogate) return surrogate->observations_x();
    if (own_rows == 0) return std::nullopt;
    return build_obs_array2(own_x, num_dim, own_rows);
}

std::optional<Array2> Optimizer::y_obs() const {
    if (surrogate) return surrogate->observations_y();
    if (own_rows == 0) return std::nullopt;
    return build_obs_array2(own_y, own_y_cols, own_rows);
}

std::size_t Optimizer::tr_obs_count() const {
    if (surrogate) {
        const auto y = surrogate->observations_y();
        return y ? y->rows : 0;
    }
    return own_rows;
}

Array2 build_obs_array2(const std::vector<double>& rows, std::size_t width, std::size_t n) {
    expect(rows.size() >= checked_size(n, width), "stacked rows are stored");
    return Array2(n, width, std::vector<double>(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(n * width)));
}

}  // namespace qelbo
