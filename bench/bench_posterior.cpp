// Posterior of 10,000 queries against 100,000 stored rows (d = 16, m = 1, k = 10),
// next to a bare FAISS flat search of the same queries on the same data.

#include <benchmark/benchmark.h>
#include <faiss/IndexFlat.h>

#include <random>
#include <vector>

#include "qelbo/model/model.h"
#include "qelbo/model/posterior.h"

namespace {

constexpr std::size_t kRows = 100000, kDim = 16, kQueries = 10000;
constexpr int kNeighbours = 10;

struct Data {
    qelbo::Array2 x{kRows, kDim}, y{kRows, 1}, q{kQueries, kDim};
    Data() {
        std::mt19937_64 rng(42);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (double& v : x.data) v = u(rng);
        for (double& v : y.data) v = u(rng);
        for (double& v : q.data) v = u(rng);
    }
};

const Data& data() {
    static const Data d;
    return d;
}

void BM_BareFaissFlatSearch(benchmark::State& state) {
    const Data& d = data();
    faiss::IndexFlatL2 index(kDim);
    std::vector<float> xf(d.x.data.begin(), d.x.data.end()), qf(d.q.data.begin(), d.q.data.end());
    index.add(kRows, xf.data());
    std::vector<float> dist(kQueries * kNeighbours);
    std::vector<faiss::Index::idx_t> labels(kQueries * kNeighbours);
    for (auto _ : state) {
        index.search(kQueries, qf.data(), kNeighbours, dist.data(), labels.data());
        benchmark::DoNotOptimize(labels.data());
    }
}

void BM_Posterior(benchmark::State& state) {
    const Data& d = data();
    qelbo::Vantorix model = qelbo::Vantorix::new_with_storage(d.x, d.y, std::nullopt, false, qelbo::IndexDriver::Exact,
                                                              qelbo::StorageMode::Memory, std::nullopt);
    const qelbo::QELParams params = qelbo::QELParams::make(kNeighbours, 1.0, 0.1);
    const qelbo::PosteriorFlags flags{false, false, state.range(0) != 0};
    for (auto _ : state) {
        qelbo::QELNormal r = qelbo::posterior(model, qelbo::view_of(d.q), params, flags);
        benchmark::DoNotOptimize(r.mean.data.data());
    }
}

}  // namespace

BENCHMARK(BM_BareFaissFlatSearch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Posterior)->Arg(1)->Arg(0)->ArgName("tie_break")->Unit(benchmark::kMillisecond)->UseRealTime();
