#pragma once
// The index library's one distance: squared Euclidean in f32 with a fixed summation
// order. The order decides the last bits of the result, and those bits decide ties
// between candidates, so every build and search must go through these functions.
//
// The order: eight running sums over the first 8*floor(n/8) squares (sum j takes the
// indices with remainder j), added left to right, then the remaining squares one at a
// time, each square a separate multiply and add (never fused). Every function below
// gives the same bits on the same vectors whatever instruction set it runs on
// (distance_paths.h); the first use picks the widest set the CPU has.

#include <cstddef>
#include <span>

namespace mirot {

// The distance of two f32 vectors; lists of unequal length are compared over their
// common prefix.
float l2_sq_f32(std::span<const float> a, std::span<const float> b);

// A stored f64 row seen in the search space: x[j] narrowed to f32, or, when `scale` is
// given, x[j] / scale[j] computed in f64 and then narrowed. No converted copy is made.
//
// The distance of one f32 query of n values to one such row.
float l2_sq_f32_row(const float* query, const double* x, const double* scale, std::size_t n);

// The distances of nq queries (query i at queries + i * n) to nrows stored f64 rows
// (row r at rows + r * row_stride), converted as above: out[i * out_stride + r].
void l2_sq_f32_rows(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                    std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride);

// The same over f32 rows already in the search space (row r at rows + r * row_stride).
void l2_sq_f32_rows(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                    std::size_t nrows, std::size_t n, float* out, std::size_t out_stride);

}  // namespace mirot
