#pragma once
// Data sets for the disk index benchmarks, indexed the way a work directory indexes them:
//   uniform  n rows uniform in [0, 1]^d added in one batch, one sync, uniform queries;
//   stream   rows arriving in adds of `batch` around a centre that drifts and shrinks,
//            synced once 250 rows are pending as the background flush does, queries near
//            the final centre (an optimizer's trust region closing in);
//   optimizer rows an optimizer proposed, given to index_rows.
// Plus the exact neighbours that recall is measured against.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/std_rng.h"
#include "base/worker_pool.h"
#include "mirot/distance.h"
#include "mirot/fragment_merge.h"
#include "mirot/incremental_index.h"
#include "mirot/mmap_store.h"

namespace bench {

inline constexpr std::size_t kQueries = 1000;
inline constexpr int kK = 10;
inline constexpr std::uint64_t kSyncEvery = 250;

enum class Workload { Uniform, Stream, Optimizer };

inline const char* workload_name(Workload w) {
    return w == Workload::Uniform ? "uniform" : w == Workload::Stream ? "stream" : "optimizer";
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double resident_mb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0.0;
}

inline std::uint64_t dir_bytes(const std::filesystem::path& dir) {
    std::uint64_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

inline std::filesystem::path make_temp_dir(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// The stream's rows, batch by batch: the region shrinks from 0.25 to 0.005 around a
// centre that wanders, over `batches` adds.
class StreamRows {
public:
    StreamRows(std::size_t d, std::size_t batches, std::uint64_t seed)
        : d_(d), batches_(batches), rng_(qelbo::StdRng::seed_from_u64(seed)), centre_(d, 0.5) {}

    void next(std::size_t rows, std::vector<double>& out) {
        radius_ = 0.25 * std::pow(0.02, static_cast<double>(t_) / static_cast<double>(batches_));
        ++t_;
        for (double& c : centre_) c = std::clamp(c + 0.05 * radius_ * (2.0 * rng_.gen_f64() - 1.0), 0.1, 0.9);
        out.resize(rows * d_);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < d_; ++j) out[i * d_ + j] = centre_[j] + radius_ * (2.0 * rng_.gen_f64() - 1.0);
    }
    // A point of the current region, as the queries are drawn.
    void query(double* out) {
        for (std::size_t j = 0; j < d_; ++j) out[j] = centre_[j] + radius_ * (2.0 * rng_.gen_f64() - 1.0);
    }
    qelbo::StdRng& rng() { return rng_; }

private:
    std::size_t d_, batches_, t_ = 0;
    qelbo::StdRng rng_;
    std::vector<double> centre_;
    double radius_ = 0.25;
};

struct Dataset {
    Workload workload;
    std::size_t n, d, batch;
    std::filesystem::path dir;
    std::optional<mirot::MmapColumnStore> x;
    mirot::IncrementalIndex index;
    std::vector<double> queries;
    double build_seconds = 0.0;
    std::uint64_t disk_bytes = 0;
    double rss_mb = 0.0;

    std::string name() const {
        return std::string(workload_name(workload)) + (workload != Workload::Uniform ? "/add:" + std::to_string(batch) : "") +
               "/n:" + std::to_string(n) + "/d:" + std::to_string(d);
    }

    ~Dataset() {
        x.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// Stores `rows` (n x d) in adds of `batch`, indexed as the background flush indexes them,
// and keeps `queries` for the searches.
inline std::unique_ptr<Dataset> index_rows(Workload workload, const std::vector<double>& rows, std::size_t d,
                                           std::size_t batch, std::vector<double> queries) {
    auto ds = std::make_unique<Dataset>();
    ds->workload = workload;
    ds->n = rows.size() / d;
    ds->d = d;
    ds->batch = batch;
    ds->dir = make_temp_dir("mirot-bench");
    ds->x.emplace(mirot::mmap_open_or_create((ds->dir / "train_x.bin").string(), d, std::nullopt));
    ds->index = mirot::IncrementalIndex(ds->dir / "index");
    ds->queries = std::move(queries);
    mirot::SyncSource source{*ds->x, std::nullopt, ds->dir, d};

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t pending = 0;
    for (std::size_t first = 0; first < ds->n; first += batch) {
        const mirot::BlockView add(rows.data() + first * d, std::min(batch, ds->n - first), d);
        ds->x->mmap_append(add);
        ds->index.note_pending_rows(add, std::nullopt);
        pending += add.rows;
        if (pending >= kSyncEvery) {
            ds->index.ensure_sync(source, ds->x->nrows());
            pending = 0;
        }
    }
    ds->index.ensure_sync(source, ds->x->nrows());
    ds->build_seconds = seconds_since(start);

    // What a persist writes: one index concatenating the forest.
    mirot::MirotIndex merged = mirot::concat_merge(ds->index.fragments, ds->dir / "index");
    merged.persist();
    ds->disk_bytes = dir_bytes(ds->dir);
    ds->rss_mb = resident_mb();
    return ds;
}

// The uniform rows in one add, or the stream in adds of `batch`.
inline std::unique_ptr<Dataset> make_dataset(Workload workload, std::size_t n, std::size_t d, std::size_t batch = 10) {
    // Adds of 10 keep the seeds the stream has always had.
    const std::uint64_t seed = 1000 * n + d + (workload == Workload::Stream ? (batch == 10 ? 1 : 2 + batch) : 0);
    if (workload == Workload::Uniform) batch = n;
    const std::size_t batches = std::max<std::size_t>(n / batch, 1);
    StreamRows stream(d, batches, seed);
    std::vector<double> rows, queries(kQueries * d);
    if (workload == Workload::Uniform) {
        rows.resize(n * d);
        for (double& v : rows) v = stream.rng().gen_f64();
        for (double& v : queries) v = stream.rng().gen_f64();
    } else {
        rows.reserve(n * d);
        std::vector<double> add;
        for (std::size_t t = 0; t < batches; ++t) {
            stream.next(batch, add);
            rows.insert(rows.end(), add.begin(), add.end());
        }
        for (std::size_t q = 0; q < kQueries; ++q) stream.query(queries.data() + q * d);
    }
    return index_rows(workload, rows, d, batch, std::move(queries));
}

// Runs fn(i) for i in [0, n) on every processor, whatever the worker pool's size, so that
// the reference answers of a one-thread benchmark do not take minutes.
inline void on_all_threads(std::size_t n, const std::function<void(std::size_t)>& fn) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (std::size_t i = t; i < n; i += threads) fn(i);
        });
    for (std::thread& th : pool) th.join();
}

// The exact top k per query, smaller row on ties: by f64 distance, or (f32) by the index's
// own f32 distance over the rows narrowed to f32.
inline std::vector<std::int64_t> exact_neighbours(const mirot::MmapColumnStore& x, const std::vector<double>& queries,
                                                  std::size_t d, bool f32) {
    const std::size_t nq = queries.size() / d;
    const std::uint64_t n = x.nrows();
    std::vector<float> rows32;
    if (f32) {
        rows32.resize(n * d);
        const double* all = x.row(0);
        for (std::size_t i = 0; i < rows32.size(); ++i) rows32[i] = static_cast<float>(all[i]);
    }
    std::vector<std::int64_t> out(nq * kK, -1);
    on_all_threads(nq, [&](std::size_t q) {
        std::vector<std::pair<double, std::int64_t>> best;
        const double* query = queries.data() + q * d;
        std::vector<float> query32(query, query + d);
        for (std::uint64_t r = 0; r < n; ++r) {
            double dist = 0.0;
            if (f32) {
                dist = mirot::l2_sq_f32(query32, std::span<const float>(rows32.data() + r * d, d));
            } else {
                const double* row = x.row(r);
                for (std::size_t j = 0; j < d; ++j) dist += (row[j] - query[j]) * (row[j] - query[j]);
            }
            if (best.size() == static_cast<std::size_t>(kK) && !(dist < best.back().first)) continue;
            auto item = std::make_pair(dist, static_cast<std::int64_t>(r));
            best.insert(std::upper_bound(best.begin(), best.end(), item), item);
            if (best.size() > static_cast<std::size_t>(kK)) best.pop_back();
        }
        for (std::size_t i = 0; i < best.size(); ++i) out[q * kK + i] = best[i].second;
    });
    return out;
}

// Recall@k of the found lists (out_k columns per query, -1 for no row) against the exact ones.
// A query answered short counts as answered exactly when `short_is_exact`: the disk model
// completes such answers by a full scan. `short_queries` receives their number.
inline double recall_at_k(const std::vector<std::int64_t>& found, std::size_t out_k,
                          const std::vector<std::int64_t>& exact, std::size_t nq, bool short_is_exact,
                          std::size_t* short_queries = nullptr) {
    std::size_t hits = 0, shorts = 0;
    for (std::size_t q = 0; q < nq; ++q) {
        const std::int64_t* want = exact.data() + q * kK;
        const std::int64_t* got = found.data() + q * out_k;
        const std::size_t valid =
            static_cast<std::size_t>(std::count_if(got, got + std::min<std::size_t>(out_k, kK), [](std::int64_t v) { return v >= 0; }));
        if (valid < static_cast<std::size_t>(kK)) {
            ++shorts;
            if (short_is_exact) {
                hits += kK;
                continue;
            }
        }
        for (std::size_t i = 0; i < std::min<std::size_t>(out_k, kK); ++i)
            if (got[i] >= 0 && std::find(want, want + kK, got[i]) != want + kK) ++hits;
    }
    if (short_queries) *short_queries = shorts;
    return static_cast<double>(hits) / static_cast<double>(nq * kK);
}

}  // namespace bench
