#include "qelbo/model/faiss_backend.h"

#include <faiss/IndexFlat.h>
#include <faiss/impl/FaissException.h>
#include <faiss/index_factory.h>
#include <faiss/utils/distances.h>

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "base/worker_pool.h"
#include "qelbo/model/knn.h"

namespace qelbo {

std::string faiss_map_err(const std::exception& e) { return std::string("Native faiss error: ") + e.what(); }

std::vector<float> arr2_rows_to_f32(const MatView& v) {
    std::vector<float> out;
    out.reserve(checked_mul(v.rows, v.cols));
    if (v.is_row_major()) {
        const std::size_t n = v.rows * v.cols;
        for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<float>(v.data[i]));
    } else {
        for (std::size_t i = 0; i < v.rows; ++i)
            for (std::size_t j = 0; j < v.cols; ++j) out.push_back(static_cast<float>(v(i, j)));
    }
    return out;
}

namespace {

// FAISS answers fewer queries than its threshold one at a time, each on its own, and more of
// them with matrix products.
std::size_t faiss_product_threshold() {
    return faiss::distance_compute_blas_threshold > 0 ? static_cast<std::size_t>(faiss::distance_compute_blas_threshold)
                                                      : 1;
}

// The queries FAISS multiplies in one product.
std::size_t distance_compute_chunk() {
    return faiss::distance_compute_blas_query_bs > 0 ? static_cast<std::size_t>(faiss::distance_compute_blas_query_bs)
                                                     : 4096;
}

// Stored rows per task when their norms are taken on the pool.
constexpr std::size_t kNormRowsPerTask = 16384;

// Splitting stops at this many blocks, enough to balance the pool; larger blocks use the
// matrix products better.
constexpr std::size_t kEnoughBlocks = 64;
// No block holds more queries than this, and none is split below this many multiply-adds.
constexpr std::size_t kMaxQueriesPerBlock = 240;
constexpr double kBlockWork = 1 << 24;
// Below this many multiply-adds in all, the blocks run one after another on the calling thread:
// waking the pool would cost more than the work.
constexpr double kParallelWork = 1 << 20;
// The BLAS product computes queries in tiles, and a query at the ragged end of a call can get
// other last bits than one inside a full tile. Blocks that start at multiples of this (a multiple
// of every tile width the x86 kernels use) put each query at the same place in its tile as one
// call for all queries would.
constexpr std::size_t kTileAlign = 48;

struct QueryBlock {
    std::size_t first;
    std::size_t count;
};

// The query blocks. They follow from the search's size alone, never from the pool, so every
// answer is the same for any pool size, and each block is answered exactly as FAISS answers
// all the queries in one call.
std::vector<QueryBlock> search_blocks(std::size_t nq, double work) {
    std::vector<QueryBlock> blocks;
    const std::size_t threshold = faiss_product_threshold();
    // One block per query gives the same answers as one call for all of them.
    if (nq < threshold) {
        for (std::size_t q = 0; q < nq; ++q) blocks.push_back({q, 1});
        return blocks;
    }
    const std::size_t wanted = std::max<std::size_t>(
        1, std::min(nq / threshold, static_cast<std::size_t>(std::min(std::ceil(work / kBlockWork),
                                                                      static_cast<double>(kEnoughBlocks)))));
    auto align = [](std::size_t v) { return (v + kTileAlign - 1) / kTileAlign * kTileAlign; };
    std::size_t size = align((nq + wanted - 1) / wanted);
    size = std::max(std::min(size, kMaxQueriesPerBlock), align(threshold));
    // FAISS itself multiplies the queries in chunks of its own; a block never straddles one.
    const std::size_t chunk = distance_compute_chunk();
    for (std::size_t c0 = 0; c0 < nq; c0 += chunk) {
        std::size_t c1 = std::min(nq, c0 + chunk);
        // A last chunk below the threshold is answered as part of the one before, as FAISS
        // does: that one is then a single block, so FAISS chunks it as it chunks all queries.
        if (nq - c1 > 0 && nq - c1 < threshold) {
            blocks.push_back({c0, nq - c0});
            break;
        }
        const std::size_t first_block = blocks.size();
        for (std::size_t b0 = c0; b0 < c1; b0 += size) blocks.push_back({b0, std::min(size, c1 - b0)});
        // Every block keeps at least `threshold` queries, so every block is answered the same way.
        if (blocks.size() - first_block >= 2 && blocks.back().count < threshold) {
            const std::size_t rest = blocks.back().count;
            blocks.pop_back();
            blocks.back().count += rest;
        }
    }
    return blocks;
}

// FAISS parallelises with OpenMP, while our blocks already run on the worker pool: inside a
// block it uses the calling thread alone. The thread count is a setting of the calling thread
// only and is put back when the block ends.
class OmpSingleThread {
public:
    OmpSingleThread() : saved_(omp_get_max_threads()) { omp_set_num_threads(1); }
    ~OmpSingleThread() { omp_set_num_threads(saved_); }
    OmpSingleThread(const OmpSingleThread&) = delete;
    OmpSingleThread& operator=(const OmpSingleThread&) = delete;

private:
    int saved_;
};

}  // namespace

