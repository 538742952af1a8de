#pragma once
// Two-dimensional f64 blocks as the index library takes and returns them: a
// read-only view with element strides (callers hand over NumPy-like layouts) and an
// owned row-major array.

#include <cstddef>
#include <vector>

namespace mirot {

struct BlockView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    // Element strides between consecutive rows and consecutive columns.
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    BlockView() = default;
    BlockView(const double* d, std::size_t r, std::size_t c)
        : data(d), rows(r), cols(c), row_stride(static_cast<std::ptrdiff_t>(c)), col_stride(1) {}
    BlockView(const double* d, std::size_t r, std::size_t c, std::ptrdiff_t rs, std::ptrdiff_t cs)
        : data(d), rows(r), cols(c), row_stride(rs), col_stride(cs) {}

    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    // Standard row-major contiguous layout (copyable as one block).
    bool is_row_major() const {
        return (col_stride == 1 || cols <= 1) && (row_stride == static_cast<std::ptrdiff_t>(cols) || rows <= 1);
    }
};

// Owned row-major array; row i is values[i * cols, (i + 1) * cols).
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;

    const double* row(std::size_t i) const { return values.data() + i * cols; }
    double operator()(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
    BlockView view() const { return {values.data(), rows, cols}; }
};

}  // namespace mirot
