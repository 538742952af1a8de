#pragma once
// Plain row-major arrays and read-only strided views used across the core.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "qelbo/error.h"

namespace qelbo {

// a * b for element counts; a product that does not fit an isize-sized array is fatal.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (a != 0 && b > limit / a) {
        throw Panic("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }
    return a * b;
}

// Read-only view of a 2-D f64 array with element strides (NumPy views arrive with any layout).
struct MatView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    static MatView row_major(const double* data, std::size_t rows, std::size_t cols) {
        return {data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    bool is_row_major() const {
        return (col_stride == 1 || cols <= 1) && (row_stride == static_cast<std::ptrdiff_t>(cols) || rows <= 1);
    }
    // Row pointer; valid only when the columns are contiguous.
    const double* row(std::size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * row_stride; }
};

// Owned row-major 2-D array.
template <class T>
struct Mat {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<T> data;

    Mat() = default;
    Mat(std::size_t r, std::size_t c, T fill = T{}) : rows(r), cols(c), data(checked_mul(r, c), fill) {}

    T& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    const T& operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    T* row(std::size_t i) { return data.data() + i * cols; }
    const T* row(std::size_t i) const { return data.data() + i * cols; }
    Shape shape() const { return {rows, cols}; }

    // The first `c` columns (c <= cols) as a new array.
    Mat first_cols(std::size_t c) const {
        Mat out(rows, c);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < c; ++j) out(i, j) = (*this)(i, j);
        return out;
    }
};

using Array2 = Mat<double>;
using IndexArray2 = Mat<std::int64_t>;

inline MatView view_of(const Array2& a) { return MatView::row_major(a.data.data(), a.rows, a.cols); }

// Row-major copy of any view.
inline Array2 to_owned(MatView v) {
    Array2 out(v.rows, v.cols);
    for (std::size_t i = 0; i < v.rows; ++i)
        for (std::size_t j = 0; j < v.cols; ++j) out(i, j) = v(i, j);
    return out;
}

// Owned row-major 3-D array (record or seed, query, metric).
struct Array3 {
    std::size_t d0 = 0, d1 = 0, d2 = 0;
    std::vector<double> data;

    Array3() = default;
    Array3(std::size_t a, std::size_t b, std::size_t c, double fill = 0.0)
        : d0(a), d1(b), d2(c), data(checked_mul(checked_mul(a, b), c), fill) {}
    double& operator()(std::size_t i, std::size_t j, std::size_t k) { return data[(i * d1 + j) * d2 + k]; }
    double operator()(std::size_t i, std::size_t j, std::size_t k) const { return data[(i * d1 + j) * d2 + k]; }
};

}  // namespace qelbo
