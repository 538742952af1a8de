#include "qelbo/fit/qel_surrogate.h"

#include <array>
#include <numeric>
#include <string>

#include "qelbo/fit/draw.h"
#include "qelbo/core/error.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/posterior.h"
#include "qelbo/model/stored_rows.h"
#include "base/std_rng.h"

namespace qelbo {
namespace {

// First batches of at least this many rows go to a disk index without an immediate sync or fit.
constexpr std::size_t kDiskBulkRows = 4096;

QELError not_fitted() { return QELError::invalid_parameter("Surrogate not fitted"); }

// A fresh generator keyed by 32 bytes of the caller's, so the caller's stream
// advances by the same amount however much the fit draws.
StdRng keyed_generator(StdRng& source) {
    std::array<std::uint8_t, 32> key{};
    source.fill_bytes(key.data(), key.size());
    return StdRng::from_seed(key);
}

// The first n rows of `all` as one array; a view with fewer rows is refused as a row read would be.
Array2 leading_rows(const MatView& all, std::size_t n) {
    if (n > all.rows) {
        throw QELError::invalid_parameter("row " + std::to_string(all.rows) + " out of range [0, " +
                                          std::to_string(all.rows) + ")");
    }
    return Array2(n, all.cols, std::vector<double>(all.data, all.data + n * all.cols));
}

Array2 to_array2(NdArray&& a) {
    expect(a.shape.size() == 2, "posterior arrays have two axes");
    return Array2(a.shape[0], a.shape[1], std::move(a.data));
}

}  // namespace

QELSurrogate::QELSurrogate(const SurrogateConfig& config)
    : work_dir_(config.work_dir),
      num_fit_candidates_(config.num_fit_candidates),
      num_fit_samples_(config.num_fit_samples),
      k_(config.k),
      scale_x_(config.scale_x),
      infer_aleatoric_variance_scale_(config.infer_aleatoric_variance_scale),
      index_driver_(config.index_driver),
      qel_storage_(config.qel_storage) {}

std::unique_ptr<Surrogate> make_qel_surrogate(const SurrogateConfig& config) {
    return std::make_unique<QELSurrogate>(config);
}

Vantorix QELSurrogate::construct_model(MatView x, MatView y, const std::optional<MatView>& yvar) const {
    std::optional<Array2> yv;
    if (yvar) yv = to_owned(*yvar);
    return Vantorix::new_with_storage(to_owned(x), to_owned(y), std::move(yv), scale_x_, index_driver_, qel_storage_,
                                      work_dir_);
}

const Vantorix& QELSurrogate::require_model() const {
    if (!model_) throw not_fitted();
    return *model_;
}

void QELSurrogate::run_fitter(StdRng& g) {
    const Vantorix& model = require_model();
    if (!fitter_) {
        std::vector<std::size_t> all(model.num_obs());
        std::iota(all.begin(), all.end(), std::size_t{0});
        const TrainRows rows = model.backend().train_rows_at(all);
        QELFitter fitter(k_, infer_aleatoric_variance_scale_);
        std::optional<MatView> yvar;
        if (rows.yvar) yvar = view_of(*rows.yvar);
        fitter.tell(view_of(rows.x), view_of(rows.y), yvar);
        fitter.set_last_params(params_);
        fitter_ = std::move(fitter);
    }
    params_ = fitter_->ask(model, num_fit_candidates_, num_fit_samples_, params_, g);
}

void QELSurrogate::sync_index() {
    const Vantorix& model = require_model();
    model.ensure_index_sync();
}

void QELSurrogate::release_pages() {
    if (model_) model_->backend().release_observation_pages();
}

void QELSurrogate::fit(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) {
    StdRng g = keyed_generator(rng);
    Vantorix model = construct_model(x, y, yvar);
    QELFitter fitter(k_, infer_aleatoric_variance_scale_);
    fitter.tell(x, y, yvar);
    if (params_) fitter.set_last_params(params_);
    const QELParams chosen = fitter.ask(model, num_fit_candidates_, num_fit_samples_, params_, g);
    params_ = chosen;
    model_ = std::move(model);
    fitter_ = std::move(fitter);
}

void QELSurrogate::fit_append(MatView x, MatView y, std::optional<MatView> yvar, StdRng& rng) {
    StdRng g = keyed_generator(rng);
    const bool disk_driver = index_driver_ == IndexDriver::MiRotDisk;

    if (!model_) {
        QELFitter fitter(k_, infer_aleatoric_variance_scale_);
        fitter.tell(x, y, yvar);
        model_ = construct_model(x, y, yvar);
        fitter_ = std::move(fitter);
        if (disk_driver && x.rows >= kDiskBulkRows) return;  // the disk backend indexes a bulk load itself
        if (disk_driver) sync_index();
        run_fitter(g);
        if (disk_driver) release_pages();
        return;
    }

    // A batch the fitter would refuse is refused before the model grows, so a failed
    // append leaves model, fitter and parameters as they were.
    if (fitter_) fitter_->check_tell(x, y, yvar);
    model_->add(x, y, yvar);
    if (fitter_) fitter_->tell(x, y, yvar);

    if (!model_->backend().search_is_final()) {
        sync_index();
        run_fitter(g);
        release_pages();
        return;
    }
    if (x.rows >= kDiskBulkRows) {
        sync_index();
        release_pages();
        return;
    }
    if (params_) return;  // on disk new rows reach the index through the backend's own flushes
    sync_index();
    run_fitter(g);
    release_pages();
}

QELParams QELSurrogate::default_params() const {
    try {
        return QELParams::make(k_, 1.0, 0.0);
    } catch (const ParamsError& e) {
        throw QELError::invalid_parameter(std::string("Failed to create default params: ") + e.what());
    }
}

SurrogatePrediction QELSurrogate::predict(MatView x) {
    const Vantorix& model = require_model();
    const QELParams record = params_ ? *params_ : default_params();
    QELNormal post = posterior(model, x, record, PosteriorFlags{false, false, false});
    return SurrogatePrediction{to_array2(std::move(post.mean)), to_array2(std::move(post.total_std))};
}

Array3 QELSurrogate::sample(MatView x, std::size_t num_samples, StdRng& rng) {
    if (!model_) throw not_fitted();
    // A first disk batch large enough to skip fitting leaves no parameters; draws then use
    // the default record, as predictions do.
    if (!params_ && !model_->backend().is_disk()) throw not_fitted();
    const QELParams record = params_ ? *params_ : default_params();
    std::array<std::uint8_t, 8> bytes{};
    rng.fill_bytes(bytes.data(), bytes.size());
    std::uint64_t base = 0;
    for (std::size_t b = 0; b < 8; ++b) base |= static_cast<std::uint64_t>(bytes[b]) << (8 * b);
    std::vector<std::int64_t> seeds(num_samples);
    for (std::size_t i = 0; i < num_samples; ++i) seeds[i] = static_cast<std::int64_t>(base + i);
    FunctionDraws fd = posterior_function_draw(*model_, x, record, seeds, PosteriorFlags{false, false, false});
    return std::move(fd.draws);
}

std::optional<std::size_t> QELSurrogate::fitted_num_metrics() const {
    if (!model_) return std::nullopt;
    return model_->num_metrics();
}

std::optional<std::size_t> QELSurrogate::observation_count() const {
    if (!model_) return std::nullopt;
    return model_->num_obs();
}

std::vector<double> QELSurrogate::observation_row_x(std::size_t i) const { return require_model().backend().row_x(i); }

std::vector<double> QELSurrogate::observation_row_y(std::size_t i) const { return require_model().backend().row_y(i); }

std::optional<Array2> QELSurrogate::observations_y() const {
    if (!model_ || model_->num_obs() == 0) return std::nullopt;
    return leading_rows(StoredRows(model_->backend()).y_view(), model_->num_obs());
}

std::optional<Array2> QELSurrogate::observations_x() const {
    if (!model_ || model_->num_obs() == 0) return std::nullopt;
    return leading_rows(StoredRows(model_->backend()).x_view(), model_->num_obs());
}

void QELSurrogate::schedule_background_flush() {
    if (!model_) return;
    if (const QelBackend::Disk* disk = model_->backend().disk()) (*disk)->schedule_background_flush();
}

void QELSurrogate::wait_for_background_flush() {
    if (!model_) return;
    if (const QelBackend::Disk* disk = model_->backend().disk()) (*disk)->wait_for_flush();
}

void QELSurrogate::release_observation_pages() { release_pages(); }

}  // namespace qelbo
