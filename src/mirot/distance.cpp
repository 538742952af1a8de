#include "mirot/distance.h"

#include <array>
#include <atomic>

#include "mirot/distance_paths.h"

namespace mirot {

namespace {

inline float to_search(const double* x, const double* scale, std::size_t j) {
    return static_cast<float>(scale ? x[j] / scale[j] : x[j]);
}

float portable_pair(const float* a, const float* b, std::size_t n) {
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t body = n - n % 8;
    for (std::size_t i = 0; i < body; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) {
            const float d = a[i + j] - b[i + j];
            s[j] += d * d;
        }
    }
    float total = s[0];
    for (std::size_t j = 1; j < 8; ++j) total += s[j];
    for (std::size_t i = body; i < n; ++i) {
        const float d = a[i] - b[i];
        total += d * d;
    }
    return total;
}

float portable_row(const float* query, const double* x, const double* scale, std::size_t n) {
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t body = n - n % 8;
    for (std::size_t i = 0; i < body; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) {
            const float d = query[i + j] - to_search(x, scale, i + j);
            s[j] += d * d;
        }
    }
    float total = s[0];
    for (std::size_t j = 1; j < 8; ++j) total += s[j];
    for (std::size_t i = body; i < n; ++i) {
        const float d = query[i] - to_search(x, scale, i);
        total += d * d;
    }
    return total;
}

void portable_rows_f64(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                       std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t r = 0; r < nrows; ++r)
            out[i * out_stride + r] = portable_row(queries + i * n, rows + r * row_stride, scale, n);
}

void portable_rows_f32(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                       std::size_t nrows, std::size_t n, float* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t r = 0; r < nrows; ++r)
            out[i * out_stride + r] = portable_pair(queries + i * n, rows + r * row_stride, n);
}

constexpr DistanceKernels portable_kernels{"portable", portable_pair, portable_row, portable_rows_f64,
                                           portable_rows_f32};

struct Available {
    std::array<DistancePath, 3> paths{};
    std::size_t count = 0;
    const DistanceKernels* best = &portable_kernels;
};

Available detect() {
    Available a;
    a.paths[a.count++] = DistancePath::portable;
#if defined(__x86_64__)
    // SSE2 is part of every x86-64 CPU; AVX needs the CPU and the OS (saved YMM state),
    // which __builtin_cpu_supports checks both.
    a.paths[a.count++] = DistancePath::sse2;
    a.best = &detail::sse2_distance_kernels;
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) {
        a.paths[a.count++] = DistancePath::avx;
        a.best = &detail::avx_distance_kernels;
    }
#endif
    return a;
}

const Available& available() {
    static const Available a = detect();
    return a;
}

// The kernels every public call goes through. Until the first call it holds a table
// whose functions pick the widest path, store it here and forward, so that later calls
// cost one load and an indirect jump. The tables are constants: a thread that sees the
// pointer sees the table.
const DistanceKernels& pick();

float first_pair(const float* a, const float* b, std::size_t n) { return pick().pair(a, b, n); }

float first_row(const float* query, const double* x, const double* scale, std::size_t n) {
    return pick().row(query, x, scale, n);
}

void first_rows_f64(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                    std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    pick().rows_f64(queries, nq, rows, row_stride, nrows, scale, n, out, out_stride);
}

void first_rows_f32(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                    std::size_t nrows, std::size_t n, float* out, std::size_t out_stride) {
    pick().rows_f32(queries, nq, rows, row_stride, nrows, n, out, out_stride);
}

constexpr DistanceKernels first_use_kernels{"first use", first_pair, first_row, first_rows_f64, first_rows_f32};

constinit std::atomic<const DistanceKernels*> chosen{&first_use_kernels};

const DistanceKernels& pick() {
    const DistanceKernels* k = available().best;
    chosen.store(k, std::memory_order_relaxed);
    return *k;
}

inline const DistanceKernels& best() { return *chosen.load(std::memory_order_relaxed); }

}  // namespace

std::span<const DistancePath> distance_paths() {
    const Available& a = available();
    return {a.paths.data(), a.count};
}

const DistanceKernels* distance_kernels(DistancePath path) {
    for (DistancePath p : distance_paths()) {
        if (p != path) continue;
        switch (path) {
            case DistancePath::portable: return &portable_kernels;
#if defined(__x86_64__)
            case DistancePath::sse2: return &detail::sse2_distance_kernels;
            case DistancePath::avx: return &detail::avx_distance_kernels;
#endif
            default: return nullptr;
        }
    }
    return nullptr;
}

float l2_sq_f32(std::span<const float> a, std::span<const float> b) {
    return best().pair(a.data(), b.data(), a.size() < b.size() ? a.size() : b.size());
}

float l2_sq_f32_row(const float* query, const double* x, const double* scale, std::size_t n) {
    return best().row(query, x, scale, n);
}

void l2_sq_f32_rows(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                    std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    best().rows_f64(queries, nq, rows, row_stride, nrows, scale, n, out, out_stride);
}

void l2_sq_f32_rows(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                    std::size_t nrows, std::size_t n, float* out, std::size_t out_stride) {
    best().rows_f32(queries, nq, rows, row_stride, nrows, n, out, out_stride);
}

}  // namespace mirot
