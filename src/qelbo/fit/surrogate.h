#pragma once
// The optimizer's only view of a surrogate model. Candidates and observations
// cross this interface in unit space; failures are thrown as QELError.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/model.h"

namespace qelbo {

class StdRng;

// Settings from which the optimizer builds its surrogate.
struct SurrogateConfig {
    std::optional<std::string> work_dir;
    std::size_t num_fit_candidates = 30;
    std::size_t num_fit_samples = 10;
    std::int32_t k = 10;
    bool scale_x = false;
    bool infer_aleatoric_variance_scale = true;
    IndexDriver index_driver = IndexDriver::Exact;
    StorageMode qel_storage = StorageMode::Memory;

    bool operator==(const SurrogateConfig&) const = default;
};

// Posterior mean and total standard deviation, queries x metrics each.
struct SurrogatePrediction {
    Array2 mu;
    Array2 se;
};

// Operations in dispatch-table order. The generator arguments are used only as
// byte sources (fill_bytes), so any seeded StdRng may be passed.
class Surrogate {
public:
    virtual ~Surrogate() = default;

    // Rebuilds model, fitter and parameters from these rows; unchanged on failure.
    virtual void fit(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) = 0;
    // First call builds the model, later calls append and refit.
    virtual void fit_append(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) = 0;
    virtual SurrogatePrediction predict(MatView x) = 0;
    // Function draws: num_samples x queries x metrics.
    virtual Array3 sample(MatView x, std::size_t num_samples, StdRng& rng) = 0;
    // Per-dimension length scales; absent means all dimensions weigh the same.
    virtual std::optional<std::vector<double>> lengthscales() const = 0;
    virtual std::optional<std::size_t> fitted_num_metrics() const = 0;
    virtual std::optional<std::size_t> observation_count() const = 0;
    virtual std::vector<double> observation_row_x(std::size_t i) const = 0;
    virtual std::vector<double> observation_row_y(std::size_t i) const = 0;
    // Absent without a model or without rows.
    virtual std::optional<Array2> observations_y() const = 0;
    virtual std::optional<Array2> observations_x() const = 0;
    virtual void schedule_background_flush() = 0;
    virtual void wait_for_background_flush() = 0;
    virtual void release_observation_pages() = 0;
};

// Builds the nearest-neighbour surrogate (no model until the first fit).
std::unique_ptr<Surrogate> make_qel_surrogate(const SurrogateConfig& config);

}  // namespace qelbo
