#pragma once
// The single-objective trust region (also the head of the MORBO region), its
// error type and the optimizer's choice between the two region kinds.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "qelbo/core/error.h"

namespace qelbo {

class TrustRegionError : public CoreError {
public:
    enum class Kind { InvalidParameter, InvalidState };
    static TrustRegionError invalid_parameter(const std::string& message) {
        return {Kind::InvalidParameter, "Invalid parameter: " + message};
    }
    static TrustRegionError invalid_state(const std::string& message) {
        return {Kind::InvalidState, "Invalid state: " + message};
    }
    Kind kind() const { return kind_; }

private:
    TrustRegionError(Kind kind, const std::string& text) : CoreError(text), kind_(kind) {}
    Kind kind_;
};

// The optimizer never hands a TrustRegionError on as it is: its display text
// becomes the message of a QELError::InvalidParameter.
inline QELError as_qel_error(const TrustRegionError& e) { return QELError::invalid_parameter(e.what()); }

// Failures in a row that halve the length for a batch of n rows in d dimensions:
// max(1, ceil(max(4 / n, d / n))), saturated into 32 bits (n = 0 gives the maximum).
std::int32_t failure_tolerance_for(std::size_t n, std::size_t d);

struct TurboTrustRegion {
    std::optional<std::size_t> batch;
    std::optional<std::int32_t> failure_tolerance;
    double length = 0.0;
    double best_value = -std::numeric_limits<double>::infinity();
    std::size_t prev_num_obs = 0;
    std::size_t num_dim = 0;
    double length_init = 0.0;
    double length_min = 0.0;
    double length_max = 0.0;
    double y_min = std::numeric_limits<double>::infinity();
    double y_max = -std::numeric_limits<double>::infinity();
    std::int32_t failure_count = 0;
    std::int32_t success_count = 0;
    std::int32_t success_tolerance = 3;

    static TurboTrustRegion make(std::size_t num_dim, double length_init, double length_min, double length_max);

    // Ask and tell record the batch they handle.
    void set_batch(std::size_t n);

    // Counts value as a success (above best_value by more than margin) or a
    // failure, doubles or halves the length on a run of either, and keeps the
    // best value. A NaN value counts as a failure and never becomes the best.
    void count_and_resize(double value, double margin);

    // Scalar update of the MORBO region (and of the TuRBO rule with its own margin).
    void update_scalar_incumbent(std::size_t num_obs, double value);

    // The TuRBO tell rule: counts the incumbent value v against best_value with the
    // y-range margin, then widens the y range by the told column and moves
    // prev_num_obs to num_obs.
    void update_with_incumbent(double v, std::span<const double> told_column, std::size_t num_obs);

    bool needs_restart() const { return length < length_min; }
    // Back to length_init with fresh counters, best value and y range.
    void restart();
};

struct MorboTrustRegion;

// The optimizer's region: a TuRBO region held inline or an owned MORBO region.
class TrustRegionState {
public:
    explicit TrustRegionState(TurboTrustRegion turbo);
    explicit TrustRegionState(std::unique_ptr<MorboTrustRegion> morbo);
    TrustRegionState(TrustRegionState&&) noexcept;
    TrustRegionState& operator=(TrustRegionState&&) noexcept;
    ~TrustRegionState();

    bool is_morbo() const { return morbo_ != nullptr; }
    MorboTrustRegion* morbo() { return morbo_.get(); }
    const MorboTrustRegion* morbo() const { return morbo_.get(); }
    // The TuRBO region, or the head of the MORBO region.
    TurboTrustRegion& head();
    const TurboTrustRegion& head() const;

private:
    TurboTrustRegion turbo_;
    std::unique_ptr<MorboTrustRegion> morbo_;
};

}  // namespace qelbo
