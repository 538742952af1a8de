// The disk search and ingest against their in-memory counterparts, with the targets they
// are held to. A plain timing program; each section runs in a child process of its own, so
// that it gets its own worker pool size and CPU pinning:
//   small      exact small-data path: 4,096 x 20 rows, 20,000 queries, k = 10, next to
//              FAISS's flat search; rows scored per second per thread, queries per second.
//   tuning     page index search of the stream (adds of 10, synced as the background
//              flush does) at n x 32, k = 10, for five [mirot] search settings: us per
//              query and recall@10 against an exact f32 scan, next to FAISS's flat search.
//   tail       a disk model's scan of rows not yet indexed next to the in-memory exact
//              search, 200,000 x 32 rows, 1,000 queries, through the model's search;
//              at the default pool size, then at one thread.
//   optimizer  one ask(10) + tell of the neighbour-surrogate optimizer at 1,000 rows,
//              d = 20, disk storage next to memory storage; at the default pool size,
//              then at one thread.
//   posterior  a disk model's posterior next to an in-memory model's on the same rows
//              (1,010 x 20 and 100,000 x 20 uniform rows, indexed, 20,000 queries, k = 10),
//              and at 100,000 rows next to the disk model's own neighbour search
//              (`neighbors`) and index probe; at the default pool size, then at one thread.
//   ingest     adds of 10 rows of the stream (d = 32) to a disk model, each followed by
//              schedule_background_flush as the optimizer's tell does; us per add over
//              the adds of the last tenth of the rows before each of 50k, 100k, 400k, 600k, 1M rows.
//   recall     recall@10 of the five search settings on the stream with adds of 10 and 1,000
//              rows, on uniform rows loaded in one add and (at 100,000 rows) on the rows
//              TuRBO-ZERO proposes in adds of 10, d = 8 and 32 (default pool).
// The small, tuning, tail and posterior sections print a digest of their answers (neighbour ids and
// distance bits): a change that keeps every answer keeps every digest.
// Sections other than tail, optimizer, posterior and recall run on one thread (RAYON_NUM_THREADS=1, one OpenMP
// thread). n = 100,000 for tuning, ingest and recall; MIROT_BENCH_LARGE=1 makes it
// 1,000,000 (recall then runs both). MIROT_BENCH_CPUS=5,6 pins the one-thread sections to
// CPU 5 and ingest (whose background index builds run beside the adds) to CPUs 5 and 6.
//
//   bench_disk_speed [section ...]     (default: every section but recall)

#include <omp.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <faiss/IndexFlat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/std_rng.h"
#include "base/worker_pool.h"
#include "mirot/forest_search.h"
#include "mirot/mmap_store.h"
#include "mirot/tuning.h"
#include "mirot_datasets.h"
#include "qelbo/core/array.h"
#include "qelbo/model/config_file.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/model.h"
#include "qelbo/model/neighbor.h"
#include "qelbo/model/posterior.h"
#include "qelbo/optimizer/config.h"
#include "qelbo/optimizer/optimizer.h"

namespace {

using Clock = std::chrono::steady_clock;
using qelbo::Array2;
using qelbo::Vantorix;

// Results a child hands to the parent, one "key value" line each.
FILE* g_results = nullptr;
std::filesystem::path g_scratch;

void result(const std::string& key, double value) {
    std::fprintf(g_results, "%s %.17g\n", key.c_str(), value);
    std::fflush(g_results);
}

bool large() {
    const char* v = std::getenv("MIROT_BENCH_LARGE");
    return v && std::string(v) == "1";
}

std::vector<int> bench_cpus() {
    std::vector<int> cpus;
    if (const char* v = std::getenv("MIROT_BENCH_CPUS")) {
        std::stringstream in(v);
        std::string item;
        while (std::getline(in, item, ','))
            if (!item.empty()) cpus.push_back(std::atoi(item.c_str()));
    }
    return cpus;
}

void pin(const std::vector<int>& cpus) {
    if (cpus.empty()) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int c : cpus) CPU_SET(c, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

// Seconds of each of `reps` runs of fn, ascending.
std::vector<double> timed(int reps, const std::function<void()>& fn) {
    std::vector<double> s;
    for (int r = 0; r < reps; ++r) {
        const auto start = Clock::now();
        fn();
        s.push_back(bench::seconds_since(start));
    }
    std::sort(s.begin(), s.end());
    return s;
}

// Seconds of each of `reps` runs of every call, the calls taking turns so that a drift of
// the machine reaches them alike; ascending per call.
std::vector<std::vector<double>> timed_in_turn(int reps, const std::vector<std::function<void()>>& calls) {
    std::vector<std::vector<double>> s(calls.size());
    for (int r = 0; r < reps; ++r) {
        for (std::size_t c = 0; c < calls.size(); ++c) {
            const auto start = Clock::now();
            calls[c]();
            s[c].push_back(bench::seconds_since(start));
        }
    }
    for (std::vector<double>& v : s) std::sort(v.begin(), v.end());
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

double mean(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return v.empty() ? 0.0 : s / static_cast<double>(v.size());
}

Array2 uniform(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(seed);
    Array2 a(rows, cols);
    for (double& v : a.data) v = rng.gen_f64();
    return a;
}

std::vector<float> narrowed(const double* v, std::size_t count) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(v[i]);
    return out;
}

// A digest of neighbour ids and distance bits, to compare answers across builds: a change
// that keeps every answer keeps every digest.
std::uint64_t answer_digest(const std::vector<std::int64_t>& ids, const std::vector<double>& distances) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](std::uint64_t v) {
        for (int b = 0; b < 8; ++b) {
            h ^= (v >> (8 * b)) & 0xff;
            h *= 0x100000001b3ULL;
        }
    };
    for (std::int64_t v : ids) mix(static_cast<std::uint64_t>(v));
    for (double v : distances) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        mix(bits);
    }
    return h;
}

