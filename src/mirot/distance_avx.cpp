// The distance kernels in 256-bit AVX registers: one register holds the 8 running sums
// of a row, so the summation order of distance.h maps onto the lanes directly. Only
// separate multiply and add instructions are used (AVX has no fused form; FMA is a
// different extension and is never enabled here).

#include "mirot/distance_blocks.h"
#include "mirot/distance_paths.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <vector>

#define MIROT_AVX __attribute__((target("avx")))

namespace mirot::detail {

namespace {

constexpr std::size_t kRows = 8;  // rows per block: one accumulator register each

template <Src S>
MIROT_AVX inline __m256 load8(const void* row, const double* scale, std::size_t i) {
    if constexpr (S == Src::f32) {
        return _mm256_loadu_ps(static_cast<const float*>(row) + i);
    } else {
        const double* x = static_cast<const double*>(row) + i;
        __m256d lo = _mm256_loadu_pd(x);
        __m256d hi = _mm256_loadu_pd(x + 4);
        if constexpr (S == Src::f64_scaled) {
            lo = _mm256_div_pd(lo, _mm256_loadu_pd(scale + i));
            hi = _mm256_div_pd(hi, _mm256_loadu_pd(scale + i + 4));
        }
        // Rounds in the current mode (to nearest unless changed), as the scalar narrowing does.
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
    }
}

MIROT_AVX inline __m256 accumulate(__m256 s, __m256 q, __m256 x) {
    const __m256 d = _mm256_sub_ps(q, x);
    return _mm256_add_ps(s, _mm256_mul_ps(d, d));
}

// s0 + s1 + ... + s7, left to right.
MIROT_AVX inline float sum_lanes(__m256 s) {
    const __m128 lo = _mm256_castps256_ps128(s);
    const __m128 hi = _mm256_extractf128_ps(s, 1);
    __m128 t = _mm_add_ss(lo, _mm_shuffle_ps(lo, lo, 1));
    t = _mm_add_ss(t, _mm_movehl_ps(lo, lo));
    t = _mm_add_ss(t, _mm_shuffle_ps(lo, lo, 3));
    t = _mm_add_ss(t, hi);
    t = _mm_add_ss(t, _mm_shuffle_ps(hi, hi, 1));
    t = _mm_add_ss(t, _mm_movehl_ps(hi, hi));
    t = _mm_add_ss(t, _mm_shuffle_ps(hi, hi, 3));
    return _mm_cvtss_f32(t);
}

// The same sum for 8 rows at once: transposing the 8 accumulators puts sum j of every
// row in one register, so each lane adds its row's sums in order without leaving
// registers.
MIROT_AVX inline __m256 sum_lanes8(__m256 a0, __m256 a1, __m256 a2, __m256 a3, __m256 a4, __m256 a5, __m256 a6,
                                   __m256 a7) {
    const __m256 t0 = _mm256_unpacklo_ps(a0, a1);
    const __m256 t1 = _mm256_unpackhi_ps(a0, a1);
    const __m256 t2 = _mm256_unpacklo_ps(a2, a3);
    const __m256 t3 = _mm256_unpackhi_ps(a2, a3);
    const __m256 t4 = _mm256_unpacklo_ps(a4, a5);
    const __m256 t5 = _mm256_unpackhi_ps(a4, a5);
    const __m256 t6 = _mm256_unpacklo_ps(a6, a7);
    const __m256 t7 = _mm256_unpackhi_ps(a6, a7);
    // u0: sums 0 (low half) and 4 (high half) of rows 0-3; u4 the same of rows 4-7.
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    __m256 total = _mm256_permute2f128_ps(u0, u4, 0x20);
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u1, u5, 0x20));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u2, u6, 0x20));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u3, u7, 0x20));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u0, u4, 0x31));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u1, u5, 0x31));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u2, u6, 0x31));
    total = _mm256_add_ps(total, _mm256_permute2f128_ps(u3, u7, 0x31));
    return total;
}

template <Src S>
MIROT_AVX inline float one(const float* q, const void* row, const double* scale, std::size_t n) {
    const std::size_t body = n - n % 8;
    __m256 s = _mm256_setzero_ps();
    for (std::size_t i = 0; i < body; i += 8) s = accumulate(s, _mm256_loadu_ps(q + i), load8<S>(row, scale, i));
    // With no whole group the eight sums are all +0, and so is their total.
    float total = body ? sum_lanes(s) : 0.0f;
    for (std::size_t i = body; i < n; ++i) {
        const float d = q[i] - load1<S>(row, scale, i);
        total += d * d;
    }
    return total;
}

