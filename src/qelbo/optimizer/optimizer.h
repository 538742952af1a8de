#pragma once
// The ask/tell optimizer: configuration, trust region, incumbent tracker,
// Sobol engine, optional surrogate and the told rows when there is none.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "qelbo/optimizer/config.h"
#include "qelbo/optimizer/incumbent_tracker.h"
#include "qelbo/core/array.h"
#include "qelbo/numerics/sobol_engine.h"
#include "qelbo/optimizer/strategy.h"
#include "qelbo/fit/surrogate.h"
#include "qelbo/optimizer/trust_region.h"

namespace qelbo {

class StdRng;

struct Optimizer {
    // Capacity that makes the tracker keep every row (no surrogate).
    static constexpr std::size_t kKeepAllCapacity = 1'000'000'001;

    OptimizerConfig config;
    std::optional<std::size_t> incumbent_index;
    TrustRegionState trust_region;
    // Told rows, row-major, kept only without a surrogate.
    std::vector<double> own_x;
    std::vector<double> own_y;
    std::size_t own_rows = 0;
    std::size_t own_y_cols = 0;
    IncrementalIncumbentTracker tracker;
    SobolEngine sobol;
    std::vector<double> sobol_shift;
    StrategyState strategy;
    Array2 bounds;
    std::size_t num_dim = 0;
    std::unique_ptr<Surrogate> surrogate;
    std::optional<std::vector<double>> incumbent_x;
    std::optional<std::vector<double>> incumbent_y;
    std::size_t restart_count = 0;
    Telemetry telemetry;

    // Checks the bounds (d x 2), builds the region, the surrogate, the tracker
    // and the Sobol engine with its shift. Draws from rng. Throws QELError.
    static Optimizer new_with_strategy(Array2 bounds, OptimizerConfig config, StrategyState strategy, StdRng& rng);

    Optimizer(Optimizer&&) noexcept = default;
    Optimizer& operator=(Optimizer&&) noexcept = default;

    // The next batch: the initial design or a trust-region proposal, from a fresh
    // generator seeded with seed. Records dt_gen; schedules the background flush.
    Array2 ask(std::size_t num_arms, std::uint64_t seed);
    // Takes an evaluated batch. Input that does not fit is refused before anything
    // changes; records dt_tell and advances the initial-design counter.
    void tell(MatView x, MatView y, std::uint64_t seed);

    // Metric columns every told y must have.
    std::size_t metric_count() const;
    // Throws QELError when x or y cannot be told to this optimizer.
    void validate_tell(MatView x, MatView y) const;

    // Rows told so far (the surrogate's count; absent counts as 0).
    std::size_t observation_count() const;
    std::vector<double> obs_row_x(std::size_t i) const;
    std::vector<double> obs_row_y(std::size_t i) const;
    // All told rows; absent when there are none. Surrogate errors propagate.
    std::optional<Array2> x_obs() const;
    std::optional<Array2> y_obs() const;
    std::size_t tr_obs_count() const;
    double tr_length() const { return trust_region.head().length; }

private:
    Optimizer(OptimizerConfig config, TrustRegionState region, IncrementalIncumbentTracker tracker,
              SobolEngine sobol, StrategyState strategy, Array2 bounds)
        : config(std::move(config)),
          trust_region(std::move(region)),
          tracker(std::move(tracker)),
          sobol(std::move(sobol)),
          strategy(strategy),
          bounds(std::move(bounds)) {}
};

// The first n of the given rows stacked into an n x width array.
Array2 build_obs_array2(const std::vector<double>& rows, std::size_t width, std::size_t n);

}  // namespace qelbo