// FAISS's exact flat search over the same rows narrowed to f32.
struct FaissFlat {
    faiss::IndexFlatL2 index;
    FaissFlat(const double* rows, std::size_t n, std::size_t d) : index(static_cast<faiss::Index::idx_t>(d)) {
        const std::vector<float> r = narrowed(rows, n * d);
        index.add(static_cast<faiss::Index::idx_t>(n), r.data());
    }
    std::vector<faiss::Index::idx_t> search(const std::vector<float>& queries, std::size_t nq, int k) const {
        std::vector<float> dist(nq * static_cast<std::size_t>(k));
        std::vector<faiss::Index::idx_t> ids(nq * static_cast<std::size_t>(k));
        index.search(static_cast<faiss::Index::idx_t>(nq), queries.data(), k, dist.data(), ids.data());
        return ids;
    }
};

std::unique_ptr<Vantorix> disk_model(const std::filesystem::path& dir, const Array2& x, const Array2& y) {
    return std::make_unique<Vantorix>(Vantorix::new_with_storage(x, y, std::nullopt, false,
                                                                 qelbo::IndexDriver::MiRotDisk,
                                                                 qelbo::StorageMode::Disk, dir.string()));
}

// ---------------------------------------------------------------------------

void section_small() {
    constexpr std::size_t n = 4096, d = 20, nq = 20000;
    const Array2 rows = uniform(n, d, 11), queries = uniform(nq, d, 12);
    const std::filesystem::path dir = g_scratch / "small";
    std::filesystem::create_directories(dir);
    mirot::MmapColumnStore store = mirot::mmap_open_or_create((dir / "train_x.bin").string(), d, std::nullopt);
    store.mmap_append(mirot::BlockView(rows.data.data(), n, d));
    mirot::SearchInputs in;
    in.x_store = &store;
    in.num_dim = d;
    mirot::SmallNCache cache;
    const mirot::BlockView q(queries.data.data(), nq, d);
    mirot::SearchResult res = mirot::forest_search(in, cache, q, bench::kK, false);  // builds the cached f32 copy
    const std::vector<double> t = timed(3, [&] { res = mirot::forest_search(in, cache, q, bench::kK, false); });
    const double threads = static_cast<double>(qelbo::worker_pool_size());

    FaissFlat flat(rows.data.data(), n, d);
    const std::vector<float> q32 = narrowed(queries.data.data(), nq * d);
    const std::vector<double> tf = timed(3, [&] { flat.search(q32, nq, bench::kK); });

    const double scored = static_cast<double>(n) * static_cast<double>(nq);
    std::printf("small-data path, %zu x %zu rows, %zu queries, k = 10, pool %g thread(s)\n", n, d, nq, threads);
    std::printf("  %-22s %10.3g rows/s/thread %10.0f queries/s  (%.1f ns per row)\n", "mirot forest_search",
                scored / t[0] / threads, static_cast<double>(nq) / t[0], t[0] * threads / scored * 1e9);
    std::printf("  %-22s %10.3g rows/s/thread %10.0f queries/s  (%.1f ns per row)\n", "faiss IndexFlatL2",
                scored / tf[0], static_cast<double>(nq) / tf[0], tf[0] / scored * 1e9);
    std::printf("  answer digest %016llx\n", static_cast<unsigned long long>(answer_digest(res.indices, res.distances)));
    result("small_mirot_qps", static_cast<double>(nq) / t[0]);
    result("small_faiss_qps", static_cast<double>(nq) / tf[0]);
}

