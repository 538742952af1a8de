#pragma once
// Plain row-major arrays and read-only strided views used across the core.
// Hot loops take contiguous row-major data; the bindings make a contiguous copy
// once when a NumPy argument is strided.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qelbo/core/error.h"

namespace qelbo {

// a * b for element counts. Counts often come from callers, so a product that does not fit
// an isize-sized array is an allocation that cannot succeed (std::length_error, as a vector
// asked for more than max_size), not a broken invariant.
inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (a != 0 && b > limit / a) {
        throw std::length_error("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }
    return a * b;
}

// rows * cols for sizes that come from outside: a product no f64 vector could hold
// is refused as an invalid parameter rather than treated as a broken invariant.
inline std::size_t checked_size(std::size_t rows, std::size_t cols) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
    if (cols != 0 && rows > limit / cols)
        throw QELError::invalid_parameter("array size overflows: " + std::to_string(rows) + " x " +
                                          std::to_string(cols));
    return rows * cols;
}

// Read-only view of a 2-D f64 array with element strides (NumPy views arrive with any layout).
struct MatView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    MatView() = default;
    // Row-major data; the three-value form can therefore never leave the strides unset.
    MatView(const double* d, std::size_t r, std::size_t c)
        : data(d), rows(r), cols(c), row_stride(static_cast<std::ptrdiff_t>(c)), col_stride(1) {}
    MatView(const double* d, std::size_t r, std::size_t c, std::ptrdiff_t rs, std::ptrdiff_t cs)
        : data(d), rows(r), cols(c), row_stride(rs), col_stride(cs) {}

    static MatView row_major(const double* data, std::size_t rows, std::size_t cols) { return {data, rows, cols}; }
    double operator()(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    bool is_row_major() const {
        return (col_stride == 1 || cols <= 1) && (row_stride == static_cast<std::ptrdiff_t>(cols) || rows <= 1);
    }
    std::size_t size() const { return rows * cols; }
    // Row pointer and row span; valid only when the columns are contiguous.
    const double* row(std::size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * row_stride; }
    std::span<const double> row_span(std::size_t i) const { return {row(i), cols}; }
};

// Owned row-major 2-D array.
template <class T>
struct Mat {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<T> data;

    Mat() = default;
    Mat(std::size_t r, std::size_t c, T fill = T{}) : rows(r), cols(c), data(checked_mul(r, c), fill) {}
    // Takes row-major values that must number r * c.
    Mat(std::size_t r, std::size_t c, std::vector<T> values) : rows(r), cols(c), data(std::move(values)) {
        expect(data.size() == checked_mul(r, c), "array data length matches its shape");
    }

    T& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
    const T& operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    T* row(std::size_t i) { return data.data() + i * cols; }
    const T* row(std::size_t i) const { return data.data() + i * cols; }
    std::span<T> row_span(std::size_t i) { return {row(i), cols}; }
    std::span<const T> row_span(std::size_t i) const { return {row(i), cols}; }
    std::size_t size() const { return data.size(); }
    Shape shape() const { return {rows, cols}; }
    // A borrowed view, so owned arrays pass wherever a view is taken.
    operator MatView() const
        requires std::is_same_v<T, double>
    {
        return MatView::row_major(data.data(), rows, cols);
    }

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

// True when no element is NaN or infinite.
inline bool all_finite(const MatView& v) {
    for (std::size_t i = 0; i < v.rows; ++i)
        for (std::size_t j = 0; j < v.cols; ++j)
            if (!std::isfinite(v(i, j))) return false;
    return true;
}

inline MatView view_of(const Array2& a) { return MatView::row_major(a.data.data(), a.rows, a.cols); }

// Row-major copy of any view.
inline Array2 to_owned(MatView v) {
    if (v.is_row_major()) return Array2(v.rows, v.cols, std::vector<double>(v.data, v.data + v.size()));
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
