#include <gtest/gtest.h>

#include <cblas.h>

#include <cstring>
#include <random>
#include <vector>

#include "base/worker_pool.h"

using namespace qelbo;

// Every worker runs BLAS products at once: each must equal the same product made alone. The
// library hands out work buffers from one shared table; small products make those hand-outs
// frequent enough that two workers sharing a buffer shows within a few thousand calls.
TEST(WorkerPool, SimultaneousBlasProductsMatchTheProductMadeAlone) {
    constexpr int M = 32, N = 96, K = 16;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> a(M * K), b(N * K);
    for (double& v : a) v = u(rng);
    for (double& v : b) v = u(rng);
    const std::vector<float> af(a.begin(), a.end()), bf(b.begin(), b.end());
    auto dgemm = [&](double* c) {
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0, a.data(), K, b.data(), K, 0.0, c, N);
    };
    auto sgemm = [&](float* c) {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, M, N, K, 1.0f, af.data(), K, bf.data(), K, 0.0f, c, N);
    };
    std::vector<double> want_d(M * N);
    std::vector<float> want_s(M * N);
    dgemm(want_d.data());
    sgemm(want_s.data());

    constexpr std::size_t kTasks = 64, kRepeats = 256;
    std::vector<std::vector<double>> got_d(kTasks, std::vector<double>(M * N));
    std::vector<std::vector<float>> got_s(kTasks, std::vector<float>(M * N));
    std::vector<int> mismatches(kTasks, 0);
    parallel_for_chunks(kTasks, [&](std::size_t t) {
        for (std::size_t r = 0; r < kRepeats; ++r) {
            dgemm(got_d[t].data());
            sgemm(got_s[t].data());
            mismatches[t] += std::memcmp(got_d[t].data(), want_d.data(), want_d.size() * sizeof(double)) != 0;
            mismatches[t] += std::memcmp(got_s[t].data(), want_s.data(), want_s.size() * sizeof(float)) != 0;
        }
    });
    for (std::size_t t = 0; t < kTasks; ++t) EXPECT_EQ(mismatches[t], 0) << "task " << t;
}