// ---------------------------------------------------------------------------

struct Setting {
    const char* name;
    std::uint64_t beam, budget, rows_per_fragment;
};

// The default tuning, a wider beam, a larger fragment budget, both, and the widest.
std::vector<Setting> search_settings() {
    const mirot::MirotTuning defaults;
    return {
        {"default", defaults.search_beam_width, defaults.search_fragment_budget_max, defaults.search_rows_per_fragment},
        {"beam4", 4, 1, defaults.search_rows_per_fragment},
        {"budget4", 1, 4, defaults.search_rows_per_fragment},
        {"beam4-budget2", 4, 2, defaults.search_rows_per_fragment},
        {"wide", 8, 4, 20000},
    };
}

mirot::MirotTuning tuning_of(const Setting& s) {
    mirot::MirotTuning t;
    t.search_beam_width = s.beam;
    t.search_fragment_budget_max = s.budget;
    t.search_rows_per_fragment = s.rows_per_fragment;
    return t;
}

// The search over a data set's rows and page index.
mirot::SearchInputs search_inputs(const bench::Dataset& ds, std::size_t d) {
    mirot::SearchInputs in;
    in.x_store = &*ds.x;
    in.num_dim = d;
    in.fragments = ds.index.fragments;
    in.indexed_rows = ds.index.indexed_rows;
    return in;
}

void section_tuning() {
    const std::size_t n = large() ? 1000000 : 100000, d = 32;
    std::printf("page index search, stream with adds of 10, %zu x %zu, %zu queries, k = 10, one thread\n", n, d,
                bench::kQueries);
    std::fflush(stdout);
    auto ds = bench::make_dataset(bench::Workload::Stream, n, d, 10);
    const std::vector<std::int64_t> exact = bench::exact_neighbours(*ds->x, ds->queries, d, true);
    std::printf("  built in %.1f s, %zu fragments, %.0f MB on disk\n", ds->build_seconds, ds->index.fragments.size(),
                static_cast<double>(ds->disk_bytes) / 1e6);

    const mirot::SearchInputs in = search_inputs(*ds, d);
    mirot::SmallNCache cache;
    const mirot::BlockView queries(ds->queries.data(), bench::kQueries, d);
    for (const Setting& s : search_settings()) {
        const mirot::MirotTuning t = tuning_of(s);
        mirot::set_tuning_provider([t] { return t; });
        mirot::SearchResult res = mirot::forest_search(in, cache, queries, bench::kK, false);
        const std::vector<double> secs =
            timed(5, [&] { res = mirot::forest_search(in, cache, queries, bench::kK, false); });
        std::size_t shorts = 0;
        const double recall = bench::recall_at_k(res.indices, res.out_k, exact, bench::kQueries, true, &shorts);
        const double us = secs[0] / static_cast<double>(bench::kQueries) * 1e6;
        std::printf("  %-14s beam %2llu budget %llu rows/fragment %6llu: %8.1f us/query (median %.1f) %8.0f q/s "
                    "recall@10 %.4f (%zu short answers, completed exactly by the model)\n",
                    s.name, static_cast<unsigned long long>(s.beam), static_cast<unsigned long long>(s.budget),
                    static_cast<unsigned long long>(s.rows_per_fragment), us,
                    median(secs) / static_cast<double>(bench::kQueries) * 1e6, 1e6 / us, recall, shorts);
        std::printf("  %-14s answer digest %016llx\n", "", static_cast<unsigned long long>(answer_digest(res.indices, res.distances)));
        std::fflush(stdout);
        result(std::string("tuning_") + s.name + "_us", us);
        result(std::string("tuning_") + s.name + "_recall", recall);
    }
    mirot::set_tuning_provider([] { return mirot::MirotTuning{}; });

    // FAISS on a quarter of the queries: its flat search costs milliseconds per query here.
    const std::size_t nq = bench::kQueries / 4;
    FaissFlat flat(ds->x->data(), n, d);
    const std::vector<float> q32 = narrowed(ds->queries.data(), nq * d);
    std::vector<faiss::Index::idx_t> ids;
    const std::vector<double> tf = timed(2, [&] { ids = flat.search(q32, nq, bench::kK); });
    const std::vector<std::int64_t> found(ids.begin(), ids.end());
    const double us = tf[0] / static_cast<double>(nq) * 1e6;
    std::printf("  %-14s %44s %8.1f us/query (%.2f ns per row) recall@10 %.4f\n", "faiss flat", "", us,
                us * 1e3 / static_cast<double>(n),
                bench::recall_at_k(found, bench::kK, exact, nq, false));
    result("tuning_faiss_us", us);
    result("tuning_rows", static_cast<double>(n));
}

