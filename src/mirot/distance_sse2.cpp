// The distance kernels in 128-bit SSE2 registers, which every x86-64 CPU has: the 8
// running sums of a row take two registers (sums 0-3 and 4-7). Multiply and add stay
// separate instructions.

#include "mirot/distance_blocks.h"
#include "mirot/distance_paths.h"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstddef>
#include <vector>

namespace mirot::detail {

namespace {

constexpr std::size_t kRows = 4;  // rows per block: two accumulator registers each

struct V8 {
    __m128 lo, hi;
};

// Four values of a row from x; `scale` (null when unscaled) points at their divisors.
inline __m128 narrow4(const double* x, const double* scale) {
    __m128d a = _mm_loadu_pd(x);
    __m128d b = _mm_loadu_pd(x + 2);
    if (scale) {
        a = _mm_div_pd(a, _mm_loadu_pd(scale));
        b = _mm_div_pd(b, _mm_loadu_pd(scale + 2));
    }
    // Rounds in the current mode (to nearest unless changed), as the scalar narrowing does.
    return _mm_movelh_ps(_mm_cvtpd_ps(a), _mm_cvtpd_ps(b));
}

template <Src S>
inline V8 load8(const void* row, const double* scale, std::size_t i) {
    if constexpr (S == Src::f32) {
        const float* x = static_cast<const float*>(row) + i;
        return {_mm_loadu_ps(x), _mm_loadu_ps(x + 4)};
    } else {
        const double* x = static_cast<const double*>(row) + i;
        if constexpr (S == Src::f64_scaled)
            return {narrow4(x, scale + i), narrow4(x + 4, scale + i + 4)};
        else
            return {narrow4(x, nullptr), narrow4(x + 4, nullptr)};
    }
}

inline __m128 accumulate(__m128 s, __m128 q, __m128 x) {
    const __m128 d = _mm_sub_ps(q, x);
    return _mm_add_ps(s, _mm_mul_ps(d, d));
}

// s0 + s1 + ... + s7, left to right.
inline float sum_lanes(__m128 lo, __m128 hi) {
    __m128 t = _mm_add_ss(lo, _mm_shuffle_ps(lo, lo, 1));
    t = _mm_add_ss(t, _mm_movehl_ps(lo, lo));
    t = _mm_add_ss(t, _mm_shuffle_ps(lo, lo, 3));
    t = _mm_add_ss(t, hi);
    t = _mm_add_ss(t, _mm_shuffle_ps(hi, hi, 1));
    t = _mm_add_ss(t, _mm_movehl_ps(hi, hi));
    t = _mm_add_ss(t, _mm_shuffle_ps(hi, hi, 3));
    return _mm_cvtss_f32(t);
}

template <Src S>
inline float one(const float* q, const void* row, const double* scale, std::size_t n) {
    const std::size_t body = n - n % 8;
    __m128 lo = _mm_setzero_ps(), hi = lo;
    for (std::size_t i = 0; i < body; i += 8) {
        const V8 x = load8<S>(row, scale, i);
        lo = accumulate(lo, _mm_loadu_ps(q + i), x.lo);
        hi = accumulate(hi, _mm_loadu_ps(q + i + 4), x.hi);
    }
    // With no whole group the eight sums are all +0, and so is their total.
    float total = body ? sum_lanes(lo, hi) : 0.0f;
    for (std::size_t i = body; i < n; ++i) {
        const float d = q[i] - load1<S>(row, scale, i);
        total += d * d;
    }
    return total;
}

// Lane r: the distance of query q to row rp[r], the four rows' sums reduced together by
// transposing them (each lane still adds its row's sums 0..7 in order). The values past
// the last whole group of 8 come transposed, tail[t * 4 + r] for index body + t.
template <Src S>
inline __m128 block4(const float* q, const void* const* rp, const double* scale, std::size_t body, const float* tail,
                     std::size_t n) {
    __m128 l0 = _mm_setzero_ps(), l1 = l0, l2 = l0, l3 = l0, h0 = l0, h1 = l0, h2 = l0, h3 = l0;
    for (std::size_t i = 0; i < body; i += 8) {
        const __m128 ql = _mm_loadu_ps(q + i);
        const __m128 qh = _mm_loadu_ps(q + i + 4);
        V8 x = load8<S>(rp[0], scale, i);
        l0 = accumulate(l0, ql, x.lo);
        h0 = accumulate(h0, qh, x.hi);
        x = load8<S>(rp[1], scale, i);
        l1 = accumulate(l1, ql, x.lo);
        h1 = accumulate(h1, qh, x.hi);
        x = load8<S>(rp[2], scale, i);
        l2 = accumulate(l2, ql, x.lo);
        h2 = accumulate(h2, qh, x.hi);
        x = load8<S>(rp[3], scale, i);
        l3 = accumulate(l3, ql, x.lo);
        h3 = accumulate(h3, qh, x.hi);
    }
    __m128 total = _mm_setzero_ps();
    if (body) {
        _MM_TRANSPOSE4_PS(l0, l1, l2, l3);
        _MM_TRANSPOSE4_PS(h0, h1, h2, h3);
        total = _mm_add_ps(l0, l1);
        total = _mm_add_ps(total, l2);
        total = _mm_add_ps(total, l3);
        total = _mm_add_ps(total, h0);
        total = _mm_add_ps(total, h1);
        total = _mm_add_ps(total, h2);
        total = _mm_add_ps(total, h3);
    }
    for (std::size_t i = body; i < n; ++i)
        total = accumulate(total, _mm_set1_ps(q[i]), _mm_load_ps(tail + (i - body) * kRows));
    return total;
}

inline void store(float* dst, __m128 v, std::size_t m) {
    if (m == kRows) {
        _mm_storeu_ps(dst, v);
        return;
    }
    alignas(16) float tmp[kRows];
    _mm_store_ps(tmp, v);
    for (std::size_t r = 0; r < m; ++r) dst[r] = tmp[r];
}

// Each block of rows is read once for all queries, while it sits in the L1 cache.
template <Src S, class T>
void rows_direct(const float* queries, std::size_t nq, const T* rows, std::size_t row_stride, std::size_t nrows,
                 const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    const std::size_t body = n - n % 8;
    alignas(16) float tail[7 * kRows];
    for (std::size_t r0 = 0; r0 < nrows; r0 += kRows) {
        const void* rp[kRows];
        const std::size_t m = block_rows<kRows>(rows, row_stride, r0, nrows, rp);
        fill_tail<kRows, S>(rp, scale, body, n, tail);
        for (std::size_t i = 0; i < nq; ++i)
            store(out + i * out_stride + r0, block4<S>(queries + i * n, rp, scale, body, tail, n), m);
    }
}

// Several queries: each block of f64 rows is converted once into f32 scratch and then
// scored against every query.
template <Src S>
void rows_converted(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                    std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    const std::size_t body = n - n % 8;
    constexpr std::size_t kLocal = 256;
    alignas(16) float local[kRows * kLocal];
    float* scratch = local;
    thread_local std::vector<float> wide;
    if (body > kLocal) {
        if (wide.size() < kRows * body) wide.resize(kRows * body);
        scratch = wide.data();
    }
    alignas(16) float tail[7 * kRows];
    for (std::size_t r0 = 0; r0 < nrows; r0 += kRows) {
        const void* rp[kRows];
        const std::size_t m = block_rows<kRows>(rows, row_stride, r0, nrows, rp);
        const void* cp[kRows];
        for (std::size_t r = 0; r < kRows; ++r) {
            float* c = scratch + r * body;
            for (std::size_t i = 0; i < body; i += 8) {
                const V8 x = load8<S>(rp[r], scale, i);
                _mm_storeu_ps(c + i, x.lo);
                _mm_storeu_ps(c + i + 4, x.hi);
            }
            cp[r] = c;
        }
        fill_tail<kRows, S>(rp, scale, body, n, tail);
        for (std::size_t i = 0; i < nq; ++i)
            store(out + i * out_stride + r0, block4<Src::f32>(queries + i * n, cp, nullptr, body, tail, n), m);
    }
}

float pair(const float* a, const float* b, std::size_t n) { return one<Src::f32>(a, b, nullptr, n); }

float row(const float* query, const double* x, const double* scale, std::size_t n) {
    return scale ? one<Src::f64_scaled>(query, x, scale, n) : one<Src::f64>(query, x, nullptr, n);
}

void rows_f64(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride, std::size_t nrows,
              const double* scale, std::size_t n, float* out, std::size_t out_stride) {
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

void rows_f32(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride, std::size_t nrows,
              std::size_t n, float* out, std::size_t out_stride) {
    rows_direct<Src::f32>(queries, nq, rows, row_stride, nrows, nullptr, n, out, out_stride);
}

}  // namespace

const DistanceKernels sse2_distance_kernels{"sse2", pair, row, rows_f64, rows_f32};

}  // namespace mirot::detail

#endif
