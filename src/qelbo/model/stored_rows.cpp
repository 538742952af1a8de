#include "qelbo/model/stored_rows.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/worker_pool.h"
#include "qelbo/model/neighbor_dist.h"

namespace qelbo {

StoredRows::StoredRows(const QelBackend& backend) {
    if (const InMemoryQelBackend* mem = backend.in_memory()) {
        d_ = mem->num_dim();
        m_ = mem->num_metrics();
        n_ = std::min(mem->x().nrows(), mem->y().nrows());
        x_ = mem->x().row(0);
        y_ = mem->y().row(0);
        if (const RowStorage* v = mem->yvar(); v && n_ > 0) {
            n_ = std::min(n_, v->nrows());
            yvar_ = v->row(0);
        }
        return;
    }
    reader_.emplace((*backend.disk())->read());
    const mirot::MirotBackend& inner = (*reader_)->inner;
    d_ = static_cast<std::size_t>(inner.num_dim());
    m_ = static_cast<std::size_t>(inner.num_metrics());
    // A file that trails the others bounds what may be read.
    std::uint64_t n = std::min(inner.x_store().nrows(), inner.y_store().nrows());
    x_ = inner.x_store().data();
    y_ = inner.y_store().data();
    if (const mirot::MmapColumnStore* v = inner.yvar_store()) {
        n = std::min(n, v->nrows());
        yvar_ = v->data();
    }
    n_ = static_cast<std::size_t>(n);
}

namespace {

// Queries per pool task: enough neighbour rows per task to outweigh its scheduling.
constexpr std::size_t kQueriesPerTask = 64;

}  // namespace

void read_neighbor_rows(const StoredRows& rows, const MatView& queries, const IndexArray2& indices,
                        const double* scale, const NeighborRowsOut& out) {
    const std::size_t nq = indices.rows;
    const std::size_t k = indices.cols;
    const std::size_t d = rows.num_dim();
    const std::size_t m = rows.num_metrics();
    const std::size_t n = rows.n();
    if (out.dist2) {
        expect(queries.rows == nq && queries.cols == d, "one query row per neighbour list");
        *out.dist2 = Array2(nq, k);
    }
    if (out.y) *out.y = Array2(checked_mul(nq, k), m);
    if (out.yvar) {
        expect(rows.has_yvar(), "yvar");
        *out.yvar = Array2(checked_mul(nq, k), m);
    }
    const bool read_values = out.y || out.yvar;
    const std::size_t bytes = m * sizeof(double);
    parallel_for_ranges(nq, kQueriesPerTask, [&](std::size_t begin, std::size_t end) {
        std::vector<double> q(out.dist2 ? d : 0);
        for (std::size_t i = begin; i < end; ++i) {
            if (out.dist2)
                for (std::size_t j = 0; j < d; ++j) q[j] = queries(i, j);
            for (std::size_t t = 0; t < k; ++t) {
                const std::int64_t id = indices(i, t);
                expect(id < 0 || static_cast<std::size_t>(id) < n, "neighbor row");
                if (out.dist2) {
                    (*out.dist2)(i, t) = id < 0 ? std::numeric_limits<double>::infinity()
                                                : exact_dist2(q.data(), rows.x(static_cast<std::size_t>(id)), d, scale);
                }
                if (!read_values) continue;
                expect(id >= 0, "neighbor row");
                const std::size_t r = static_cast<std::size_t>(id);
                if (m == 0) continue;
                if (out.y) std::memcpy(out.y->row(i * k + t), rows.y(r), bytes);
                if (out.yvar) std::memcpy(out.yvar->row(i * k + t), rows.yvar(r), bytes);
            }
        }
    });
}

std::vector<double> row_dist2s_for_query(const StoredRows& rows, std::span<const double> query, const double* scale) {
    const std::size_t n = rows.n();
    const std::size_t d = rows.num_dim();
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = exact_dist2(query.data(), rows.x(i), d, scale);
    return out;
}

}  // namespace qelbo
