// Nanoseconds per scored row (per query and row) of each distance path this CPU runs,
// over 4096 stored f64 rows (f32 rows for `pair`) in L2-resident memory:
//   pair     one f32 pair per call, as page search and k-means score leaf vectors;
//   row      one query and one f64 row per call, converted inside the loop;
//   rows     blocks of nq queries against all rows in one call, with and without scale.
//   public   pair and row through distance.h, the path it picked plus its call overhead.
// Counter ns_per_row (printed with an "s" suffix by the library); the portable path is
// the reference the others match bit for bit.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "mirot/distance.h"
#include "mirot/distance_paths.h"

namespace {

constexpr std::size_t kRows = 4096;

struct Inputs {
    std::vector<float> queries;
    std::vector<double> rows64;
    std::vector<float> rows32;
    std::vector<double> scale;
    std::vector<float> out;
};

Inputs make_inputs(std::size_t d, std::size_t nq) {
    std::mt19937_64 rng(d * 100 + nq);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Inputs in;
    for (std::size_t i = 0; i < nq * d; ++i) in.queries.push_back(static_cast<float>(u(rng)));
    for (std::size_t i = 0; i < kRows * d; ++i) in.rows64.push_back(u(rng));
    for (double v : in.rows64) in.rows32.push_back(static_cast<float>(v));
    for (std::size_t j = 0; j < d; ++j) in.scale.push_back(0.5 + 0.5 * (u(rng) + 1.0));
    in.out.resize(nq * kRows);
    return in;
}

void per_row(benchmark::State& state, double rows_per_iteration) {
    state.counters["ns_per_row"] =
        benchmark::Counter(rows_per_iteration * 1e-9, benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}

// k null: the public function of distance.h.
void bench_pair(benchmark::State& state, const mirot::DistanceKernels* k, std::size_t d) {
    Inputs in = make_inputs(d, 1);
    const float* q = in.queries.data();
    for (auto _ : state) {
        for (std::size_t r = 0; r < kRows; ++r) {
            const float* x = in.rows32.data() + r * d;
            in.out[r] = k ? k->pair(q, x, d) : mirot::l2_sq_f32({q, d}, {x, d});
        }
        benchmark::ClobberMemory();
    }
    per_row(state, kRows);
}

void bench_row(benchmark::State& state, const mirot::DistanceKernels* k, std::size_t d) {
    Inputs in = make_inputs(d, 1);
    const float* q = in.queries.data();
    for (auto _ : state) {
        for (std::size_t r = 0; r < kRows; ++r) {
            const double* x = in.rows64.data() + r * d;
            in.out[r] = k ? k->row(q, x, nullptr, d) : mirot::l2_sq_f32_row(q, x, nullptr, d);
        }
        benchmark::ClobberMemory();
    }
    per_row(state, kRows);
}

void bench_rows(benchmark::State& state, const mirot::DistanceKernels* k, std::size_t d, std::size_t nq,
                bool scaled) {
    Inputs in = make_inputs(d, nq);
    const double* scale = scaled ? in.scale.data() : nullptr;
    for (auto _ : state) {
        k->rows_f64(in.queries.data(), nq, in.rows64.data(), d, kRows, scale, d, in.out.data(), kRows);
        benchmark::ClobberMemory();
    }
    per_row(state, static_cast<double>(kRows * nq));
}

const int registered = [] {
    for (std::size_t d : {8, 20, 32}) {
        const std::string dim = "/d:" + std::to_string(d);
        benchmark::RegisterBenchmark(("pair/public" + dim).c_str(), bench_pair, nullptr, d);
        benchmark::RegisterBenchmark(("row/public" + dim).c_str(), bench_row, nullptr, d);
    }
    for (mirot::DistancePath p : mirot::distance_paths()) {
        const mirot::DistanceKernels* k = mirot::distance_kernels(p);
        const std::string path = k->name;
        for (std::size_t d : {8, 20, 32}) {
            const std::string dim = "/d:" + std::to_string(d);
            benchmark::RegisterBenchmark(("pair/" + path + dim).c_str(), bench_pair, k, d);
            benchmark::RegisterBenchmark(("row/" + path + dim).c_str(), bench_row, k, d);
            for (bool scaled : {false, true})
                for (std::size_t nq : {1, 8, 16})
                    benchmark::RegisterBenchmark(
                        ("rows/" + path + dim + "/nq:" + std::to_string(nq) + (scaled ? "/scaled" : "")).c_str(),
                        bench_rows, k, d, nq, scaled);
        }
    }
    return 0;
}();

}  // namespace
