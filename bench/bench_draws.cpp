// Posterior function draws: 64 seeds x 10,000 queries on a 100,000-row model.
// The "threads:1" variants cap the worker pool at one thread; the others use every core.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <random>
#include <vector>

#include <tbb/global_control.h>

#include "qelbo/fit/draw.h"
#include "qelbo/fit/draw_compute.h"
#include "qelbo/model/model.h"
#include "qelbo/model/posterior.h"
#include "base/worker_pool.h"

using namespace qelbo;

namespace {

constexpr std::size_t kRows = 100000;
constexpr std::size_t kQueries = 10000;
constexpr std::size_t kSeeds = 64;
constexpr std::size_t kDim = 4;

Array2 uniform_rows(std::mt19937_64& g, std::size_t n, std::size_t d) {
    std::uniform_real_distribution<double> u;
    Array2 a(n, d);
    for (double& v : a.data) v = u(g);
    return a;
}

struct Fixture {
    Vantorix model;
    Array2 queries;
    std::vector<std::int64_t> seeds;
};

Fixture& fixture() {
    static Fixture f = [] {
        std::mt19937_64 g(1);
        Array2 x = uniform_rows(g, kRows, kDim);
        Array2 y = uniform_rows(g, kRows, 1);
        Vantorix model = Vantorix::new_with_storage(std::move(x), std::move(y), std::nullopt, false,
                                                    IndexDriver::Exact, StorageMode::Memory, std::nullopt);
        Array2 q = uniform_rows(g, kQueries, kDim);
        std::vector<std::int64_t> seeds(kSeeds);
        for (std::size_t s = 0; s < kSeeds; ++s) seeds[s] = static_cast<std::int64_t>(s);
        return Fixture{std::move(model), std::move(q), std::move(seeds)};
    }();
    return f;
}

std::optional<tbb::global_control> limit(const benchmark::State& state) {
    if (state.range(0) == 1) return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    return std::nullopt;
}

// The whole call: neighbour search, weights, then the draws.
void BM_PosteriorFunctionDraw(benchmark::State& state) {
    Fixture& f = fixture();
    const auto cap = limit(state);
    const QELParams params = QELParams::make(10, 1.0, 0.01);
    for (auto _ : state) {
        FunctionDraws d = posterior_function_draw(f.model, view_of(f.queries), params, f.seeds, PosteriorFlags{});
        benchmark::DoNotOptimize(d.draws.data.data());
    }
    state.counters["pool_threads"] = static_cast<double>(state.range(0) == 1 ? 1 : worker_pool_size());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSeeds * kQueries));
}

// The drawing step alone, from precomputed internals.
void BM_DrawFromInternals(benchmark::State& state) {
    Fixture& f = fixture();
    const auto cap = limit(state);
    static const DrawInternals internals =
        compute_posterior_internals(f.model, view_of(f.queries), QELParams::make(10, 1.0, 0.01), PosteriorFlags{});
    for (auto _ : state) {
        Array3 d = draw_from_internals(1, internals, f.seeds);
        benchmark::DoNotOptimize(d.data.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSeeds * kQueries));
}

}  // namespace

BENCHMARK(BM_PosteriorFunctionDraw)->ArgName("threads")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawFromInternals)->ArgName("threads")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