// ---------------------------------------------------------------------------

void section_tail() {
    constexpr std::size_t n = 200000, d = 32;
    const std::size_t threads = qelbo::worker_pool_size();
    const std::size_t nq = threads == 1 ? 200 : 1000;
    const Array2 x = uniform(n, d, 21), y = uniform(n, 1, 22), queries = uniform(nq, d, 23);
    const std::filesystem::path dir = g_scratch / ("tail-" + std::to_string(threads));
    auto disk = disk_model(dir, x, y);
    const std::uint64_t indexed = (*disk->backend().disk())->read()->inner.index().indexed_rows;
    if (indexed != 0) std::printf("  (the disk model indexed %llu rows at creation)\n", static_cast<unsigned long long>(indexed));
    const Vantorix memory = Vantorix::new_with_storage(x, y, std::nullopt, false, qelbo::IndexDriver::Exact,
                                                       qelbo::StorageMode::Memory, std::nullopt);
    const qelbo::MatView q = qelbo::view_of(queries);
    qelbo::SearchResult rd, rm;
    const int reps = threads == 1 ? 2 : 3;
    const std::vector<double> td = timed(reps, [&] { rd = qelbo::index_search(*disk, q, bench::kK, false, false); });
    const std::vector<double> tm = timed(reps, [&] { rm = qelbo::index_search(memory, q, bench::kK, false, false); });
    const bool same = rd.indices.data == rm.indices.data;
    std::printf("exact search of %zu x %zu rows none of them indexed, %zu queries, k = 10, pool %zu thread(s)%s\n", n,
                d, nq, threads, same ? "" : "  (the answers differ)");
    std::printf("  %-22s %8.3f ms/query-batch %8.1f us/query\n", "disk model (unindexed)", td[0] * 1e3,
                td[0] / static_cast<double>(nq) * 1e6);
    std::printf("  %-22s %8.3f ms/query-batch %8.1f us/query\n", "memory model (FAISS)", tm[0] * 1e3,
                tm[0] / static_cast<double>(nq) * 1e6);
    std::printf("  ratio disk / memory %.2f\n", td[0] / tm[0]);
    std::printf("  disk answer digest %016llx\n",
                static_cast<unsigned long long>(answer_digest(rd.indices.data, rd.distances.data)));
    result(threads == 1 ? "tail1_ratio" : "tail_ratio", td[0] / tm[0]);
}

// ---------------------------------------------------------------------------

Array2 objective(const Array2& x) {
    Array2 y(x.rows, 1);
    for (std::size_t i = 0; i < x.rows; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < x.cols; ++j) s -= (x(i, j) - 0.3) * (x(i, j) - 0.3);
        y(i, 0) = s;
    }
    return y;
}

// Median seconds of one ask(10) + tell at `rows` told rows.
double optimizer_iteration(bool on_disk, std::size_t rows, std::size_t d) {
    Array2 bounds(d, 2);
    for (std::size_t j = 0; j < d; ++j) bounds(j, 1) = 1.0;
    qelbo::OptimizerConfig config = qelbo::OptimizerConfig::turbo_qel(10);
    if (on_disk) {
        qelbo::ConfigOverrides o;
        o.qel_storage = qelbo::StorageMode::Disk;
        o.index_driver = qelbo::IndexDriver::MiRotDisk;
        o.work_dir = (g_scratch / "optimizer").string();
        config = o.apply_to(std::move(config));
    }
    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(0);
    qelbo::Optimizer opt = qelbo::Optimizer::new_with_strategy(
        std::move(bounds), std::move(config), qelbo::StrategyState::init_then_trust_region(rows), rng);
    const Array2 x0 = uniform(rows, d, 31);
    opt.tell(qelbo::view_of(x0), qelbo::view_of(objective(x0)), 0);
    std::vector<double> secs;
    for (std::uint64_t s = 1; s <= 23; ++s) {
        const auto start = Clock::now();
        const Array2 x = opt.ask(10, s);
        opt.tell(qelbo::view_of(x), qelbo::view_of(objective(x)), s);
        if (s > 3) secs.push_back(bench::seconds_since(start));  // the first few warm the caches
    }
    std::printf("  %-8s %8.2f ms per iteration (median of %zu; mean %.2f), %llu candidates\n",
                on_disk ? "disk" : "memory", median(secs) * 1e3, secs.size(), mean(secs) * 1e3,
                static_cast<unsigned long long>(opt.telemetry.num_candidates));
    return median(secs);
}

