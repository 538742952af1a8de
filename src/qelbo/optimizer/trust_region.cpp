#include "qelbo/optimizer/trust_region.h"

#include <algorithm>
#include <cmath>

#include "qelbo/optimizer/morbo_trust_region.h"

namespace qelbo {

namespace {

// f64 -> i32 as a saturating conversion: NaN gives 0, out-of-range values the nearest bound.
std::int32_t saturating_i32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

// Maximum that ignores a NaN on either side.
double max_ignoring_nan(double a, double b) { return std::fmax(a, b); }

}  // namespace

std::int32_t failure_tolerance_for(std::size_t n, std::size_t d) {
    const double nf = static_cast<double>(n);
    const double wanted = std::ceil(std::fmax(4.0 / nf, static_cast<double>(d) / nf));
    return std::max<std::int32_t>(1, saturating_i32(wanted));
}

TurboTrustRegion TurboTrustRegion::make(std::size_t num_dim, double length_init, double length_min,
                                        double length_max) {
    TurboTrustRegion r;
    r.num_dim = num_dim;
    r.length = length_init;
    r.length_init = length_init;
    r.length_min = length_min;
    r.length_max = length_max;
    return r;
}

void TurboTrustRegion::set_batch(std::size_t n) {
    batch = n;
    failure_tolerance = failure_tolerance_for(n, num_dim);
}

void TurboTrustRegion::count_and_resize(double value, double margin) {
    if (value > best_value + margin) {
        success_count += 1;
        failure_count = 0;
    } else {
        failure_count += 1;
        success_count = 0;
    }
    if (success_count >= success_tolerance) {
        length = std::fmin(2.0 * length, length_max);
        success_count = 0;
    } else if (failure_count >= failure_tolerance.value_or(4)) {
        length /= 2.0;
        failure_count = 0;
    }
    best_value = max_ignoring_nan(best_value, value);
}

void TurboTrustRegion::update_scalar_incumbent(std::size_t num_obs, double value) {
    if (num_obs == 0 || num_obs == prev_num_obs) return;
    if (num_obs < prev_num_obs) {
        throw TrustRegionError::invalid_state("num_obs went backwards: " + std::to_string(num_obs) + " < " +
                                              std::to_string(prev_num_obs));
    }
    if (std::isfinite(best_value)) {
        // No history of scalarised values is kept, so the spread term is at its floor.
        const double margin = prev_num_obs >= 2 ? 0.001 * 1e-6 : 0.0;
        count_and_resize(value, margin);
    } else if (!std::isnan(value)) {
        best_value = value;
    }
    prev_num_obs = num_obs;
}

void TurboTrustRegion::update_with_incumbent(double v, std::span<const double> told_column, std::size_t num_obs) {
    if (std::isfinite(best_value)) {
        const double margin = prev_num_obs >= 2 ? 0.001 * std::fmax(y_max - y_min, 1e-6) : 0.0;
        count_and_resize(v, margin);
    } else if (!std::isnan(v)) {
        best_value = v;
    }
    for (double y : told_column) {
        if (y < y_min) y_min = y;
        if (y > y_max) y_max = y;
    }
    prev_num_obs = num_obs;
}

void TurboTrustRegion::restart() {
    length = length_init;
    failure_count = 0;
    success_count = 0;
    best_value = -std::numeric_limits<double>::infinity();
    y_min = std::numeric_limits<double>::infinity();
    y_max = -std::numeric_limits<double>::infinity();
}

TrustRegionState::TrustRegionState(TurboTrustRegion turbo) : turbo_(turbo) {}
TrustRegionState::TrustRegionState(std::unique_ptr<MorboTrustRegion> morbo) : morbo_(std::move(morbo)) {
    expect(morbo_ != nullptr, "a MORBO region state holds its region");
}
TrustRegionState::TrustRegionState(TrustRegionState&&) noexcept = default;
TrustRegionState& TrustRegionState::operator=(TrustRegionState&&) noexcept = default;
TrustRegionState::~TrustRegionState() = default;

TurboTrustRegion& TrustRegionState::head() { return morbo_ ? morbo_->head : turbo_; }
const TurboTrustRegion& TrustRegionState::head() const { return morbo_ ? morbo_->head : turbo_; }

}  // namespace qelbo
