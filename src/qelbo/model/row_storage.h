#pragma once
// Flat row-major store of f64 rows of one fixed width; only grows at its end.

#include <cstddef>
#include <span>
#include <vector>

#include "qelbo/core/array.h"

namespace qelbo {

class RowStorage {
public:
    explicit RowStorage(std::size_t dim) : nrows_(0), dim_(dim) {}

    // Takes the array over, keeping room for max(4096, rows) further rows.
    static RowStorage from_array2(Array2&& a);

    // Appends every row of `v` (any strides). Throws QELError::InvalidShape on a width mismatch.
    void push_rows(const MatView& v);

    std::size_t nrows() const { return nrows_; }
    std::size_t dim() const { return dim_; }
    // Row i; i must be below nrows().
    const double* row(std::size_t i) const { return data_.data() + i * dim_; }
    MatView view() const { return MatView::row_major(data_.data(), nrows_, dim_); }
    std::size_t capacity() const { return data_.capacity(); }

    // Copy of row i; an index at or beyond nrows() is a broken expectation.
    std::vector<double> row_vec(std::size_t i) const;
    // One row per index, in list order; every index must be below nrows().
    Array2 gather_rows(std::span<const std::size_t> indices) const;

private:
    std::vector<double> data_;
    std::size_t nrows_;
    std::size_t dim_;
};

}  // namespace qelbo
