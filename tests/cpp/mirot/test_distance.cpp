#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "mirot/distance.h"
#include "mirot/distance_paths.h"

namespace {

constexpr float kInfF = std::numeric_limits<float>::infinity();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Values where a vector path could part from the scalar one: NaNs of both signs and with
// a payload, infinities (inf - inf), subnormals, squares that overflow, f64 values that
// round, underflow or overflow when narrowed to f32.
const std::vector<float> kOddF32 = {
    std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
    std::bit_cast<float>(0x7fc12345u), kInfF, -kInfF, 0.0f, -0.0f,
    std::numeric_limits<float>::denorm_min(), -1e-40f, std::numeric_limits<float>::min(),
    std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), 3e19f, -2e19f, 1e-20f};
const std::vector<double> kOddF64 = {
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
    std::bit_cast<double>(0x7ff8000012345678ull), kInf, -kInf, 0.0, -0.0,
    std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(), 1e-40, -1e-45, 1e-50,
    3.5e38, -3.5e38, 3.4028235677973366e38, static_cast<double>(std::numeric_limits<float>::max()), 1e300,
    -1e300, 1.0000000596046448, 3e19, 0.1};
const std::vector<double> kOddScale = {1e-300, -1e-300, 1e300, -2.5, 5e-324, 0.0, -0.0, kInf,
                                       std::numeric_limits<double>::quiet_NaN(), 1e-30, 3e-39};

struct Data {
    std::mt19937_64 rng;
    double odd_share;

    double unit() { return static_cast<double>(rng() >> 11) * 0x1p-53; }
    bool odd() { return unit() < odd_share; }
    template <class T>
    T pick(const std::vector<T>& v) { return v[rng() % v.size()]; }

    float f32() { return odd() ? pick(kOddF32) : static_cast<float>(4.0 * unit() - 2.0); }
    double f64() { return odd() ? pick(kOddF64) : 4.0 * unit() - 2.0; }
    double scale() { return odd() ? pick(kOddScale) : 0.25 + 2.0 * unit(); }
};

std::string describe(const char* path, const char* kernel, std::size_t n, bool scaled, std::size_t nq,
                     std::size_t nrows) {
    return std::string(path) + " " + kernel + " n=" + std::to_string(n) + (scaled ? " scaled" : "") +
           " nq=" + std::to_string(nq) + " nrows=" + std::to_string(nrows);
}

// Bits, not values, except between two NaNs. When both operands of an addition are NaN,
// x86 returns the first one, and the compiler may write the portable loop's
// `s += d * d` with either operand first (C++ treats + as commutative, payloads aside);
// so the sign and payload of a NaN result are not fixed even for the portable path.
// Searches order every NaN alike, so only NaN-ness carries meaning.
::testing::AssertionResult same_bits(const std::vector<float>& got, const std::vector<float>& want,
                                     const std::string& what) {
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(got[i]) && std::isnan(want[i])) continue;
        if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(want[i]))
            return ::testing::AssertionFailure() << what << " at " << i << ": " << got[i] << " vs " << want[i];
    }
    return ::testing::AssertionSuccess();
}

