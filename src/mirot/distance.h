#pragma once
// The index library's one distance: squared Euclidean in f32 with a fixed summation
// order. The order decides the last bits of the result, and those bits decide ties
// between candidates, so every build and search must go through this function.

#include <cstddef>
#include <span>

namespace mirot {

// Eight running sums over the first 8*floor(n/8) squares (sum j takes indices with
// remainder j), added left to right, then the remaining squares one at a time.
// Lists of unequal length are compared over their common prefix.
inline float l2_sq_f32(std::span<const float> a, std::span<const float> b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    const float* pa = a.data();
    const float* pb = b.data();
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t body = n - n % 8;
    for (std::size_t i = 0; i < body; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) {
            const float d = pa[i + j] - pb[i + j];
            s[j] += d * d;
        }
    }
    float total = s[0];
    for (std::size_t j = 1; j < 8; ++j) total += s[j];
    for (std::size_t i = body; i < n; ++i) {
        const float d = pa[i] - pb[i];
        total += d * d;
    }
    return total;
}

}  // namespace mirot
