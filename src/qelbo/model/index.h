#pragma once
// The in-memory exact neighbour index: FAISS vectors are the stored x rows in row order
// (divided by x_scale when the model scales x), so a FAISS label is a row index.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/knn.h"

namespace qelbo {

// Answer of a neighbour search: one row per query, nearest first.
struct SearchResult {
    Array2 distances;     // squared distances
    IndexArray2 indices;  // stored row indices
};

class QELIndex {
public:
    QELIndex(FaissBackend knn, std::vector<double> x_scale, bool scale_x);

    std::size_t dim() const { return dim_; }
    bool scale_x() const { return scale_x_; }
    bool search_is_final() const { return false; }
    const KnnBackend& knn() const { return knn_; }

    std::vector<double> x_scale() const {
        std::lock_guard lock(x_scale_mutex_);
        return x_scale_;
    }

    // Replaces the index by one holding `scaled` and records `x_scale`. On failure
    // (IndexSearchError) the old index and scale stay.
    void rebuild_from_scaled(const MatView& scaled, std::vector<double> x_scale) const;
    // Appends `rows` after the indexed ones. Throws IndexSearchError.
    void append_rows(const MatView& rows) const;

private:
    mutable std::mutex x_scale_mutex_;
    mutable std::vector<double> x_scale_;
    KnnBackend knn_;
    std::size_t dim_;
    bool scale_x_;
};

}  // namespace qelbo
