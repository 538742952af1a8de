#include "qelbo/model/row_storage.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qelbo {

namespace {
// Headroom beyond the current length: at least 4096 rows, or the current size when larger.
std::size_t headroom(std::size_t rows, std::size_t dim) {
    return std::max(checked_mul(4096, dim), checked_mul(rows, dim));
}

std::size_t checked_add(std::size_t a, std::size_t b) {
    if (b > std::numeric_limits<std::size_t>::max() - a) {
        throw std::length_error("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }
    return a + b;
}
}  // namespace

RowStorage RowStorage::from_array2(Array2&& a) {
    RowStorage s(a.cols);
    s.nrows_ = a.rows;
    s.data_ = std::move(a.data);
    s.data_.reserve(checked_add(s.data_.size(), headroom(s.nrows_, s.dim_)));
    return s;
}

void RowStorage::push_rows(const MatView& v) {
    if (v.cols != dim_) throw QELError::invalid_shape({nrows_, dim_}, {v.rows, v.cols});
    if (v.rows == 0) return;
    const std::size_t needed = checked_mul(checked_add(nrows_, v.rows), dim_);
    if (needed > data_.capacity()) {
        const std::size_t shortfall = needed - data_.capacity();
        data_.reserve(checked_add(data_.size(), checked_add(shortfall, headroom(nrows_, dim_))));
    }
    if (v.is_row_major()) {
        data_.insert(data_.end(), v.data, v.data + v.rows * v.cols);
    } else {
        for (std::size_t i = 0; i < v.rows; ++i)
            for (std::size_t j = 0; j < v.cols; ++j) data_.push_back(v(i, j));
    }
    nrows_ += v.rows;
}

std::vector<double> RowStorage::row_vec(std::size_t i) const {
    expect(i < nrows_, "row index out of bounds");
    return std::vector<double>(row(i), row(i) + dim_);
}

Array2 RowStorage::gather_rows(std::span<const std::size_t> indices) const {
    Array2 out(indices.size(), dim_);
    for (std::size_t j = 0; j < indices.size(); ++j) {
        expect(indices[j] < nrows_, "row index out of bounds");
        if (dim_ != 0) std::memcpy(out.row(j), row(indices[j]), dim_ * sizeof(double));
    }
    return out;
}

}  // namespace qelbo
