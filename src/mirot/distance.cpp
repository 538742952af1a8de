#include "mirot/distance.h"

namespace mirot {

namespace {

inline float to_search(const double* x, const double* scale, std::size_t j) {
    return static_cast<float>(scale ? x[j] / scale[j] : x[j]);
}

}  // namespace

float l2_sq_f32_row(const float* query, const double* x, const double* scale, std::size_t n) {
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

void l2_sq_f32_rows(const float* queries, std::size_t nq, const double* rows, std::size_t row_stride,
                    std::size_t nrows, const double* scale, std::size_t n, float* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t r = 0; r < nrows; ++r)
            out[i * out_stride + r] = l2_sq_f32_row(queries + i * n, rows + r * row_stride, scale, n);
}

void l2_sq_f32_rows(const float* queries, std::size_t nq, const float* rows, std::size_t row_stride,
                    std::size_t nrows, std::size_t n, float* out, std::size_t out_stride) {
    for (std::size_t i = 0; i < nq; ++i)
        for (std::size_t r = 0; r < nrows; ++r)
            out[i * out_stride + r] = l2_sq_f32({queries + i * n, n}, {rows + r * row_stride, n});
}

}  // namespace mirot