void section_optimizer() {
    const std::size_t threads = qelbo::worker_pool_size();
    std::printf("optimizer ask(10) + tell at 1,000 rows, d = 20, pool %zu thread(s)\n", threads);
    const double memory = optimizer_iteration(false, 1000, 20);
    const double disk = optimizer_iteration(true, 1000, 20);
    std::printf("  ratio disk / memory %.2f\n", disk / memory);
    result(threads == 1 ? "optimizer1_ratio" : "optimizer_ratio", disk / memory);
}

// ---------------------------------------------------------------------------

// A digest of a posterior's neighbour ids and moment bits.
std::uint64_t posterior_digest(const qelbo::QELNormal& r) {
    std::vector<double> moments;
    for (const qelbo::NdArray* a : {&r.mean, &r.total_std, &r.epistemic_std, &r.aleatoric_std})
        moments.insert(moments.end(), a->data.begin(), a->data.end());
    return answer_digest(r.neighbor_indices ? r.neighbor_indices->data : std::vector<std::int64_t>{}, moments);
}

void section_posterior() {
    constexpr std::size_t d = 20, nq = 20000;
    const std::size_t threads = qelbo::worker_pool_size();
    const qelbo::QELParams params = qelbo::QELParams::make(bench::kK, 1.0, 0.1);
    // The bindings' default: ties at the k-th distance go to the smaller row.
    const qelbo::PosteriorFlags flags{false, false, true};
    const Array2 queries = uniform(nq, d, 43);
    const qelbo::MatView q = qelbo::view_of(queries);
    const std::string tag = threads == 1 ? "1" : "";
    for (const std::size_t n : {std::size_t{1010}, std::size_t{100000}}) {
        const Array2 x = uniform(n, d, 41), y = uniform(n, 1, 42);
        auto disk = disk_model(g_scratch / ("posterior-" + std::to_string(n)), x, y);
        disk->ensure_index_sync();
        const Vantorix memory = Vantorix::new_with_storage(x, y, std::nullopt, false, qelbo::IndexDriver::Exact,
                                                           qelbo::StorageMode::Memory, std::nullopt);
        qelbo::QELNormal pd, pm;
        qelbo::SearchResult rn, rp;
        const bool probes = n >= 100000;
        std::vector<std::function<void()>> calls = {[&] { pd = qelbo::posterior(*disk, q, params, flags); },
                                                    [&] { pm = qelbo::posterior(memory, q, params, flags); }};
        if (probes) {
            calls.push_back([&] { rn = qelbo::search_with_exact_fallback(*disk, q, bench::kK, false); });
            calls.push_back([&] { rp = qelbo::index_search(*disk, q, bench::kK, false, true); });
        }
        const std::vector<std::vector<double>> t = timed_in_turn(5, calls);
        const std::vector<double>&td = t[0], &tm = t[1];
        std::printf("posterior of %zu queries at %zu x %zu rows, k = 10, pool %zu thread(s)\n", nq, n, d, threads);
        std::printf("  %-28s %8.2f ms (median %.2f)\n", "disk model", td[0] * 1e3, median(td) * 1e3);
        std::printf("  %-28s %8.2f ms (median %.2f)\n", "memory model", tm[0] * 1e3, median(tm) * 1e3);
        std::printf("  ratio disk / memory %.2f\n", td[0] / tm[0]);
        std::printf("  disk answer digest %016llx\n", static_cast<unsigned long long>(posterior_digest(pd)));
        // The full path (observation noise) too, untimed: its weighting differs from the light path's.
        const qelbo::QELNormal full = qelbo::posterior(*disk, q, params, {false, true, true});
        std::printf("  disk answer digest, full path %016llx\n", static_cast<unsigned long long>(posterior_digest(full)));
        const std::string key = "posterior" + tag + "_" + std::to_string(n);
        result(key + "_ratio", td[0] / tm[0]);
        if (!probes) continue;
        const std::vector<double>&tn = t[2], &tp = t[3];
        std::printf("  %-28s %8.2f ms (median %.2f)\n", "disk model neighbors", tn[0] * 1e3, median(tn) * 1e3);
        std::printf("  %-28s %8.2f ms (median %.2f)\n", "disk model index probe", tp[0] * 1e3, median(tp) * 1e3);
        std::printf("  posterior / neighbors %.2f, index probe / neighbors %.2f\n", td[0] / tn[0], tp[0] / tn[0]);
        std::printf("  index probe answer digest %016llx\n",
                    static_cast<unsigned long long>(answer_digest(rp.indices.data, rp.distances.data)));
        result(key + "_over_neighbors", td[0] / tn[0]);
        result("probe" + tag + "_over_neighbors", tp[0] / tn[0]);
    }
}

