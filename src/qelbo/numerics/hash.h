#pragma once
// Standard normal values that are a pure function of (seed, data index, metric):
// no generator state, the same value on any thread and in any call.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qelbo {

// One SplitMix64 output step taken from state v.
inline std::uint64_t splitmix64_mix(std::uint64_t v) {
    std::uint64_t x = v + 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Cosine branch of Box-Muller over two hashed uniforms. Arithmetic wraps modulo
// 2^64, so negative seeds and indices are taken as their bit patterns.
inline double hash_normal(std::int64_t seed, std::int64_t index, std::int64_t metric) {
    const std::uint64_t h = (static_cast<std::uint64_t>(index) + static_cast<std::uint64_t>(seed) * 1000003ULL) * 1000003ULL +
                            static_cast<std::uint64_t>(metric);
    const double u1 = static_cast<double>(splitmix64_mix(h) >> 11) * 0x1p-53;
    const double u2 = static_cast<double>(splitmix64_mix(h ^ 0xd2b74407b1ce6e93ULL) >> 11) * 0x1p-53;
    // Keeps ln(c) finite; bounds |N| by about 7.43.
    double c = u1 < 1e-12 ? 1e-12 : u1;
    c = c > 0.999999999999 ? 0.999999999999 : c;
    return std::cos(u2 * 6.283185307179586) * std::sqrt(std::log(c) * -2.0);
}

// Distinct indices ascending (signed order), and per input position the place of
// its index in that list.
struct UniqueIndexInverse {
    std::vector<std::int64_t> unique;
    std::vector<std::size_t> inverse;
};
UniqueIndexInverse unique_index_inverse(std::span<const std::int64_t> indices);

// S x n x m values, row-major (seed, data index, metric): value [f, p, j] is
// hash_normal(function_seeds[f], data_indices[p], j). Throws HashError for
// num_metrics < 1 and std::bad_alloc when S * n * m does not fit in memory.
// Runs on the worker pool; the result does not depend on its size.
std::vector<double> normal_hash_batch_multi_seed_fast(std::span<const std::int64_t> function_seeds,
                                                      std::span<const std::int64_t> data_indices,
                                                      std::int64_t num_metrics);

}  // namespace qelbo
