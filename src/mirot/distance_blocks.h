#pragma once
// What the vector distance kernels share apart from their registers: how one stored value
// reaches the search space, and how a block of rows is laid out for a kernel that scores
// kRows rows at once. Plain scalar code, so kernels of any instruction set can inline it.

#include <cstddef>

namespace mirot::detail {

// How a stored row reaches the search space: f32 as is, or f64 narrowed to f32, the
// scaled form dividing in f64 first.
enum class Src { f32, f64, f64_scaled };

template <Src S>
inline float load1(const void* row, const double* scale, std::size_t i) {
    if constexpr (S == Src::f32)
        return static_cast<const float*>(row)[i];
    else if constexpr (S == Src::f64)
        return static_cast<float>(static_cast<const double*>(row)[i]);
    else
        return static_cast<float>(static_cast<const double*>(row)[i] / scale[i]);
}

// The rows of the block at r0; a short last block repeats its last row so the kernel
// always fills kRows lanes (the extra lanes are never stored). Returns the real count.
template <std::size_t kRows, class T>
inline std::size_t block_rows(const T* rows, std::size_t row_stride, std::size_t r0, std::size_t nrows,
                              const void* rp[kRows]) {
    const std::size_t m = nrows - r0 < kRows ? nrows - r0 : kRows;
    for (std::size_t r = 0; r < kRows; ++r) rp[r] = rows + (r0 + (r < m ? r : m - 1)) * row_stride;
    return m;
}

// The values past the last whole group of 8, transposed: tail[t * kRows + r] holds value
// body + t of row r, so one load serves every row of the block.
template <std::size_t kRows, Src S>
inline void fill_tail(const void* const* rp, const double* scale, std::size_t body, std::size_t n, float* tail) {
    for (std::size_t i = body; i < n; ++i)
        for (std::size_t r = 0; r < kRows; ++r) tail[(i - body) * kRows + r] = load1<S>(rp[r], scale, i);
}

}  // namespace mirot::detail
