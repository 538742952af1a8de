#include "qelbo/numerics/hash.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "qelbo/core/error.h"
#include "base/worker_pool.h"

namespace qelbo {

UniqueIndexInverse unique_index_inverse(std::span<const std::int64_t> indices) {
    UniqueIndexInverse out;
    const std::size_t n = indices.size();
    // Sorting (value, position) pairs gives both lists in one pass.
    std::vector<std::pair<std::int64_t, std::size_t>> order(n);
    for (std::size_t p = 0; p < n; ++p) order[p] = {indices[p], p};
    std::sort(order.begin(), order.end());
    out.inverse.resize(n);
    for (std::size_t r = 0; r < n; ++r) {
        if (r == 0 || order[r].first != order[r - 1].first) out.unique.push_back(order[r].first);
        out.inverse[order[r].second] = out.unique.size() - 1;
    }
    return out;
}

namespace {

// Output values per task when the work is split inside one seed.
constexpr std::size_t kValuesPerBlock = std::size_t{1} << 15;

}  // namespace

std::vector<double> normal_hash_batch_multi_seed_fast(std::span<const std::int64_t> function_seeds,
                                                      std::span<const std::int64_t> data_indices,
                                                      std::int64_t num_metrics) {
    if (num_metrics < 1) throw HashError::invalid_num_metrics(num_metrics);
    const std::size_t S = function_seeds.size();
    const std::size_t n = data_indices.size();
    const std::uint64_t m64 = static_cast<std::uint64_t>(num_metrics);
    std::size_t chunk = 0, total = 0;
    if (m64 > SIZE_MAX || __builtin_mul_overflow(static_cast<std::size_t>(m64), n, &chunk) ||
        __builtin_mul_overflow(chunk, S, &total) || total > PTRDIFF_MAX / sizeof(double)) {
        throw std::bad_alloc();
    }
    const std::size_t m = static_cast<std::size_t>(m64);
    std::vector<double> out(total, 0.0);
    if (total == 0) return out;

    // With fewer seeds than threads the work is split inside each seed and every
    // value is hashed directly; otherwise the per-seed table pays off only when
    // indices repeat.
    const bool few_seeds = S < worker_pool_size();
    UniqueIndexInverse ui;
    if (!few_seeds) ui = unique_index_inverse(data_indices);
    const std::size_t u = ui.unique.size();

    if (few_seeds || u == n) {
        // Blocks of positions, so every core has work even for a single seed.
        const std::size_t per_block = std::max<std::size_t>(1, kValuesPerBlock / m);
        const std::size_t blocks = n / per_block + (n % per_block != 0 ? 1 : 0);
        parallel_for_chunks(S * blocks, [&](std::size_t t) {
            const std::size_t f = t / blocks;
            const std::size_t p0 = (t % blocks) * per_block;
            const std::size_t p1 = std::min(n, p0 + per_block);
            const std::int64_t s = function_seeds[f];
            double* dst = out.data() + f * chunk;
            for (std::size_t p = p0; p < p1; ++p) {
                const std::int64_t idx = data_indices[p];
                for (std::size_t j = 0; j < m; ++j) dst[p * m + j] = hash_normal(s, idx, static_cast<std::int64_t>(j));
            }
        });
        return out;
    }

    // Many seeds and repeated indices: hash each distinct index once per seed.
    parallel_for_chunks(S, [&](std::size_t f) {
        const std::int64_t s = function_seeds[f];
        std::vector<double> z(u * m);
        for (std::size_t t = 0; t < u; ++t) {
            for (std::size_t j = 0; j < m; ++j) z[t * m + j] = hash_normal(s, ui.unique[t], static_cast<std::int64_t>(j));
        }
        double* dst = out.data() + f * chunk;
        for (std::size_t p = 0; p < n; ++p) {
            std::copy_n(z.data() + ui.inverse[p] * m, m, dst + p * m);
        }
    });
    return out;
}

}  // namespace qelbo
