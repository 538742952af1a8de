#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "base/std_rng.h"

namespace {

void BM_NextU64(benchmark::State& state) {
    auto rng = qelbo::StdRng::seed_from_u64(42);
    for (auto _ : state) benchmark::DoNotOptimize(rng.next_u64());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_NextU64);

void BM_GenF64(benchmark::State& state) {
    auto rng = qelbo::StdRng::seed_from_u64(42);
    for (auto _ : state) benchmark::DoNotOptimize(rng.gen_f64());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_GenF64);

void BM_FillBytes(benchmark::State& state) {
    auto rng = qelbo::StdRng::seed_from_u64(42);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        rng.fill_bytes(buf.data(), buf.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FillBytes)->Arg(32)->Arg(4096);

void BM_GenRangeUsize(benchmark::State& state) {
    auto rng = qelbo::StdRng::seed_from_u64(42);
    for (auto _ : state) benchmark::DoNotOptimize(rng.gen_range_usize(0, 1000003));
}
BENCHMARK(BM_GenRangeUsize);

void BM_IndexSample(benchmark::State& state) {
    auto rng = qelbo::StdRng::seed_from_u64(42);
    for (auto _ : state) benchmark::DoNotOptimize(qelbo::index_sample(rng, 100000, static_cast<std::uint64_t>(state.range(0))));
}
BENCHMARK(BM_IndexSample)->Arg(40)->Arg(170)->Arg(2000);

}  // namespace
