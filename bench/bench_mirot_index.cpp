// Recall and throughput of the disk page index on two workloads:
//   uniform  n rows uniform in [0, 1]^d added in one batch, one sync, uniform queries;
//   stream   rows arriving in batches of 10 around a centre that drifts and shrinks,
//            synced every 250 pending rows as the background flush does, queries near
//            the final centre.
// Each data set is searched with the default tuning and with a wider beam and fragment
// budget. Counters: recall@10 against an exact f64 scan, queries per second (items/s),
// build/sync seconds, bytes on disk (x column file plus the persisted index), resident
// memory after the build, fragment count.
//
// n = 100000 by default; MIROT_BENCH_LARGE=1 adds n = 1000000. MIROT_BENCH_DUMP=DIR
// writes every data set (rows, queries, exact neighbours) for
// bench/bench_hnswlib_reference.py, which runs hnswlib on the same data.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/std_rng.h"
#include "base/worker_pool.h"
#include "mirot/forest_search.h"
#include "mirot/fragment_merge.h"
#include "mirot/incremental_index.h"
#include "mirot/mmap_store.h"
#include "mirot/tuning.h"

namespace {

constexpr std::size_t kQueries = 1000;
constexpr int kK = 10;
constexpr std::size_t kBatch = 10;
constexpr std::uint64_t kSyncEvery = 250;

enum class Workload { Uniform, Stream };

const char* workload_name(Workload w) { return w == Workload::Uniform ? "uniform" : "stream"; }

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double resident_mb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0.0;
}

