#pragma once
// The optimizer's settings record, the three built-in variants and the
// caller's overrides.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "qelbo/fit/surrogate.h"

namespace qelbo {

enum class CandidateRv : std::uint8_t { Sobol = 0, Uniform = 1, Raasp = 2 };

struct Acquisition {
    enum class Kind : std::uint8_t { Ucb = 0, Thompson = 1, Random = 2, Pareto = 3 };
    Kind kind = Kind::Random;
    double beta = 0.0;  // Ucb only

    static Acquisition ucb(double beta) { return {Kind::Ucb, beta}; }
    static Acquisition thompson() { return {Kind::Thompson, 0.0}; }
    static Acquisition random() { return {Kind::Random, 0.0}; }
    static Acquisition pareto() { return {Kind::Pareto, 0.0}; }
    bool operator==(const Acquisition&) const = default;
};

// When a MORBO region draws new scalarisation weights.
enum class RescalarizePolicy : std::uint8_t { OnRestart = 0, OnPropose = 1 };

inline constexpr double kDefaultLengthInit = 0.8;
inline constexpr double kDefaultLengthMin = 0.0078125;  // 2^-7
inline constexpr double kDefaultLengthMax = 1.6;
inline constexpr double kDefaultMorboAlpha = 0.05;
inline constexpr std::size_t kDefaultMorboMetrics = 2;

struct TurboConfig {
    double length_init = kDefaultLengthInit;
    double length_min = kDefaultLengthMin;
    double length_max = kDefaultLengthMax;
    bool operator==(const TurboConfig&) const = default;
};

struct MorboConfig {
    std::size_t num_metrics = kDefaultMorboMetrics;
    double alpha = kDefaultMorboAlpha;
    double length_init = kDefaultLengthInit;
    double length_min = kDefaultLengthMin;
    double length_max = kDefaultLengthMax;
    RescalarizePolicy rescalarize = RescalarizePolicy::OnPropose;
    bool noise_aware = false;
    bool operator==(const MorboConfig&) const = default;
};

using TrustRegionConfig = std::variant<TurboConfig, MorboConfig>;

struct OptimizerConfig {
    std::optional<std::size_t> max_candidates;
    std::optional<std::size_t> num_candidates_per_arm;
    double num_candidates_factor = 1000.0;
    std::size_t min_candidates = 100;
    CandidateRv candidate_rv = CandidateRv::Uniform;
    Acquisition acquisition = Acquisition::random();
    std::optional<SurrogateConfig> surrogate;
    TrustRegionConfig trust_region = TurboConfig{};
    bool noise_aware = false;

    // "TuRBO-QEL": trust region scored by the neighbour surrogate with k neighbours.
    static OptimizerConfig turbo_qel(std::int32_t k);
    // "TuRBO-ZERO": the same trust region without a surrogate.
    static OptimizerConfig turbo_zero();
    // "LHD-only": Latin hypercube design only.
    static OptimizerConfig lhd_only();

    bool operator==(const OptimizerConfig&) const = default;
};

// Optional settings read from the caller's config_overrides dict.
struct ConfigOverrides {
    std::optional<double> num_candidates_factor;
    std::optional<std::size_t> min_candidates;
    std::optional<std::size_t> max_candidates;
    std::optional<std::size_t> num_candidates_per_arm;
    std::optional<double> length_init;
    std::optional<double> length_min;
    std::optional<double> length_max;
    std::optional<std::size_t> num_fit_samples;
    std::optional<std::size_t> num_fit_candidates;
    std::optional<std::size_t> num_metrics;
    std::optional<double> alpha;
    std::optional<Acquisition> acquisition;
    std::optional<std::string> work_dir;
    std::optional<std::string> trust_region;
    std::optional<std::string> rescalarize;
    std::optional<IndexDriver> index_driver;
    std::optional<bool> scale_x;
    std::optional<bool> noise_aware;
    std::optional<StorageMode> qel_storage;
    std::optional<CandidateRv> candidate_rv;

    // Refuses values that cannot describe a working optimizer (QELError naming the key).
    void validate() const;
    // The configuration with these overrides applied; never fails.
    OptimizerConfig apply_to(OptimizerConfig config) const;
};

// Refuses a configuration no run can work with: k < 1, zero fit counts, length_min
// above length_max (QELError naming the key).
void validate_config(const OptimizerConfig& config);

// The side lengths of either region kind.
struct RegionLengths {
    double length_init, length_min, length_max;
};
RegionLengths region_lengths(const TrustRegionConfig& config);

}  // namespace qelbo
