#pragma once
#include <cstdint>
#include <string>

#include "qelbo/core/error.h"

namespace qelbo {

class ParamsError : public CoreError {
public:
    enum class Kind { InvalidK, InvalidEpistemicScale, InvalidAleatoricScale };
    static ParamsError invalid_k(std::int32_t k);
    static ParamsError invalid_epistemic(double value);
    static ParamsError invalid_aleatoric(double value);
    Kind kind() const { return kind_; }

private:
    ParamsError(Kind kind, const std::string& text) : CoreError(text), kind_(kind) {}
    Kind kind_;
};

// The model's hyper-parameter record. Values from outside the core go through make().
struct QELParams {
    double epistemic_variance_scale = 1.0;
    double aleatoric_variance_scale = 0.0;
    std::int32_t k_num_neighbors = 1;

    // Validates k, then the epistemic, then the aleatoric scale; throws the first ParamsError.
    static QELParams make(std::int32_t k, double epistemic, double aleatoric);
};

}  // namespace qelbo
