#include "qelbo/model/neighbor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"
#include "qelbo/model/neighbor_dist.h"
#include "qelbo/model/tie_break.h"

namespace qelbo {

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

SearchResult search_with_exact_fallback(const Vantorix& model, const MatView& queries, std::size_t search_k,
                                        bool exclude_nearest) {
    const std::size_t n = model.num_obs();
    expect(search_k >= 1 && search_k <= n, "search_k within the stored rows");
    SearchResult r = model.backend_search(queries, static_cast<std::int64_t>(search_k), false);
    expect(r.indices.rows == queries.rows && r.indices.cols == search_k, "one answer of search_k per query");
    for (std::size_t i = 0; i < queries.rows; ++i) {
        const std::int64_t* idx = r.indices.row(i);
        const bool placed = std::all_of(idx, idx + search_k, [n](std::int64_t v) {
            return v >= 0 && static_cast<std::size_t>(v) < n;
        });
        if (placed) continue;
        const std::vector<double> q = query_row(queries, i);
        if (!std::all_of(q.begin(), q.end(), [](double v) { return std::isfinite(v); })) continue;
        const std::vector<PoolEntry> sel = select_from_full_scan(row_dist2s_for_query(model, q), search_k);
        for (std::size_t j = 0; j < search_k; ++j) {
            r.distances(i, j) = sel[j].dist2;
            r.indices(i, j) = sel[j].row;
        }
    }
    return apply_exclude_nearest(std::move(r), exclude_nearest);
}

Array2 dist2s_for_neighbor_indices(const Vantorix& model, const MatView& queries, const IndexArray2& indices) {
    const std::size_t d = model.num_dim();
    const double* scale = model.scale_x() ? model.x_scale().data() : nullptr;
    Array2 out(indices.rows, indices.cols, 0.0);
    const InMemoryQelBackend* mem = model.backend().in_memory();
    std::map<std::int64_t, std::vector<double>> fetched;
    if (!mem) {
        // Each distinct row is fetched once, in ascending order, through one gather.
        std::vector<std::size_t> rows;
        for (std::int64_t idx : indices.data)
            if (idx >= 0) rows.push_back(static_cast<std::size_t>(idx));
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        TrainRows tr;
        try {
            tr = model.backend().train_rows_at(rows);
        } catch (const CoreError&) {
            throw Panic("train_rows_at for neighbors");
        }
        for (std::size_t r = 0; r < rows.size(); ++r)
            fetched.emplace(static_cast<std::int64_t>(rows[r]), std::vector<double>(tr.x.row(r), tr.x.row(r) + d));
    }
    const std::size_t n = model.num_obs();
    for (std::size_t i = 0; i < indices.rows; ++i) {
        const std::vector<double> q = query_row(queries, i);
        for (std::size_t j = 0; j < indices.cols; ++j) {
            const std::int64_t idx = indices(i, j);
            if (idx < 0) {
                out(i, j) = std::numeric_limits<double>::infinity();
                continue;
            }
            const double* row;
            if (mem) {
                expect(static_cast<std::size_t>(idx) < n, "neighbor row");
                row = mem->x().row(static_cast<std::size_t>(idx));
            } else {
                auto it = fetched.find(idx);
                expect(it != fetched.end(), "neighbor row");
                row = it->second.data();
            }
            out(i, j) = exact_dist2(q.data(), row, d, scale);
        }
    }
    return out;
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
    SearchResult r = index_search(model, queries, search_k, exclude_nearest, tie_break);
    const std::int64_t num = std::min(search_k - (exclude_nearest ? 1 : 0), k64);
    if (num <= 0) return std::nullopt;

    NeighborData nd;
    nd.num_neighbors = static_cast<std::size_t>(num);
    nd.neighbor_dist2 = r.distances.first_cols(nd.num_neighbors);
    nd.neighbor_indices = r.indices.first_cols(nd.num_neighbors);
    const std::size_t nq = queries.rows;
    const std::size_t m = model.num_metrics();
    nd.neighbor_y = Array2(checked_mul(nq, nd.num_neighbors), m, 0.0);
    const InMemoryQelBackend* mem = model.backend().in_memory();
    for (std::size_t i = 0; i < nq; ++i) {
        for (std::size_t j = 0; j < nd.num_neighbors; ++j) {
            const std::int64_t idx = nd.neighbor_indices(i, j);
            expect(idx >= 0 && static_cast<std::size_t>(idx) < n, "row_y");
            double* dst = nd.neighbor_y.row(i * nd.num_neighbors + j);
            if (mem) {
                if (m != 0) std::memcpy(dst, mem->y().row(static_cast<std::size_t>(idx)), m * sizeof(double));
            } else {
                std::vector<double> y;
                try {
                    y = model.backend().row_y(static_cast<std::size_t>(idx));
                } catch (const CoreError&) {
                    throw Panic("row_y");
                }
                std::copy_n(y.data(), m, dst);
            }
        }
    }
    return nd;
}

}  // namespace qelbo
