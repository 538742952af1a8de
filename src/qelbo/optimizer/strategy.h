#pragma once
// The strategy record (which phase a run is in), the telemetry the steps
// record, and the trust-region steps: ask_turbo, tell_common, tell_turbo.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "qelbo/optimizer/candidates.h"
#include "qelbo/optimizer/config.h"
#include "qelbo/core/array.h"

namespace qelbo {

class StdRng;
struct Optimizer;

enum class StrategyPhase : std::uint8_t { InitOnly = 0, TrustRegionOnly = 1, InitThenTrustRegion = 2 };

struct StrategyState {
    StrategyPhase phase = StrategyPhase::InitThenTrustRegion;
    bool in_init = true;
    std::uint64_t num_init = 0;
    std::uint64_t told = 0;
    InitDesign init_design = InitDesign::LatinHypercube;

    static StrategyState init_then_trust_region(std::uint64_t num_init) {
        return {StrategyPhase::InitThenTrustRegion, true, num_init, 0, InitDesign::LatinHypercube};
    }
    static StrategyState init_only(std::uint64_t num_init) {
        return {StrategyPhase::InitOnly, true, num_init, 0, InitDesign::LatinHypercube};
    }

    // Whether the next ask draws the initial design (else the trust region).
    bool in_design_phase() const {
        return phase == StrategyPhase::InitOnly || (phase == StrategyPhase::InitThenTrustRegion && in_init);
    }
    // (told, num_init) while the initial design runs.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> init_progress() const {
        if (in_design_phase()) return std::make_pair(told, num_init);
        return std::nullopt;
    }
};

struct Telemetry {
    double dt_fit = 0.0;
    double dt_gen = 0.0;
    double dt_sel = 0.0;
    double dt_tell = 0.0;
    std::uint64_t num_candidates = 0;
};

using Clock = std::chrono::steady_clock;
// Whole seconds plus nanoseconds / 1e9 since start; 0.0 if the clock went backwards.
double seconds_since(Clock::time_point start);

// Candidates per trust-region ask from the configuration, d and the arms asked for.
// Throws QELError when the count does not fit in 64 bits.
std::size_t candidate_count(const OptimizerConfig& config, std::size_t d, std::size_t num_arms);

// Refuses arrays of rows x cols doubles that cannot fit in the machine's memory.
void ensure_fits_in_memory(std::size_t rows, std::size_t cols, const char* what);

// Rows of candidates at the given indices, in index order.
Array2 select_by_indices(const Array2& candidates, std::span<const std::size_t> indices);

// One batch of num_arms points from the trust region around the incumbent.
Array2 ask_turbo(Optimizer& opt, std::size_t num_arms, Telemetry& telemetry, StdRng& rng);

// Appends the rows, refits the surrogate and chooses the incumbent. dt_fit, when
// given, receives the seconds of the surrogate's fit.
void tell_common(Optimizer& opt, MatView x, MatView y, double* dt_fit, StdRng& rng);

// tell_common followed by the trust-region update and restart.
void tell_turbo(Optimizer& opt, MatView x, MatView y, Telemetry& telemetry, StdRng& rng);

// After a trust-region tell of y failed: rows that reached the surrogate anyway (the model
// only appends, so they cannot be taken back) are taken into the region's row count and
// ranges, so that the next tell and ask work. count_before is the row count before the tell.
void adopt_rows_of_failed_tell(Optimizer& opt, MatView y, std::size_t count_before) noexcept;

}  // namespace qelbo