FaissBackend::FaissBackend(std::unique_ptr<faiss::IndexFlat> index, std::size_t d, IndexDriver driver)
    : index_(std::move(index)), d_(d), driver_(driver) {}
FaissBackend::FaissBackend(FaissBackend&&) noexcept = default;
FaissBackend& FaissBackend::operator=(FaissBackend&&) noexcept = default;
FaissBackend::~FaissBackend() = default;

FaissBackend FaissBackend::make_index(std::size_t d, IndexDriver driver, const MatView& rows) {
    expect(driver == IndexDriver::Exact, "MiRotDisk must not be routed to FaissBackend");
    // FAISS sizes dimensions as int; a wider row could not be stored faithfully.
    if (d > static_cast<std::size_t>(INT_MAX)) {
        throw IndexSearchError::invalid_parameter("dimension " + std::to_string(d) + " exceeds the index limit");
    }
    std::unique_ptr<faiss::Index> index;
    try {
        index.reset(faiss::index_factory(static_cast<int>(d), "Flat", faiss::METRIC_L2));
    } catch (const faiss::FaissException& e) {
        throw IndexSearchError::invalid_parameter(faiss_map_err(e));
    }
    expect(dynamic_cast<faiss::IndexFlat*>(index.get()) != nullptr, "a Flat index stores its vectors in one array");
    std::unique_ptr<faiss::IndexFlat> flat(static_cast<faiss::IndexFlat*>(index.release()));
    FaissBackend backend(std::move(flat), d, driver);
    backend.add(rows);
    return backend;
}

std::size_t FaissBackend::ntotal() const { return static_cast<std::size_t>(index_->ntotal); }
std::size_t FaissBackend::index_d() const { return static_cast<std::size_t>(index_->d); }

void FaissBackend::add(const MatView& rows) {
    if (rows.rows == 0) return;
    expect(index_->d > 0, "attempt to divide by zero");
    expect(rows.cols == d_, "row width must match the index dimension");
    const std::vector<float> values = arr2_rows_to_f32(rows);
    const std::size_t d = static_cast<std::size_t>(index_->d);
    const std::size_t count = values.size() / d;
    // The norms are computed the way FAISS computes them for each search, so that a search
    // handed them gives the same answers; reserved first so that they cannot fail once the
    // vectors are in.
    std::vector<float> norms(count);
    parallel_for_ranges(count, kNormRowsPerTask, [&](std::size_t a, std::size_t b) {
        for (std::size_t i = a; i < b; ++i) norms[i] = faiss::fvec_norm_L2sqr(values.data() + i * d, d);
    });
    norms_.reserve(norms_.size() + count);
    try {
        index_->add(static_cast<faiss::Index::idx_t>(count), values.data());
    } catch (const faiss::FaissException& e) {
        throw IndexSearchError::invalid_parameter(faiss_map_err(e));
    }
    norms_.insert(norms_.end(), norms.begin(), norms.end());
}

void FaissBackend::search(std::size_t nq, const float* queries, std::size_t k, float* distances,
                          std::int64_t* labels) const {
    if (nq == 0) return;
    const std::size_t d = static_cast<std::size_t>(index_->d);
    const double work = static_cast<double>(nq) * static_cast<double>(index_->ntotal) * static_cast<double>(d);
    const std::vector<QueryBlock> blocks = search_blocks(nq, work);
    expect(k > 0 && norms_.size() == ntotal(), "a search asks for neighbours among rows with known norms");
    // The same answers as the index's own search, without taking every stored row's norm again
    // in each block.
    const auto search_block = [&](std::size_t b) {
        const std::size_t q0 = blocks[b].first;
        const std::size_t count = blocks[b].count;
        OmpSingleThread single;
        try {
            faiss::knn_L2sqr(queries + q0 * d, index_->get_xb(), d, count, ntotal(), k, distances + q0 * k,
                             labels + q0 * k, norms_.data());
        } catch (const faiss::FaissException& e) {
            throw IndexSearchError::invalid_parameter(faiss_map_err(e));
        }
    };
    if (work < kParallelWork) {
        for (std::size_t b = 0; b < blocks.size(); ++b) search_block(b);
    } else {
        parallel_for_chunks(blocks.size(), search_block);
    }
}

}  // namespace qelbo