std::uint64_t dir_bytes(const std::filesystem::path& dir) {
    std::uint64_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

struct Dataset {
    Workload workload;
    std::size_t n, d;
    std::filesystem::path dir;
    std::optional<mirot::MmapColumnStore> x;
    mirot::IncrementalIndex index;
    std::vector<double> queries;
    std::vector<std::int64_t> exact;
    double build_seconds = 0.0;
    std::uint64_t disk_bytes = 0;
    double rss_mb = 0.0;

    ~Dataset() {
        x.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// The exact top k by f64 distance, smaller row on ties, on the pool over queries.
std::vector<std::int64_t> exact_neighbours(const mirot::MmapColumnStore& x, const std::vector<double>& queries,
                                           std::size_t d) {
    const std::size_t nq = queries.size() / d;
    const std::uint64_t n = x.nrows();
    std::vector<std::int64_t> out(nq * kK, -1);
    qelbo::parallel_for_chunks(nq, [&](std::size_t q) {
        std::vector<std::pair<double, std::int64_t>> best;
        const double* query = queries.data() + q * d;
        for (std::uint64_t r = 0; r < n; ++r) {
            const double* row = x.row(r);
            double dist = 0.0;
            for (std::size_t j = 0; j < d; ++j) dist += (row[j] - query[j]) * (row[j] - query[j]);
            if (best.size() == static_cast<std::size_t>(kK) && !(dist < best.back().first)) continue;
            auto item = std::make_pair(dist, static_cast<std::int64_t>(r));
            best.insert(std::upper_bound(best.begin(), best.end(), item), item);
            if (best.size() > static_cast<std::size_t>(kK)) best.pop_back();
        }
        for (std::size_t i = 0; i < best.size(); ++i) out[q * kK + i] = best[i].second;
    });
    return out;
}

void dump(const Dataset& ds, const std::string& to) {
    std::filesystem::create_directories(to);
    const std::string stem = to + "/" + workload_name(ds.workload) + "_" + std::to_string(ds.n) + "_" +
                             std::to_string(ds.d);
    auto write = [](const std::string& path, const void* data, std::size_t bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    };
    write(stem + "_rows.f64", ds.x->data(), ds.n * ds.d * sizeof(double));
    write(stem + "_queries.f64", ds.queries.data(), ds.queries.size() * sizeof(double));
    write(stem + "_exact.i64", ds.exact.data(), ds.exact.size() * sizeof(std::int64_t));
}

std::unique_ptr<Dataset> make_dataset(Workload workload, std::size_t n, std::size_t d) {
    auto ds = std::make_unique<Dataset>();
    ds->workload = workload;
    ds->n = n;
    ds->d = d;
    std::string pattern = (std::filesystem::temp_directory_path() / "mirot-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    ds->dir = pattern;
    ds->x.emplace(mirot::mmap_open_or_create((ds->dir / "train_x.bin").string(), d, std::nullopt));
    ds->index = mirot::IncrementalIndex(ds->dir / "index");
    auto rng = qelbo::StdRng::seed_from_u64(1000 * n + d + (workload == Workload::Stream ? 1 : 0));
    mirot::SyncSource source{*ds->x, std::nullopt, ds->dir, d};

    std::vector<double> centre(d, 0.5);
    double radius = 0.25;
    const auto start = std::chrono::steady_clock::now();
    if (workload == Workload::Uniform) {
        std::vector<double> rows(n * d);
        for (double& v : rows) v = rng.gen_f64();
        ds->x->mmap_append(mirot::BlockView(rows.data(), n, d));
        ds->index.note_pending_rows(mirot::BlockView(rows.data(), n, d), std::nullopt);
        ds->index.ensure_sync(source, n);
    } else {
        const std::size_t batches = n / kBatch;
        std::vector<double> batch(kBatch * d);
        std::uint64_t pending = 0;
        for (std::size_t t = 0; t < batches; ++t) {
            // The region shrinks from 0.25 to 0.005 around a centre that wanders.
            radius = 0.25 * std::pow(0.02, static_cast<double>(t) / static_cast<double>(batches));
            for (double& c : centre) c = std::clamp(c + 0.05 * radius * (2.0 * rng.gen_f64() - 1.0), 0.1, 0.9);
            for (std::size_t i = 0; i < kBatch; ++i)
                for (std::size_t j = 0; j < d; ++j) batch[i * d + j] = centre[j] + radius * (2.0 * rng.gen_f64() - 1.0);
            ds->x->mmap_append(mirot::BlockView(batch.data(), kBatch, d));
            ds->index.note_pending_rows(mirot::BlockView(batch.data(), kBatch, d), std::nullopt);
            pending += kBatch;
            if (pending >= kSyncEvery) {
                ds->index.ensure_sync(source, ds->x->nrows());
                pending = 0;
            }
        }
        ds->index.ensure_sync(source, ds->x->nrows());
    }
    ds->build_seconds = seconds_since(start);

    ds->queries.resize(kQueries * d);
    for (std::size_t q = 0; q < kQueries; ++q)
        for (std::size_t j = 0; j < d; ++j)
            ds->queries[q * d + j] = workload == Workload::Uniform
                                         ? rng.gen_f64()
                                         : centre[j] + radius * (2.0 * rng.gen_f64() - 1.0);

    // What a persist writes: one index concatenating the forest.
    mirot::MirotIndex merged = mirot::concat_merge(ds->index.fragments, ds->dir / "index");
    merged.persist();
    ds->disk_bytes = dir_bytes(ds->dir);
    ds->rss_mb = resident_mb();
    ds->exact = exact_neighbours(*ds->x, ds->queries, d);
    if (const char* to = std::getenv("MIROT_BENCH_DUMP")) dump(*ds, to);
    return ds;
}

// One data set at a time stays alive; the benchmarks are registered grouped by it.
Dataset& dataset(Workload workload, std::size_t n, std::size_t d) {
    static std::unique_ptr<Dataset> current;
    if (!current || current->workload != workload || current->n != n || current->d != d) {
        current.reset();
        current = make_dataset(workload, n, d);
    }
    return *current;
}

mirot::MirotTuning wide_tuning() {
    mirot::MirotTuning t;
    t.search_beam_width = 8;
    t.search_fragment_budget_max = 4;
    t.search_rows_per_fragment = 20000;
    return t;
}

void BM_Search(benchmark::State& state, Workload workload, std::size_t n, std::size_t d, bool wide) {
    Dataset& ds = dataset(workload, n, d);
    const mirot::MirotTuning tuning = wide ? wide_tuning() : mirot::MirotTuning{};
    mirot::set_tuning_provider([tuning] { return tuning; });

    mirot::SearchInputs in;
    in.x_store = &*ds.x;
    in.num_dim = d;
    in.fragments = ds.index.fragments;
    in.indexed_rows = ds.index.indexed_rows;
    mirot::SmallNCache cache;
    const mirot::BlockView queries(ds.queries.data(), kQueries, d);

    mirot::SearchResult result;
    for (auto _ : state) {
        result = mirot::forest_search(in, cache, queries, kK, false);
        benchmark::DoNotOptimize(result.indices.data());
    }
    std::size_t hits = 0;
    for (std::size_t q = 0; q < kQueries; ++q) {
        const auto* exact = ds.exact.data() + q * kK;
        for (int i = 0; i < kK; ++i) {
            const std::int64_t found = result.indices[q * result.out_k + i];
            if (std::find(exact, exact + kK, found) != exact + kK) ++hits;
        }
    }
    mirot::set_tuning_provider([] { return mirot::MirotTuning{}; });

    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kQueries));
    state.counters["recall@10"] = static_cast<double>(hits) / static_cast<double>(kQueries * kK);
    state.counters["build_s"] = ds.build_seconds;
    state.counters["disk_MB"] = static_cast<double>(ds.disk_bytes) / 1e6;
    state.counters["rss_MB"] = ds.rss_mb;
    state.counters["fragments"] = static_cast<double>(ds.index.fragments.size());
}

// Registered while the program starts, before the benchmark library reads its flags.
const bool registered = [] {
    std::vector<std::size_t> sizes{100000};
    if (const char* large = std::getenv("MIROT_BENCH_LARGE"); large && std::string(large) == "1")
        sizes.push_back(1000000);
    for (std::size_t n : sizes)
        for (Workload w : {Workload::Uniform, Workload::Stream})
            for (std::size_t d : {8u, 32u})
                for (bool wide : {false, true}) {
                    const std::string name = std::string("MirotSearch/") + workload_name(w) + "/n:" +
                                             std::to_string(n) + "/d:" + std::to_string(d) +
                                             (wide ? "/wide" : "/default");
                    benchmark::RegisterBenchmark(name.c_str(), BM_Search, w, n, d, wide)
                        ->Iterations(5)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
    return true;
}();

}  // namespace