TEST(DistancePaths, EveryPathGivesThePortableBits) {
    const mirot::DistanceKernels& ref = *mirot::distance_kernels(mirot::DistancePath::portable);
    const std::size_t shapes[][2] = {{1, 1}, {1, 13}, {2, 7}, {3, 4}, {9, 8}, {17, 21}};
    const float kUnwritten = -1.5f;  // no distance is negative
    std::size_t paths_run = 0;
    for (mirot::DistancePath p : mirot::distance_paths()) {
        const mirot::DistanceKernels* k = mirot::distance_kernels(p);
        ASSERT_NE(k, nullptr);
        ++paths_run;
        // Every tail length with 0-4 whole groups, and one width past the kernels' stack scratch.
        std::vector<std::size_t> widths;
        for (std::size_t n = 1; n <= 40; ++n) widths.push_back(n);
        widths.push_back(8 * 300 + 5);
        for (std::size_t n : widths) {
            for (double odd_share : {0.0, 0.05, 0.3}) {
                for (const auto& shape : shapes) {
                    const std::size_t nq = shape[0], nrows = shape[1];
                    Data data{std::mt19937_64(n * 1000 + nq * 31 + nrows), odd_share};
                    // Every buffer starts one element past an aligned allocation, so loads are
                    // unaligned; rows carry padding that changes the result if read, and the
                    // last row, the last query and the scale end where their allocation ends.
                    const std::size_t row_stride = n + 3, out_stride = nrows + 2;
                    const std::size_t rows_size = 1 + (nrows - 1) * row_stride + n;
                    std::vector<float> queries_buf(1 + nq * n), rows32_buf(rows_size);
                    std::vector<double> rows64_buf(rows_size), scale_buf(1 + n);
                    for (float& v : queries_buf) v = data.f32();
                    for (double& v : rows64_buf) v = data.f64();
                    for (float& v : rows32_buf) v = data.f32();
                    for (double& v : scale_buf) v = data.scale();
                    const float* queries = queries_buf.data() + 1;
                    const double* rows64 = rows64_buf.data() + 1;
                    const float* rows32 = rows32_buf.data() + 1;

                    const double* scales[] = {nullptr, scale_buf.data() + 1};
                    for (const double* scale : scales) {
                        const bool scaled = scale != nullptr;
                        std::vector<float> got(nq * out_stride, kUnwritten), want = got;
                        k->rows_f64(queries, nq, rows64, row_stride, nrows, scale, n, got.data(), out_stride);
                        ref.rows_f64(queries, nq, rows64, row_stride, nrows, scale, n, want.data(), out_stride);
                        ASSERT_TRUE(same_bits(got, want, describe(k->name, "rows_f64", n, scaled, nq, nrows)));

                        // The public function, whichever path it picked, rides along.
                        std::vector<float> got_row, want_row, public_row;
                        for (std::size_t i = 0; i < nq; ++i)
                            for (std::size_t r = 0; r < nrows; ++r) {
                                const double* x = rows64 + r * row_stride;
                                got_row.push_back(k->row(queries + i * n, x, scale, n));
                                want_row.push_back(ref.row(queries + i * n, x, scale, n));
                                public_row.push_back(mirot::l2_sq_f32_row(queries + i * n, x, scale, n));
                            }
                        ASSERT_TRUE(same_bits(got_row, want_row, describe(k->name, "row", n, scaled, nq, nrows)));
                        ASSERT_TRUE(same_bits(public_row, want_row, describe("public", "row", n, scaled, nq, nrows)));
                    }

                    std::vector<float> got(nq * out_stride, kUnwritten), want = got;
                    k->rows_f32(queries, nq, rows32, row_stride, nrows, n, got.data(), out_stride);
                    ref.rows_f32(queries, nq, rows32, row_stride, nrows, n, want.data(), out_stride);
                    ASSERT_TRUE(same_bits(got, want, describe(k->name, "rows_f32", n, false, nq, nrows)));

                    std::vector<float> got_pair, want_pair, public_pair;
                    for (std::size_t i = 0; i < nq; ++i)
                        for (std::size_t r = 0; r < nrows; ++r) {
                            const float* x = rows32 + r * row_stride;
                            got_pair.push_back(k->pair(queries + i * n, x, n));
                            want_pair.push_back(ref.pair(queries + i * n, x, n));
                            public_pair.push_back(mirot::l2_sq_f32({queries + i * n, n}, {x, n}));
                        }
                    ASSERT_TRUE(same_bits(got_pair, want_pair, describe(k->name, "pair", n, false, nq, nrows)));
                    ASSERT_TRUE(same_bits(public_pair, want_pair, describe("public", "pair", n, false, nq, nrows)));
                }
            }
        }
    }
#if defined(__x86_64__)
    EXPECT_GE(paths_run, 2u);  // SSE2 is part of x86-64
#else
    EXPECT_GE(paths_run, 1u);
#endif
}

}  // namespace
