#pragma once
// QELSurrogate: the nearest-neighbour model behind the optimizer's Surrogate interface.
// The model is built on the first fit; the hyper-parameters are refitted after every
// appended batch with the previous ones as warm start.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qelbo/fit/fitter.h"
#include "qelbo/model/model.h"
#include "qelbo/core/params.h"
#include "qelbo/fit/surrogate.h"

namespace qelbo {

class QELSurrogate final : public Surrogate {
public:
    explicit QELSurrogate(const SurrogateConfig& config);

    void fit(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) override;
    void fit_append(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) override;
    SurrogatePrediction predict(MatView x) override;
    Array3 sample(MatView x, std::size_t num_samples, StdRng& rng) override;
    std::optional<std::vector<double>> lengthscales() const override { return std::nullopt; }
    std::optional<std::size_t> fitted_num_metrics() const override;
    std::optional<std::size_t> observation_count() const override;
    std::vector<double> observation_row_x(std::size_t i) const override;
    std::vector<double> observation_row_y(std::size_t i) const override;
    std::optional<Array2> observations_y() const override;
    std::optional<Array2> observations_x() const override;
    void schedule_background_flush() override;
    void wait_for_background_flush() override;
    void release_observation_pages() override;

    const std::optional<QELParams>& params() const { return params_; }
    const std::optional<QELFitter>& fitter() const { return fitter_; }
    const std::optional<Vantorix>& model() const { return model_; }

private:
    Vantorix construct_model(MatView x, MatView y, const std::optional<MatView>& yvar) const;
    void run_fitter(StdRng& g);
    // Index upkeep of the model's backend.
    void sync_index();
    void release_pages();
    const Vantorix& require_model() const;
    // (epistemic 1, aleatoric 0, k), used until the first fit.
    QELParams default_params() const;

    std::optional<QELParams> params_;
    std::optional<QELFitter> fitter_;
    std::optional<std::string> work_dir_;
    std::size_t num_fit_candidates_;
    std::size_t num_fit_samples_;
    std::int32_t k_;
    bool scale_x_;
    bool infer_aleatoric_variance_scale_;
    IndexDriver index_driver_;
    StorageMode qel_storage_;
    std::optional<Vantorix> model_;
};

}  // namespace qelbo
