#pragma once
// The instruction-set paths behind distance.h. Searches never choose one: distance.h
// picks the widest path the CPU runs, once. Tests and benchmarks use this header to run
// each path on the same vectors.

#include <cstddef>
#include <span>

namespace mirot {

enum class DistancePath { portable, sse2, avx };

// One path's implementation of every function of distance.h, same arguments and meaning.
struct DistanceKernels {
    const char* name;
    float (*pair)(const float* a, const float* b, std::size_t n);
    float (*row)(const float* query, const double* x, const double* scale, std::size_t n);
    void (*rows_f64)(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                     std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride);
    void (*rows_f32)(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                     std::size_t nrows, std::size_t n, float* out, std::size_t out_stride);
};

// The paths this CPU runs, portable first, widest last.
std::span<const DistancePath> distance_paths();

// A path's kernels, or null when this build or CPU cannot run it.
const DistanceKernels* distance_kernels(DistancePath path);

namespace detail {
#if defined(__x86_64__)
extern const DistanceKernels sse2_distance_kernels;
extern const DistanceKernels avx_distance_kernels;
#endif
}  // namespace detail

}  // namespace mirot
