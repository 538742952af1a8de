#include "qelbo/model/neighbor.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/worker_pool.h"
#include "qelbo/model/model.h"
#include "qelbo/model/neighbor_dist.h"
#include "qelbo/model/stored_rows.h"
#include "qelbo/model/tie_break.h"

namespace qelbo {

SearchResult search_with_exact_fallback(const Vantorix& model, const MatView& queries, std::size_t search_k,
                                        bool exclude_nearest) {
    const std::size_t n = model.num_obs();
    expect(search_k >= 1 && search_k <= n, "search_k within the stored rows");
    SearchResult r = model.backend_search(queries, static_cast<std::int64_t>(search_k), false);
    expect(r.indices.rows == queries.rows && r.indices.cols == search_k, "one answer of search_k per query");
    std::vector<std::size_t> unplaced;
    for (std::size_t i = 0; i < queries.rows; ++i) {
        const std::int64_t* idx = r.indices.row(i);
        const bool placed = std::all_of(idx, idx + search_k, [n](std::int64_t v) {
            return v >= 0 && static_cast<std::size_t>(v) < n;
        });
        if (!placed) unplaced.push_back(i);
    }
    if (!unplaced.empty()) {
        const StoredRows rows(model.backend());
        const double* scale = model.scale_x() ? model.x_scale().data() : nullptr;
        // Each scan reads every row, so one query is enough work for a task.
        parallel_for_ranges(unplaced.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t u = begin; u < end; ++u) {
                const std::size_t i = unplaced[u];
                const std::vector<double> q = query_row(queries, i);
                if (!std::all_of(q.begin(), q.end(), [](double v) { return std::isfinite(v); })) continue;
                const std::vector<PoolEntry> sel = select_from_full_scan(row_dist2s_for_query(rows, q, scale), search_k);
                for (std::size_t j = 0; j < search_k; ++j) {
                    r.distances(i, j) = sel[j].dist2;
                    r.indices(i, j) = sel[j].row;
                }
            }
        });
    }
    return apply_exclude_nearest(std::move(r), exclude_nearest);
}

std::optional<NeighborData> get_neighbor_data(const Vantorix& model, const MatView& queries, std::int32_t k,
                                              bool exclude_nearest, bool tie_break) {
    const std::size_t n = model.num_obs();
    const std::int64_t k64 = k;
    const std::int64_t n64 = static_cast<std::int64_t>(std::min<std::size_t>(n, INT64_MAX));
    std::int64_t search_k;
    if (exclude_nearest) {
        if (n < 2) {
            throw QELError::invalid_parameter("exclude_nearest=True requires at least 2 observations, got " +
                                              std::to_string(n));
        }
        search_k = std::min(k64 + 1, n64);
    } else {
        search_k = std::min(k64, n64);
    }
    if (search_k <= 0) return std::nullopt;
    const std::int64_t num = std::min(search_k - (exclude_nearest ? 1 : 0), k64);
    NeighborData nd = search_neighbors(model, queries, search_k, exclude_nearest, tie_break,
                                       static_cast<std::size_t>(std::max<std::int64_t>(num, 0)), true);
    if (num <= 0) return std::nullopt;
    expect(nd.num_neighbors == static_cast<std::size_t>(num), "num_neighbors columns per query");
    return nd;
}

}  // namespace qelbo