// ---------------------------------------------------------------------------

void section_ingest() {
    const std::size_t n = large() ? 1000000 : 100000, d = 32, batch = 10;
    std::printf("ingest of %zu x %zu in adds of %zu, schedule_background_flush after each\n", n, d, batch);
    std::fflush(stdout);
    bench::StreamRows stream(d, n / batch, 41);
    std::vector<double> rows;
    stream.next(batch, rows);
    Array2 x(batch, d), y(batch, 1);
    x.data = rows;
    auto model = disk_model(g_scratch / "ingest", x, y);
    const qelbo::DiskBackendHandle& h = **model->backend().disk();
    // Per add, in three parts: waiting for the background index build still running (an add
    // joins it before it appends; done here just before, so that it can be timed apart), the
    // append itself (where the row files grow) and scheduling the next build.
    std::vector<double> wait_us, append_us, flush_us, total_us;
    wait_us.reserve(n / batch);
    append_us.reserve(n / batch);
    flush_us.reserve(n / batch);
    total_us.reserve(n / batch);
    const std::vector<std::size_t> marks = {50000, 100000, 400000, 600000, 1000000};
    const auto start = Clock::now();
    // The adds of the last tenth of the rows: a window that takes in the occasional slow add
    // (a compaction waited for) as often at every size.
    std::size_t window = 0;
    auto tail_of = [&](const std::vector<double>& v) {
        return std::vector<double>(v.end() - static_cast<std::ptrdiff_t>(std::min(window, v.size())), v.end());
    };
    for (std::size_t total = batch; total < n;) {
        stream.next(batch, rows);
        x.data = rows;
        for (std::size_t i = 0; i < batch; ++i) y(i, 0) = rows[i * d];
        const auto t0 = Clock::now();
        h.wait_for_flush();
        const auto t1 = Clock::now();
        model->add(qelbo::view_of(x), qelbo::view_of(y), std::nullopt);
        const auto t2 = Clock::now();
        h.schedule_background_flush();
        const auto t3 = Clock::now();
        wait_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        append_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
        flush_us.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
        total_us.push_back(std::chrono::duration<double, std::micro>(t3 - t0).count());
        total += batch;
        if (std::find(marks.begin(), marks.end(), total) != marks.end()) {
            window = total / 10 / batch;
            const std::vector<double> all = tail_of(total_us);
            std::printf("  at %7zu rows: %8.1f us per add (mean of the last %zu: waiting for the build %.1f + append "
                        "%.1f + scheduling %.1f; median %.1f, max %.0f)\n",
                        total, mean(all), window, mean(tail_of(wait_us)), mean(tail_of(append_us)),
                        mean(tail_of(flush_us)), median(all), *std::max_element(all.begin(), all.end()));
            result("ingest_append_" + std::to_string(total / 1000) + "k", mean(tail_of(append_us)));
            std::fflush(stdout);
            result("ingest_" + std::to_string(total / 1000) + "k", mean(all));
        }
    }
    h.wait_for_flush();
    std::printf("  %zu rows in %.1f s\n", n, bench::seconds_since(start));
}

// ---------------------------------------------------------------------------

// The rows TuRBO-ZERO proposes on the bowl objective, told in adds of 10: an optimizer's own
// stream, trust-region restarts included. The next 1,000 rows it proposes are the queries.
std::unique_ptr<bench::Dataset> optimizer_dataset(std::size_t n, std::size_t d) {
    Array2 bounds(d, 2);
    for (std::size_t j = 0; j < d; ++j) bounds(j, 1) = 1.0;
    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(d);
    qelbo::Optimizer opt = qelbo::Optimizer::new_with_strategy(
        std::move(bounds), qelbo::OptimizerConfig::turbo_zero(), qelbo::StrategyState::init_then_trust_region(100), rng);
    std::vector<double> rows, queries;
    rows.reserve(n * d);
    for (std::uint64_t s = 0; queries.size() < bench::kQueries * d; ++s) {
        const Array2 x = opt.ask(10, s);
        opt.tell(qelbo::view_of(x), qelbo::view_of(objective(x)), s);
        std::vector<double>& to = rows.size() < n * d ? rows : queries;
        to.insert(to.end(), x.data.begin(), x.data.end());
    }
    return bench::index_rows(bench::Workload::Optimizer, rows, d, 10, std::move(queries));
}

