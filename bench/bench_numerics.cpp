// Throughput of the hash normal batch, the 2-D hypervolume and the 2-D Pareto
// front, at one worker thread and at the whole pool.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include "qelbo/optimizer/acquisition.h"
#include "qelbo/numerics/hash.h"
#include "qelbo/numerics/hypervolume.h"
#include "qelbo/core/array.h"
#include "base/worker_pool.h"

namespace {

// Arg 0 means the whole pool; otherwise at most that many threads.
std::unique_ptr<tbb::global_control> limit_threads(std::int64_t threads) {
    if (threads <= 0) return nullptr;
    return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                 static_cast<std::size_t>(threads));
}

void BM_NormalHashBatch(benchmark::State& state) {
    const auto limit = limit_threads(state.range(0));
    std::vector<std::int64_t> seeds(100), idx(100000);
    for (std::size_t i = 0; i < seeds.size(); ++i) seeds[i] = static_cast<std::int64_t>(i * 7919);
    for (std::size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<std::int64_t>(i);
    for (auto _ : state) {
        auto out = qelbo::normal_hash_batch_multi_seed_fast(seeds, idx, 1);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(seeds.size() * idx.size()));
    state.counters["pool"] = static_cast<double>(qelbo::worker_pool_size());
}
BENCHMARK(BM_NormalHashBatch)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

qelbo::Array2 random_points(std::size_t n) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    qelbo::Array2 y(n, 2);
    for (std::size_t i = 0; i < n; ++i) {
        y(i, 0) = u(gen);
        y(i, 1) = u(gen);
    }
    return y;
}

// Both routines run on the calling thread; the thread argument shows that.
void BM_Hypervolume2d(benchmark::State& state) {
    const auto limit = limit_threads(state.range(0));
    const qelbo::Array2 y = random_points(1000000);
    const std::vector<double> ref{0.0, 0.0};
    for (auto _ : state) benchmark::DoNotOptimize(qelbo::hypervolume_2d_max(y, ref));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(y.rows));
}
BENCHMARK(BM_Hypervolume2d)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ParetoFront2d(benchmark::State& state) {
    const auto limit = limit_threads(state.range(0));
    const qelbo::Array2 y = random_points(1000000);
    std::vector<double> a(y.rows), b(y.rows);
    for (std::size_t i = 0; i < y.rows; ++i) a[i] = y(i, 0), b[i] = y(i, 1);
    for (auto _ : state) {
        auto front = qelbo::pareto_front_2d_maximize(a, b);
        benchmark::DoNotOptimize(front.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(a.size()));
}
BENCHMARK(BM_ParetoFront2d)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
