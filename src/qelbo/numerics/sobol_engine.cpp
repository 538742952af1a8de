#include "qelbo/numerics/sobol_engine.h"

#include <bit>
#include <string>

#include "qelbo/core/error.h"
#include "qelbo/numerics/sobol_table.h"

namespace qelbo {

static_assert(SobolEngine::kMaxDims == kSobolTableDims && SobolEngine::kBits == kSobolTableBits);

SobolEngine::SobolEngine(std::size_t dims) : dims_(dims) {
    if (dims == 0 || dims > kMaxDims) {
        throw QELError::invalid_parameter("Sobol dimension must be in 1..=21201, got " + std::to_string(dims));
    }
    sobol_table();
    state_.assign(dims, 0);
}

bool SobolEngine::next_into(double* out) {
    if (count_ >= kMaxPoints) return false;
    const std::uint64_t n = count_;
    if (n != 0) {
        // Gray-code order: point n differs from point n-1 in the direction of n's lowest set bit.
        const std::size_t c = static_cast<std::size_t>(std::countr_zero(n));
        const std::uint64_t* dir = sobol_table() + c * kSobolTableDims;
        for (std::size_t d = 0; d < dims_; ++d) state_[d] ^= dir[d];
    }
    // The low 11 bits are always zero, so the conversion is exact.
    for (std::size_t d = 0; d < dims_; ++d) out[d] = static_cast<double>(state_[d]) * 0x1p-64;
    ++count_;
    return true;
}

std::optional<std::vector<double>> SobolEngine::next() {
    if (count_ >= kMaxPoints) return std::nullopt;
    std::vector<double> point(dims_);
    next_into(point.data());
    return point;
}

std::vector<double> SobolEngine::next_point() {
    auto point = next();
    if (!point) throw QELError::invalid_parameter("Sobol sequence exhausted");
    return std::move(*point);
}

std::uint64_t sobol_direction_number(std::size_t dim, std::size_t bit) {
    expect(dim < kSobolTableDims && bit < kSobolTableBits, "sobol direction number out of range");
    return sobol_table()[bit * kSobolTableDims + dim];
}

}  // namespace qelbo