void section_recall() {
    std::vector<std::size_t> sizes{100000};
    if (large()) sizes.push_back(1000000);
    const std::vector<Setting> settings = search_settings();
    std::printf("recall@10 against an exact f32 scan, %zu queries, per search setting (a query the index answers "
                "short counts as exact: the model completes it by a full scan)\n",
                bench::kQueries);
    std::printf("  %-30s", "data set");
    for (const Setting& s : settings) std::printf(" %13s", s.name);
    std::printf(" %6s %9s %8s %8s\n", "short", "fragments", "index s", "made s");
    for (std::size_t n : sizes)
        for (std::size_t d : {8u, 32u})
            for (int kind = 0; kind < 4; ++kind) {
                // The optimizer's own stream takes minutes per 100,000 rows to make.
                if (kind == 3 && n > 100000) continue;
                const auto start = Clock::now();
                std::unique_ptr<bench::Dataset> ds;
                if (kind == 3) {
                    ds = optimizer_dataset(n, d);
                } else {
                    const bench::Workload w = kind == 2 ? bench::Workload::Uniform : bench::Workload::Stream;
                    ds = bench::make_dataset(w, n, d, kind == 1 ? 1000 : 10);
                }
                const double made = bench::seconds_since(start);
                const std::vector<std::int64_t> exact = bench::exact_neighbours(*ds->x, ds->queries, d, true);
                const mirot::SearchInputs in = search_inputs(*ds, d);
                mirot::SmallNCache cache;
                std::printf("  %-30s", ds->name().c_str());
                std::size_t default_shorts = 0;
                for (const Setting& s : settings) {
                    const mirot::MirotTuning t = tuning_of(s);
                    mirot::set_tuning_provider([t] { return t; });
                    const mirot::SearchResult res = mirot::forest_search(
                        in, cache, mirot::BlockView(ds->queries.data(), bench::kQueries, d), bench::kK, false);
                    std::size_t shorts = 0;
                    const double recall =
                        bench::recall_at_k(res.indices, res.out_k, exact, bench::kQueries, true, &shorts);
                    if (&s == &settings.front()) default_shorts = shorts;
                    std::printf(" %13.4f", recall);
                    std::fflush(stdout);
                    result("recall_" + ds->name() + "_" + s.name, recall);
                }
                mirot::set_tuning_provider([] { return mirot::MirotTuning{}; });
                std::printf(" %6zu %9zu %8.1f %8.1f\n", default_shorts, ds->index.fragments.size(), ds->build_seconds,
                            made);
                std::fflush(stdout);
            }
}

// ---------------------------------------------------------------------------

struct Section {
    const char* name;
    void (*run)();
    enum { OneThread, Pinned2, DefaultThreads, Both } threads;
};

const Section kSections[] = {
    {"small", section_small, Section::OneThread},     {"tuning", section_tuning, Section::OneThread},
    {"tail", section_tail, Section::Both},            {"optimizer", section_optimizer, Section::Both},
    {"posterior", section_posterior, Section::Both},
    {"ingest", section_ingest, Section::Pinned2},     {"recall", section_recall, Section::DefaultThreads},
};

// Runs one section in a child process and adds its results to `out`.
void run_child(const Section& s, bool one_thread, std::map<std::string, double>& out) {
    int fds[2];
    if (::pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        g_results = ::fdopen(fds[1], "w");
        const std::vector<int> cpus = bench_cpus();
        if (one_thread) {
            ::setenv("RAYON_NUM_THREADS", "1", 1);
            omp_set_num_threads(1);
            if (!cpus.empty()) pin(s.threads == Section::Pinned2 ? cpus : std::vector<int>{cpus.front()});
        }
        g_scratch = g_scratch / (std::string(s.name) + (one_thread ? "-1" : ""));
        std::filesystem::create_directories(g_scratch);
        qelbo::set_config_path_override((g_scratch / "config.toml").string());
        int code = 0;
        try {
            s.run();
        } catch (const std::exception& e) {
            std::printf("%s failed: %s\n", s.name, e.what());
            code = 1;
        }
        std::fflush(stdout);
        std::fclose(g_results);
        // Leaves without destructors: a disk model would index and persist its rows on the way out.
        ::_exit(code);
    }
    ::close(fds[1]);
    FILE* in = ::fdopen(fds[0], "r");
    char key[256];
    double value;
    while (std::fscanf(in, "%255s %lf", key, &value) == 2) out[key] = value;
    std::fclose(in);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::printf("\n");
}

