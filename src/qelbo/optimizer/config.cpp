#include "qelbo/optimizer/config.h"

#include <cmath>

#include "qelbo/core/error.h"
#include "qelbo/core/format.h"

namespace qelbo {

OptimizerConfig OptimizerConfig::turbo_qel(std::int32_t k) {
    OptimizerConfig c;
    c.num_candidates_factor = 1000.0;
    c.min_candidates = 100;
    c.acquisition = Acquisition::ucb(2.0);
    SurrogateConfig s;
    s.k = k;
    c.surrogate = s;
    return c;
}

OptimizerConfig OptimizerConfig::turbo_zero() {
    OptimizerConfig c;
    c.num_candidates_factor = 1000.0;
    c.min_candidates = 100;
    c.acquisition = Acquisition::random();
    return c;
}

OptimizerConfig OptimizerConfig::lhd_only() {
    OptimizerConfig c;
    c.num_candidates_factor = 1.0;
    c.min_candidates = 1;
    c.acquisition = Acquisition::random();
    return c;
}

namespace {

void check_length(const char* key, const std::optional<double>& v) {
    if (v && !(std::isfinite(*v) && *v >= 0.0))
        throw QELError::invalid_parameter(std::string(key) + " must be finite and >= 0, got " + format_f64(*v));
}

void check_count(const char* key, const std::optional<std::size_t>& v) {
    if (v && *v == 0) throw QELError::invalid_parameter(std::string(key) + " must be > 0, got 0");
}

}  // namespace

void ConfigOverrides::validate() const {
    if (num_candidates_factor && !(std::isfinite(*num_candidates_factor) && *num_candidates_factor > 0.0))
        throw QELError::invalid_parameter("num_candidates_factor must be finite and > 0, got " +
                                          format_f64(*num_candidates_factor));
    check_count("min_candidates", min_candidates);
    check_count("max_candidates", max_candidates);
    check_count("num_candidates_per_arm", num_candidates_per_arm);
    check_length("length_init", length_init);
    check_length("length_min", length_min);
    check_length("length_max", length_max);
}

RegionLengths region_lengths(const TrustRegionConfig& config) {
    return std::visit([](const auto& c) { return RegionLengths{c.length_init, c.length_min, c.length_max}; }, config);
}

void validate_config(const OptimizerConfig& config) {
    if (config.surrogate) {
        if (config.surrogate->k < 1)
            throw QELError::invalid_parameter("k must be > 0, got " + std::to_string(config.surrogate->k));
        // A fit with no candidates or no sample rows fails on every tell, after the rows went in.
        if (config.surrogate->num_fit_samples == 0) throw QELError::invalid_parameter("num_fit_samples must be > 0, got 0");
        if (config.surrogate->num_fit_candidates == 0)
            throw QELError::invalid_parameter("num_fit_candidates must be > 0, got 0");
    }
    const RegionLengths l = region_lengths(config.trust_region);
    if (l.length_min > l.length_max)
        throw QELError::invalid_parameter("length_min must not exceed length_max, got " + format_f64(l.length_min) +
                                          " > " + format_f64(l.length_max));
}

OptimizerConfig ConfigOverrides::apply_to(OptimizerConfig config) const {
    if (acquisition) config.acquisition = *acquisition;
    if (candidate_rv) config.candidate_rv = *candidate_rv;
    if (num_candidates_factor) config.num_candidates_factor = *num_candidates_factor;
    if (min_candidates) config.min_candidates = *min_candidates;
    if (max_candidates) config.max_candidates = *max_candidates;
    if (num_candidates_per_arm) config.num_candidates_per_arm = *num_candidates_per_arm;

    if (trust_region) {
        // Only the exact word switches the region; any other text leaves it (and its lengths) alone.
        if (*trust_region == "morbo") {
            MorboConfig m;
            m.num_metrics = num_metrics.value_or(kDefaultMorboMetrics);
            m.alpha = alpha.value_or(kDefaultMorboAlpha);
            m.length_init = length_init.value_or(kDefaultLengthInit);
            m.length_min = length_min.value_or(kDefaultLengthMin);
            m.length_max = length_max.value_or(kDefaultLengthMax);
            m.rescalarize = (rescalarize && *rescalarize == "on_restart") ? RescalarizePolicy::OnRestart
                                                                           : RescalarizePolicy::OnPropose;
            m.noise_aware = noise_aware.value_or(false);
            config.trust_region = m;
        }
    } else {
        std::visit(
            [&](auto& region) {
                if (length_init) region.length_init = *length_init;
                if (length_min) region.length_min = *length_min;
                if (length_max) region.length_max = *length_max;
            },
            config.trust_region);
    }

    if (config.surrogate) {
        SurrogateConfig& s = *config.surrogate;
        if (work_dir) s.work_dir = *work_dir;
        if (num_fit_samples) s.num_fit_samples = *num_fit_samples;
        if (num_fit_candidates) s.num_fit_candidates = *num_fit_candidates;
        if (scale_x) s.scale_x = *scale_x;
        if (index_driver) s.index_driver = *index_driver;
        if (qel_storage) s.qel_storage = *qel_storage;
    }

    if (noise_aware) config.noise_aware = *noise_aware;
    return config;
}

}  // namespace qelbo
