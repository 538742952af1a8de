#pragma once
// Unscrambled Sobol points over the Joe-Kuo direction numbers (21201
// dimensions), in Gray-code order, at 53-bit resolution.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qelbo {

class SobolEngine {
public:
    static constexpr std::size_t kMaxDims = 21201;
    static constexpr std::size_t kBits = 53;
    // Points available: 2^53 - 1.
    static constexpr std::uint64_t kMaxPoints = (std::uint64_t{1} << kBits) - 1;

    // Throws QELError::invalid_parameter("Sobol dimension must be in 1..=21201, got <dims>")
    // for dims 0 or above 21201. Builds the shared table on first use.
    explicit SobolEngine(std::size_t dims);
    static SobolEngine new_(std::size_t dims) { return SobolEngine(dims); }

    std::size_t dims() const { return dims_; }
    // Points drawn so far.
    std::uint64_t count() const { return count_; }

    // The next point (first one all zeros), or nullopt once 2^53 - 1 points were drawn.
    std::optional<std::vector<double>> next();
    // Same, written into out[0 .. dims); returns false when exhausted (out untouched).
    bool next_into(double* out);
    // Same as next(), but exhaustion throws QELError::invalid_parameter("Sobol sequence exhausted").
    std::vector<double> next_point();

private:
    std::size_t dims_;
    std::uint64_t count_ = 0;
    std::vector<std::uint64_t> state_;
};

// Direction number `bit` (0 .. 52) of dimension `dim` (0-based, < 21201), a
// left-aligned 64-bit word. Builds the shared table on first use (thread-safe).
std::uint64_t sobol_direction_number(std::size_t dim, std::size_t bit);

}  // namespace qelbo
