#pragma once
// One read view of a model's stored rows for the length of one call, and the reads made
// through it: the neighbours' rows of a block of queries, and full scans. In memory the
// rows are read where they are kept; on disk the store's read lock is held while the view
// lives, so the mapped files cannot be remapped under it and pool tasks read them in place.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/backend.h"
#include "qelbo/model/disk_backend.h"

namespace qelbo {

class StoredRows {
public:
    // Throws QELError when a disk store cannot be read (its lock is poisoned).
    explicit StoredRows(const QelBackend& backend);

    // Rows readable through the view: every row file holds at least this many.
    std::size_t n() const { return n_; }
    std::size_t num_dim() const { return d_; }
    std::size_t num_metrics() const { return m_; }
    bool has_yvar() const { return yvar_ != nullptr; }
    // Row i < n(); yvar only when has_yvar().
    const double* x(std::size_t i) const { return x_ + i * d_; }
    const double* y(std::size_t i) const { return y_ + i * m_; }
    const double* yvar(std::size_t i) const { return yvar_ + i * m_; }
    // The x or y rows as one array.
    MatView x_view() const { return MatView::row_major(x_, n_, d_); }
    MatView y_view() const { return MatView::row_major(y_, n_, m_); }

private:
    std::optional<DiskBackendHandle::Reader> reader_;
    const double* x_ = nullptr;
    const double* y_ = nullptr;
    const double* yvar_ = nullptr;
    std::size_t n_ = 0;
    std::size_t d_ = 0;
    std::size_t m_ = 0;
};

// Where read_neighbor_rows writes; a null target is not filled.
struct NeighborRowsOut {
    Array2* dist2 = nullptr;  // nq x k: exact squared distance in the index's space, +inf for a negative id
    Array2* y = nullptr;      // (nq * k) x m, query-major
    Array2* yvar = nullptr;   // (nq * k) x m; only when the view has variances
};

// For every query i and neighbour id indices(i, t): the exact distance and the y and
// variance rows of that stored row, filled on the worker pool in blocks of queries (each
// query writes only its own rows, so the result does not depend on the pool size). An
// id at or beyond the view's rows, or a negative one where rows are read, is a broken
// expectation. `scale` divides every coordinate when given.
void read_neighbor_rows(const StoredRows& rows, const MatView& queries, const IndexArray2& indices,
                        const double* scale, const NeighborRowsOut& out);

// Squared distances from one contiguous query row to every row of the view, in row order.
std::vector<double> row_dist2s_for_query(const StoredRows& rows, std::span<const double> query, const double* scale);

}  // namespace qelbo
