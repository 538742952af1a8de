#include "qelbo/model/index_search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/total_order.h"
#include "base/worker_pool.h"
#include "qelbo/model/model.h"
#include "qelbo/model/neighbor_dist.h"
#include "qelbo/model/stored_rows.h"
#include "qelbo/model/tie_break.h"

namespace qelbo {

namespace {

// Queries per task when the candidates of many queries are judged on the pool.
constexpr std::size_t kQueriesPerTask = 256;

bool all_finite(const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// Neighbours of one query from its candidate pool (row i of the backend's answer).
std::vector<PoolEntry> select_for_query(const StoredRows& rows, const double* scale, const std::vector<double>& query,
                                        const double* dist, const std::int64_t* idx, std::size_t width,
                                        std::size_t k_eff, bool tie_break) {
    const std::size_t n = rows.n();
    std::vector<PoolEntry> pool;
    pool.reserve(width);
    for (std::size_t j = 0; j < width; ++j) {
        if (idx[j] >= 0 && static_cast<std::size_t>(idx[j]) < n) pool.push_back({dist[j], idx[j]});
    }
    // The index answers a query with a non-finite coordinate (or any query it could not place)
    // with filler only; every stored row is then judged by its exact distance instead.
    if (pool.size() < k_eff || !all_finite(query)) {
        return select_from_full_scan(row_dist2s_for_query(rows, query, scale), k_eff);
    }
    std::stable_sort(pool.begin(), pool.end(), pool_less);
    if (!tie_break) {
        pool.resize(std::min(k_eff, pool.size()));
        return pool;
    }
    if (pool.size() > k_eff) {
        const bool tie_crosses_cutoff = total_order_key(pool[k_eff - 1].dist2) == total_order_key(pool[k_eff].dist2);
        // Sorted by (distance, row), so the first k_eff already prefer the smaller row at the cutoff.
        pool.resize(k_eff);
        if (tie_crosses_cutoff) return pool;
    }
    if (pool.size() == k_eff && k_eff >= 2 && count_below_cutoff(pool, k_eff) < k_eff - 1) {
        // Several kept rows sit at the cutoff: a tied row with a smaller index may lie outside the pool.
        const std::vector<double> scan = row_dist2s_for_query(rows, query, scale);
        if (faiss_pool_needs_full_row_scan_from_row(scan, k_eff)) return select_from_full_scan(scan, k_eff);
        resolve_pool_tie_break_at_cutoff(pool, k_eff);
    }
    return pool;
}

// The in-memory search: the exact index's candidates judged by their f64 distances.
SearchResult memory_search(const Vantorix& model, const StoredRows& rows, const double* scale,
                           const MatView& queries, std::int64_t k, bool exclude_nearest, bool tie_break) {
    const std::size_t n = model.num_obs();
    const std::size_t nq = queries.rows;
    const std::size_t ku = static_cast<std::size_t>(k);
    const std::size_t k_eff = std::min(n, ku);
    SearchResult res{Array2(nq, ku, std::numeric_limits<double>::infinity()), IndexArray2(nq, ku, -1)};
    if (k_eff == 0) return apply_exclude_nearest(std::move(res), exclude_nearest);

    // One extra candidate makes a tie across the cutoff visible. Never ask for more rows than
    // are stored: the search pads such answers with repeated rows.
    std::size_t request = (tie_break && n > ku) ? ku + 1 : ku;
    request = std::min(request, n);
    SearchResult cand = model.backend_search(queries, static_cast<std::int64_t>(request), false);
    if (tie_break) read_neighbor_rows(rows, queries, cand.indices, scale, {.dist2 = &cand.distances});

    // Each query writes only its own row; a query that falls back to a full scan is costly.
    parallel_for_ranges(nq, kQueriesPerTask, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::vector<double> q = query_row(queries, i);
            const std::vector<PoolEntry> sel = select_for_query(rows, scale, q, cand.distances.row(i),
                                                                cand.indices.row(i), cand.indices.cols, k_eff,
                                                                tie_break);
            for (std::size_t j = 0; j < sel.size(); ++j) {
                res.distances(i, j) = sel[j].dist2;
                res.indices(i, j) = sel[j].row;
            }
        }
    });
    return apply_exclude_nearest(std::move(res), exclude_nearest);
}

}  // namespace

SearchResult apply_exclude_nearest(SearchResult r, bool exclude_nearest) {
    if (!exclude_nearest) return r;
    const std::size_t nq = r.distances.rows;
    if (r.distances.cols < 2) return {Array2(nq, 0), IndexArray2(nq, 0)};
    const std::size_t w = r.distances.cols - 1;
    SearchResult out{Array2(nq, w), IndexArray2(nq, w)};
    for (std::size_t i = 0; i < nq; ++i) {
        std::copy_n(r.distances.row(i) + 1, w, out.distances.row(i));
        std::copy_n(r.indices.row(i) + 1, w, out.indices.row(i));
    }
    return out;
}

NeighborData search_neighbors(const Vantorix& model, const MatView& queries, std::int64_t k, bool exclude_nearest,
                              bool tie_break, std::size_t max_cols, bool with_rows) {
    if (k < 0) {
        throw QELError::invalid_parameter(
            IndexSearchError::invalid_parameter("search_k must be > 0, got " + std::to_string(k)).what());
    }
    check_x_values(queries);
    // A disk search's answer is the final list; only its distances are made exact below.
    const bool final_answer = model.backend().search_is_final();
    SearchResult found;
    if (final_answer) {
        found = model.backend_search(queries, k, exclude_nearest);
    } else {
        model.ensure_index_sync();
    }
    // Taken after the disk search, which holds the store's read lock itself.
    const StoredRows rows(model.backend());
    const double* scale = model.scale_x() ? model.x_scale().data() : nullptr;
    if (!final_answer) found = memory_search(model, rows, scale, queries, k, exclude_nearest, tie_break);

    NeighborData nd;
    const std::size_t cols = std::min(found.indices.cols, max_cols);
    nd.neighbor_indices = cols == found.indices.cols ? std::move(found.indices) : found.indices.first_cols(cols);
    nd.num_neighbors = cols;
    NeighborRowsOut out;
    if (final_answer) {
        out.dist2 = &nd.neighbor_dist2;
    } else {
        nd.neighbor_dist2 = cols == found.distances.cols ? std::move(found.distances) : found.distances.first_cols(cols);
    }
    if (with_rows) {
        out.y = &nd.neighbor_y;
        if (rows.has_yvar()) out.yvar = &nd.neighbor_yvar.emplace();
    }
    if (out.dist2 || out.y) read_neighbor_rows(rows, queries, nd.neighbor_indices, scale, out);
    return nd;
}

SearchResult index_search(const Vantorix& model, const MatView& queries, std::int64_t k, bool exclude_nearest,
                          bool tie_break) {
    NeighborData nd = search_neighbors(model, queries, k, exclude_nearest, tie_break,
                                       std::numeric_limits<std::size_t>::max(), false);
    return SearchResult{std::move(nd.neighbor_dist2), std::move(nd.neighbor_indices)};
}

}  // namespace qelbo