// Lane r: the distance of query q to row rp[r]. The values past the last whole group of
// 8 come transposed, tail[t * 8 + r] for index body + t, so one load serves all rows.
template <Src S>
MIROT_AVX inline __m256 block8(const float* q, const void* const* rp, const double* scale, std::size_t body,
                               const float* tail, std::size_t n) {
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (std::size_t i = 0; i < body; i += 8) {
        const __m256 qv = _mm256_loadu_ps(q + i);
        a0 = accumulate(a0, qv, load8<S>(rp[0], scale, i));
        a1 = accumulate(a1, qv, load8<S>(rp[1], scale, i));
        a2 = accumulate(a2, qv, load8<S>(rp[2], scale, i));
        a3 = accumulate(a3, qv, load8<S>(rp[3], scale, i));
        a4 = accumulate(a4, qv, load8<S>(rp[4], scale, i));
        a5 = accumulate(a5, qv, load8<S>(rp[5], scale, i));
        a6 = accumulate(a6, qv, load8<S>(rp[6], scale, i));
        a7 = accumulate(a7, qv, load8<S>(rp[7], scale, i));
    }
    __m256 total = body ? sum_lanes8(a0, a1, a2, a3, a4, a5, a6, a7) : _mm256_setzero_ps();
    for (std::size_t i = body; i < n; ++i)
        total = accumulate(total, _mm256_set1_ps(q[i]), _mm256_load_ps(tail + (i - body) * kRows));
    return total;
}

MIROT_AVX inline void store(float* dst, __m256 v, std::size_t m) {
    if (m == kRows) {
        _mm256_storeu_ps(dst, v);
        return;
    }
    alignas(32) float tmp[kRows];
    _mm256_store_ps(tmp, v);
    for (std::size_t r = 0; r < m; ++r) dst[r] = tmp[r];
}

// Each block of rows is read once for all queries, while it sits in the L1 cache.
template <Src S, class T>
MIROT_AVX void rows_direct(const float* queries, std::size_t nq, const T* rows, std::size_t row_stride,
                           std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    const std::size_t body = n - n % 8;
    alignas(32) float tail[7 * kRows];
    for (std::size_t r0 = 0; r0 < nrows; r0 += kRows) {
        const void* rp[kRows];
        const std::size_t m = block_rows<kRows>(rows, row_stride, r0, nrows, rp);
        fill_tail<kRows, S>(rp, scale, body, n, tail);
        for (std::size_t i = 0; i < nq; ++i)
            store(out + i * out_stride + r0, block8<S>(queries + i * n, rp, scale, body, tail, n), m);
    }
}

// Several queries: each block of f64 rows is converted once into f32 scratch and then
// scored against every query.
template <Src S>
MIROT_AVX void rows_converted(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                              std::size_t nrows, const double* scale, std::size_t n, float* out,
                              std::size_t out_stride) {
    const std::size_t body = n - n % 8;
    constexpr std::size_t kLocal = 256;
    alignas(32) float local[kRows * kLocal];
    float* scratch = local;
    thread_local std::vector<float> wide;
    if (body > kLocal) {
        if (wide.size() < kRows * body) wide.resize(kRows * body);
        scratch = wide.data();
    }
    alignas(32) float tail[7 * kRows];
    for (std::size_t r0 = 0; r0 < nrows; r0 += kRows) {
        const void* rp[kRows];
        const std::size_t m = block_rows<kRows>(rows, row_stride, r0, nrows, rp);
        const void* cp[kRows];
        for (std::size_t r = 0; r < kRows; ++r) {
            float* c = scratch + r * body;
            for (std::size_t i = 0; i < body; i += 8) _mm256_storeu_ps(c + i, load8<S>(rp[r], scale, i));
            cp[r] = c;
        }
        fill_tail<kRows, S>(rp, scale, body, n, tail);
        for (std::size_t i = 0; i < nq; ++i)
            store(out + i * out_stride + r0, block8<Src::f32>(queries + i * n, cp, nullptr, body, tail, n), m);
    }
}

MIROT_AVX float pair(const float* a, const float* b, std::size_t n) { return one<Src::f32>(a, b, nullptr, n); }

MIROT_AVX float row(const float* query, const double* x, const double* scale, std::size_t n) {
    return scale ? one<Src::f64_scaled>(query, x, scale, n) : one<Src::f64>(query, x, nullptr, n);
}

MIROT_AVX void rows_f64(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                        std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    if (nq == 1) {
        if (scale)
            rows_direct<Src::f64_scaled>(queries, nq, rows, row_stride, nrows, scale, n, out, out_stride);
        else
            rows_direct<Src::f64>(queries, nq, rows, row_stride, nrows, nullptr, n, out, out_stride);
    } else {
        if (scale)
            rows_converted<Src::f64_scaled>(queries, nq, rows, row_stride, nrows, scale, n, out, out_stride);
        else
            rows_converted<Src::f64>(queries, nq, rows, row_stride, nrows, nullptr, n, out, out_stride);
    }
}

MIROT_AVX void rows_f32(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                        std::size_t nrows, std::size_t n, float* out, std::size_t out_stride) {
    rows_direct<Src::f32>(queries, nq, rows, row_stride, nrows, nullptr, n, out, out_stride);
}

}  // namespace

const DistanceKernels avx_distance_kernels{"avx", pair, row, rows_f64, rows_f32};

}  // namespace mirot::detail

#endif
