#include "qelbo/core/params.h"

#include <cmath>

#include "qelbo/core/format.h"

namespace qelbo {

ParamsError ParamsError::invalid_k(std::int32_t k) {
    return {Kind::InvalidK, "k_num_neighbors must be > 0, got " + std::to_string(k)};
}
ParamsError ParamsError::invalid_epistemic(double value) {
    return {Kind::InvalidEpistemicScale, "epistemic_variance_scale must be >= 0 and finite, got " + format_f64(value)};
}
ParamsError ParamsError::invalid_aleatoric(double value) {
    return {Kind::InvalidAleatoricScale, "aleatoric_variance_scale must be >= 0 and finite, got " + format_f64(value)};
}

namespace {
bool valid_scale(double v) { return std::isfinite(v) && v >= 0.0; }
}  // namespace

QELParams QELParams::make(std::int32_t k, double epistemic, double aleatoric) {
    if (k < 1) throw ParamsError::invalid_k(k);
    if (!valid_scale(epistemic)) throw ParamsError::invalid_epistemic(epistemic);
    if (!valid_scale(aleatoric)) throw ParamsError::invalid_aleatoric(aleatoric);
    return QELParams{epistemic, aleatoric, k};
}

}  // namespace qelbo
