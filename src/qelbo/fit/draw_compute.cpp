#include "qelbo/fit/draw_compute.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "qelbo/core/error.h"
#include "qelbo/numerics/hash.h"
#include "base/worker_pool.h"

namespace qelbo {
namespace {

// Queries per task when one seed's block is split across the pool.
constexpr std::size_t kQueriesPerTask = 512;
// Distinct rows per task when one seed's normal table is split across the pool.
constexpr std::size_t kRowsPerTask = 4096;

struct DrawPlan {
    std::size_t nq, k, m;
    const std::vector<std::int64_t>* unique;
    const std::vector<std::size_t>* inverse;
    const double* w;      // nq x k x m
    const double* mean;   // nq x m
    const double* scale;  // nq x m
};

void fill_normals(const DrawPlan& p, std::int64_t seed, double* z, std::size_t u0, std::size_t u1) {
    for (std::size_t t = u0; t < u1; ++t) {
        const std::int64_t row = (*p.unique)[t];
        for (std::size_t j = 0; j < p.m; ++j) z[t * p.m + j] = hash_normal(seed, row, static_cast<std::int64_t>(j));
    }
}

void combine(const DrawPlan& p, const double* z, double* out, std::size_t i0, std::size_t i1) {
    const std::size_t k = p.k, m = p.m;
    for (std::size_t i = i0; i < i1; ++i) {
        const std::size_t* inv = p.inverse->data() + i * k;
        const double* wi = p.w + i * k * m;
        for (std::size_t j = 0; j < m; ++j) {
            double acc = 0.0;
            for (std::size_t t = 0; t < k; ++t) acc += wi[t * m + j] * z[inv[t] * m + j];
            out[i * m + j] = p.mean[i * m + j] + acc * p.scale[i * m + j];
        }
    }
}

}  // namespace

Array3 draw_from_internals(std::size_t m, const DrawInternals& internals, std::span<const std::int64_t> function_seeds) {
    const std::size_t S = function_seeds.size();
    const std::size_t nq = internals.mean.rows;
    const std::size_t k = internals.w_normalized.d1;
    expect(internals.mean.cols == m && internals.total_std.rows == nq && internals.total_std.cols == m &&
               internals.l2.rows == nq && internals.l2.cols == m && internals.w_normalized.d0 == nq &&
               internals.w_normalized.d2 == m,
           "draw internals have matching shapes");
    Array3 draws(S, nq, m, 0.0);
    const std::size_t chunk = nq * m;
    if (chunk == 0 || S == 0) return draws;

    if (k == 0) {
        for (std::size_t f = 0; f < S; ++f)
            std::copy(internals.mean.data.begin(), internals.mean.data.end(), draws.data.begin() + f * chunk);
        return draws;
    }
    expect(internals.neighbor_indices.rows == nq && internals.neighbor_indices.cols == k,
           "one neighbour list of k rows per query");

    const UniqueIndexInverse ui = unique_index_inverse(internals.neighbor_indices.data);
    const std::size_t u = ui.unique.size();
    std::vector<double> scale(chunk);
    for (std::size_t c = 0; c < chunk; ++c)
        scale[c] = internals.total_std.data[c] / std::fmax(internals.l2.data[c], 1e-12);

    const DrawPlan plan{nq, k, m, &ui.unique, &ui.inverse, internals.w_normalized.data.data(),
                        internals.mean.data.data(), scale.data()};
    const std::size_t table = checked_mul(u, m);

    if (S >= worker_pool_size()) {
        // Enough seeds to keep every worker busy: one task per seed, each with its own table.
        parallel_for_chunks(S, [&](std::size_t f) {
            std::vector<double> z(table);
            fill_normals(plan, function_seeds[f], z.data(), 0, u);
            combine(plan, z.data(), draws.data.data() + f * chunk, 0, nq);
        });
        return draws;
    }
    // Few seeds: split each seed's table and its queries across the pool instead.
    std::vector<double> z(table);
    for (std::size_t f = 0; f < S; ++f) {
        const std::int64_t seed = function_seeds[f];
        parallel_for_ranges(u, kRowsPerTask, [&](std::size_t a, std::size_t b) { fill_normals(plan, seed, z.data(), a, b); });
        double* out = draws.data.data() + f * chunk;
        parallel_for_ranges(nq, kQueriesPerTask, [&](std::size_t a, std::size_t b) { combine(plan, z.data(), out, a, b); });
    }
    return draws;
}

}  // namespace qelbo