void print_targets(const std::map<std::string, double>& r) {
    auto get = [&](const std::string& k) -> std::optional<double> {
        auto it = r.find(k);
        return it == r.end() ? std::nullopt : std::optional<double>(it->second);
    };
    std::printf("against the targets\n");
    auto line = [](const char* what, std::optional<double> v, const char* unit, double target, const char* was) {
        if (!v) return;
        const bool strict = std::string(unit) != "x";
        std::printf("  %-52s %8.2f%-3s target %s %g%s: %-7s (before: %s)\n", what, *v, unit,
                    strict ? "<" : "<=", target, unit, (strict ? *v < target : *v <= target) ? "met" : "not met", was);
    };
    if (auto m = get("small_mirot_qps"), f = get("small_faiss_qps"); m && f)
        std::printf("  %-52s %8.2fx   (FAISS / mirot queries per second, no target)\n", "small-data path, FAISS over mirot", *f / *m);
    if (auto rows = get("tuning_rows"); rows && *rows == 1e6)
        line("default-tuning query at 1,000,000 x 32, one thread", get("tuning_default_us"), "us", 10.0, "25.7 us");
    else if (auto us = get("tuning_default_us"))
        std::printf("  %-52s %8.2fus  (the target is set at 1,000,000 rows: MIROT_BENCH_LARGE=1)\n",
                    "default-tuning query at 100,000 x 32, one thread", *us);
    line("disk scan of unindexed rows / in-memory exact search", get("tail_ratio"), "x", 2.5, "8.3x");
    if (auto one = get("tail1_ratio")) std::printf("  %-52s %8.2fx   (one thread)\n", "", *one);
    line("disk optimizer iteration / in-memory one", get("optimizer_ratio"), "x", 1.5, "2.0-2.3x");
    line("the same, one thread", get("optimizer1_ratio"), "x", 1.2, "1.3-1.6x");
    line("disk posterior / in-memory one, 1,010 rows", get("posterior_1010_ratio"), "x", 1.3, "3.1x");
    if (auto one = get("posterior1_1010_ratio")) std::printf("  %-52s %8.2fx   (one thread)\n", "", *one);
    if (auto r = get("posterior_100000_ratio")) std::printf("  %-52s %8.2fx   (no target)\n", "the same, 100,000 rows", *r);
    line("disk posterior / its neighbors call, 100,000 rows", get("posterior_100000_over_neighbors"), "x", 1.33, "2.7-2.8x");
    if (auto one = get("posterior1_100000_over_neighbors"))
        std::printf("  %-52s %8.2fx   (one thread)\n", "", *one);
    line("disk index probe / its neighbors call, 100,000 rows", get("probe_over_neighbors"), "x", 1.33, "2.5x");
    if (auto one = get("probe1_over_neighbors")) std::printf("  %-52s %8.2fx   (one thread)\n", "", *one);
    auto at50 = get("ingest_50k"), at400 = get("ingest_400k");
    if (at50 && at400) {
        line("add of 10 at 400,000 rows / add at 50,000", *at400 / *at50, "x", 1.5, "4.6x");
        if (auto a50 = get("ingest_append_50k"), a400 = get("ingest_append_400k"); a50 && a400)
            std::printf("  %-52s %8.2fx   (the append alone, without waiting for the background build)\n", "",
                        *a400 / *a50);
    }
    else if (at50)
        std::printf("  %-52s (needs 400,000 rows: MIROT_BENCH_LARGE=1)\n", "add of 10 at 400,000 rows / add at 50,000");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const Section*> chosen;
    for (int i = 1; i < argc; ++i) {
        const Section* found = nullptr;
        for (const Section& s : kSections)
            if (std::strcmp(s.name, argv[i]) == 0) found = &s;
        if (!found) {
            std::fprintf(stderr, "unknown section %s (small tuning tail optimizer posterior ingest recall)\n", argv[i]);
            return 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (const Section& s : kSections)
            if (std::strcmp(s.name, "recall") != 0) chosen.push_back(&s);

    g_scratch = bench::make_temp_dir("qel-bench-speed");
    std::map<std::string, double> results;
    for (const Section* s : chosen) {
        if (s->threads == Section::Both || s->threads == Section::DefaultThreads) run_child(*s, false, results);
        if (s->threads != Section::DefaultThreads) run_child(*s, true, results);
    }
    print_targets(results);
    std::error_code ec;
    std::filesystem::remove_all(g_scratch, ec);
    return 0;
}
