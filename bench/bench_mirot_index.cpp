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

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mirot_datasets.h"
#include "mirot/forest_search.h"
#include "mirot/tuning.h"

namespace {

using bench::Dataset;
using bench::kK;
using bench::kQueries;
using bench::Workload;
using bench::workload_name;

void dump(const Dataset& ds, const std::vector<std::int64_t>& exact, const std::string& to) {
    std::filesystem::create_directories(to);
    const std::string stem = to + "/" + workload_name(ds.workload) + "_" + std::to_string(ds.n) + "_" +
                             std::to_string(ds.d);
    auto write = [](const std::string& path, const void* data, std::size_t bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
    };
    write(stem + "_rows.f64", ds.x->data(), ds.n * ds.d * sizeof(double));
    write(stem + "_queries.f64", ds.queries.data(), ds.queries.size() * sizeof(double));
    write(stem + "_exact.i64", exact.data(), exact.size() * sizeof(std::int64_t));
}

struct Current {
    std::unique_ptr<Dataset> ds;
    std::vector<std::int64_t> exact;  // by f64 distance
};

// One data set at a time stays alive; the benchmarks are registered grouped by it.
Current& dataset(Workload workload, std::size_t n, std::size_t d) {
    static Current current;
    if (!current.ds || current.ds->workload != workload || current.ds->n != n || current.ds->d != d) {
        current.ds.reset();
        current.ds = bench::make_dataset(workload, n, d);
        current.exact = bench::exact_neighbours(*current.ds->x, current.ds->queries, d, false);
        if (const char* to = std::getenv("MIROT_BENCH_DUMP")) dump(*current.ds, current.exact, to);
    }
    return current;
}

mirot::MirotTuning wide_tuning() {
    mirot::MirotTuning t;
    t.search_beam_width = 8;
    t.search_fragment_budget_max = 4;
    t.search_rows_per_fragment = 20000;
    return t;
}

void BM_Search(benchmark::State& state, Workload workload, std::size_t n, std::size_t d, bool wide) {
    Current& cur = dataset(workload, n, d);
    Dataset& ds = *cur.ds;
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
    const double recall = bench::recall_at_k(result.indices, result.out_k, cur.exact, kQueries, false);
    mirot::set_tuning_provider([] { return mirot::MirotTuning{}; });

    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kQueries));
    state.counters["recall@10"] = recall;
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
