#pragma once
// Row-major matrices of the core library: an owning `Matrix` and a non-owning
// `MatrixView`. Hot loops take contiguous row-major data; the bindings make a
// contiguous copy once when a NumPy argument is strided.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "qelbo/array.h"
#include "qelbo/error.h"

namespace qelbo {

// rows * cols, refusing products that no f64 vector could hold (sizes come from outside).
inline std::size_t checked_size(std::size_t rows, std::size_t cols) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(double);
    if (cols != 0 && rows > limit / cols)
        throw QELError::invalid_parameter("array size overflows: " + std::to_string(rows) + " x " +
                                          std::to_string(cols));
    return rows * cols;
}

template <class T>
struct MatrixViewT {
    const T* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixViewT() = default;
    MatrixViewT(const T* d, std::size_t r, std::size_t c) : data(d), rows(r), cols(c) {}
    const T& operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    std::span<const T> row(std::size_t i) const { return {data + i * cols, cols}; }
    std::size_t size() const { return rows * cols; }
    bool empty() const { return rows == 0 || cols == 0; }
};

template <class T>
class MatrixT {
public:
    MatrixT() = default;
    MatrixT(std::size_t rows, std::size_t cols, T fill = T{})
        : rows_(rows), cols_(cols), data_(checked_size(rows, cols), fill) {}
    MatrixT(std::size_t rows, std::size_t cols, std::vector<T> data) : rows_(rows), cols_(cols), data_(std::move(data)) {
        expect(data_.size() == checked_size(rows, cols), "matrix data length matches its shape");
    }
    explicit MatrixT(MatrixViewT<T> v) : rows_(v.rows), cols_(v.cols), data_(v.data, v.data + v.size()) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t size() const { return data_.size(); }
    T& operator()(std::size_t i, std::size_t j) { return data_[i * cols_ + j]; }
    const T& operator()(std::size_t i, std::size_t j) const { return data_[i * cols_ + j]; }
    std::span<T> row(std::size_t i) { return {data_.data() + i * cols_, cols_}; }
    std::span<const T> row(std::size_t i) const { return {data_.data() + i * cols_, cols_}; }
    T* data() { return data_.data(); }
    const T* data() const { return data_.data(); }
    std::vector<T>& vec() { return data_; }
    const std::vector<T>& vec() const { return data_; }
    std::vector<T> take() && { return std::move(data_); }
    MatrixViewT<T> view() const { return {data_.data(), rows_, cols_}; }
    operator MatrixViewT<T>() const { return view(); }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<T> data_;
};

using Matrix = MatrixT<double>;
using MatrixView = MatrixViewT<double>;
using IndexMatrix = MatrixT<std::int64_t>;

// The same data as the strided view type of array.h.
inline MatView as_matview(MatrixView v) { return MatView::row_major(v.data, v.rows, v.cols); }

}  // namespace qelbo
