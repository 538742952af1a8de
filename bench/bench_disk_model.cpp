// A disk-backed model next to the in-memory one: posterior and neighbour search of 1,000
// queries at 10k, 100k and 1M stored rows (d = 16, m = 1, k = 10); append throughput for
// batches of 10 and 10,000 rows; persisting after a small change; reopening a store. A
// reopen must find its index on disk: rebuilding it fails the benchmark.

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "qelbo/model/config_file.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"
#include "qelbo/model/posterior.h"

namespace {

using qelbo::Array2;
using qelbo::Vantorix;

constexpr std::size_t kDim = 16, kQueries = 1000;
constexpr int kNeighbours = 10;

Array2 uniform(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Array2 a(rows, cols);
    for (double& v : a.data) v = u(rng);
    return a;
}

// A scratch directory for the whole run, with its own configuration file.
const std::filesystem::path& scratch() {
    static const std::filesystem::path dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "qel-bench-disk-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        qelbo::set_config_path_override(pattern + "/config.toml");
        std::atexit([] { std::filesystem::remove_all(scratch()); });
        return std::filesystem::path(pattern);
    }();
    return dir;
}

Vantorix open_disk(const std::filesystem::path& dir, Array2 x, Array2 y) {
    return Vantorix::new_with_storage(std::move(x), std::move(y), std::nullopt, false, qelbo::IndexDriver::MiRotDisk,
                                      qelbo::StorageMode::Disk, dir.string());
}

struct Models {
    std::unique_ptr<Vantorix> memory;
    std::unique_ptr<Vantorix> disk;
    Array2 queries;
};

// One pair of models per row count, built on first use and kept for the run.
Models& models(std::size_t rows) {
    static std::map<std::size_t, Models> all;
    Models& m = all[rows];
    if (!m.memory) {
        const Array2 x = uniform(rows, kDim, 1), y = uniform(rows, 1, 2);
        m.memory = std::make_unique<Vantorix>(Vantorix::new_with_storage(
            x, y, std::nullopt, false, qelbo::IndexDriver::Exact, qelbo::StorageMode::Memory, std::nullopt));
        m.disk = std::make_unique<Vantorix>(open_disk(scratch() / ("store-" + std::to_string(rows)), x, y));
        m.disk->ensure_index_sync();
        m.queries = uniform(kQueries, kDim, 3);
    }
    return m;
}

const Vantorix& pick(Models& m, bool disk) { return disk ? *m.disk : *m.memory; }

void BM_Posterior(benchmark::State& state) {
    Models& m = models(static_cast<std::size_t>(state.range(0)));
    const Vantorix& model = pick(m, state.range(1) != 0);
    const qelbo::QELParams p = qelbo::QELParams::make(kNeighbours, 1.0, 0.1);
    for (auto _ : state) benchmark::DoNotOptimize(qelbo::posterior(model, m.queries, p, qelbo::PosteriorFlags{}));
    state.SetItemsProcessed(state.iterations() * kQueries);
}

void BM_Neighbours(benchmark::State& state) {
    Models& m = models(static_cast<std::size_t>(state.range(0)));
    const Vantorix& model = pick(m, state.range(1) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(qelbo::index_search(model, m.queries, kNeighbours, false, false));
    state.SetItemsProcessed(state.iterations() * kQueries);
}

void search_args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"rows", "disk"})->Unit(benchmark::kMillisecond)->UseRealTime();
    for (long rows : {10000L, 100000L, 1000000L})
        for (long disk : {0L, 1L}) b->Args({rows, disk});
}
BENCHMARK(BM_Posterior)->Apply(search_args);
BENCHMARK(BM_Neighbours)->Apply(search_args);

// Rows per second through add (the index kept up by its own flushes).
void BM_AddThroughput(benchmark::State& state) {
    const std::size_t batch = static_cast<std::size_t>(state.range(0));
    const std::filesystem::path dir = scratch() / ("add-" + std::to_string(batch));
    std::filesystem::remove_all(dir);
    Vantorix m = open_disk(dir, uniform(1, kDim, 4), uniform(1, 1, 5));
    const Array2 x = uniform(batch, kDim, 6), y = uniform(batch, 1, 7);
    const qelbo::DiskBackendHandle& h = **m.backend().disk();
    for (auto _ : state) {
        m.add(x, y, std::nullopt);
        h.schedule_background_flush();
    }
    h.wait_for_flush();
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(batch));
}
BENCHMARK(BM_AddThroughput)->Arg(10)->Arg(10000)->ArgName("batch")->UseRealTime();

// Persisting after one appended row: the row is indexed, then everything is written.
void BM_PersistAfterAdd(benchmark::State& state) {
    Models& m = models(static_cast<std::size_t>(state.range(0)));
    const qelbo::DiskBackendHandle& h = **m.disk->backend().disk();
    const Array2 x = uniform(1, kDim, 8), y = uniform(1, 1, 9);
    for (auto _ : state) {
        state.PauseTiming();
        m.disk->add(x, y, std::nullopt);
        state.ResumeTiming();
        h.persist_index_to_disk();
    }
}
BENCHMARK(BM_PersistAfterAdd)->Arg(10000)->Arg(100000)->Arg(1000000)->ArgName("rows")->Unit(benchmark::kMillisecond)
    ->UseRealTime();

std::int64_t mtime_ns(const std::filesystem::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : -1;
}

// Opening a persisted store of n rows, checking that its index is read, not rebuilt.
void BM_Reopen(benchmark::State& state) {
    const std::size_t rows = static_cast<std::size_t>(state.range(0));
    const std::filesystem::path dir = scratch() / ("reopen-" + std::to_string(rows));
    if (!std::filesystem::exists(dir / "metadata.json")) {
        Vantorix m = open_disk(dir, uniform(rows, kDim, 10), uniform(rows, 1, 11));
        m.ensure_index_sync();
    }
    const std::int64_t pages_before = mtime_ns(dir / "index" / "pages.bin");
    for (auto _ : state) {
        Vantorix m = open_disk(dir, Array2(0, kDim), Array2(0, 1));
        state.PauseTiming();
        const auto r = (*m.backend().disk())->read();
        if (r->inner.index().fragments.size() != 1 || r->inner.index().indexed_rows != rows)
            state.SkipWithError("the reopened store did not find its index");
        state.ResumeTiming();
    }
    if (mtime_ns(dir / "index" / "pages.bin") != pages_before) state.SkipWithError("reopening rewrote the index");
}
BENCHMARK(BM_Reopen)->Arg(10000)->Arg(100000)->Arg(1000000)->ArgName("rows")->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
