#pragma once
// In-memory observation backend: row stores for x, y and optional yvar plus the exact index.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "qelbo/model/index.h"
#include "qelbo/model/row_storage.h"

namespace qelbo {

struct TrainRows {
    Array2 x;
    Array2 y;
    std::optional<Array2> yvar;
};

class InMemoryQelBackend {
public:
    // `knn` holds the first `indexed_rows` stored rows (divided by x_scale when scale_x).
    InMemoryQelBackend(RowStorage x, RowStorage y, std::optional<RowStorage> yvar, FaissBackend knn,
                       std::vector<double> x_scale, bool scale_x, std::size_t indexed_rows);

    std::size_t n() const { return x_.nrows(); }
    std::size_t num_dim() const { return x_.dim(); }
    std::size_t num_metrics() const { return y_.dim(); }
    const RowStorage& x() const { return x_; }
    const RowStorage& y() const { return y_; }
    const RowStorage* yvar() const { return yvar_ ? &*yvar_ : nullptr; }
    const QELIndex& index() const { return index_; }

    std::vector<double> row_x(std::size_t i) const;
    std::vector<double> row_y(std::size_t i) const;
    std::optional<std::vector<double>> row_yvar(std::size_t i) const;
    TrainRows train_rows_at(std::span<const std::size_t> indices) const;

    // Appends rows; widths were checked by the model. The index follows at the next sync.
    void push_rows(const MatView& x, const MatView& y, const std::optional<MatView>& yvar);

    void ensure_index_sync(bool scale_x, std::span<const double> x_scale) const;
    void mark_index_stale() const;
    SearchResult search(const MatView& queries, std::int64_t search_k, bool drop_first) const;
    // Vector count x dimension x 4, saturating.
    std::uint64_t index_memory_bytes() const;

private:
    RowStorage x_;
    RowStorage y_;
    std::optional<RowStorage> yvar_;
    QELIndex index_;
    mutable std::mutex stale_mutex_;
    mutable bool index_stale_ = false;
    mutable std::mutex synced_mutex_;
    mutable std::size_t index_synced_obs_;
};

}  // namespace qelbo
