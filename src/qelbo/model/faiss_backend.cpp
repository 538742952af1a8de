#include "qelbo/model/faiss_backend.h"

#include <faiss/Index.h>
#include <faiss/impl/FaissException.h>
#include <faiss/index_factory.h>

#include <omp.h>

#include <algorithm>
#include <climits>

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

FaissBackend::FaissBackend(std::unique_ptr<faiss::Index> index, std::size_t d, IndexDriver driver)
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
    FaissBackend backend(std::move(index), d, driver);
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
    try {
        index_->add(static_cast<faiss::Index::idx_t>(values.size() / static_cast<std::size_t>(index_->d)), values.data());
    } catch (const faiss::FaissException& e) {
        throw IndexSearchError::invalid_parameter(faiss_map_err(e));
    }
}

namespace {

// Queries per search block, at most: enough that FAISS takes its matrix-product path and
// the per-call overhead is small, few enough that blocks keep every worker busy.
constexpr std::size_t kMaxQueriesPerBlock = 256;

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

void FaissBackend::search(std::size_t nq, const float* queries, std::size_t k, float* distances,
                          std::int64_t* labels) const {
    if (nq == 0) return;
    // Blocks of near-equal size fixed by nq alone, so every answer is the same for any pool size.
    const std::size_t blocks = nq / kMaxQueriesPerBlock + (nq % kMaxQueriesPerBlock != 0 ? 1 : 0);
    const std::size_t base = nq / blocks, extra = nq % blocks;
    const std::size_t d = static_cast<std::size_t>(index_->d);
    parallel_for_chunks(blocks, [&](std::size_t b) {
        const std::size_t q0 = b * base + std::min(b, extra);
        const std::size_t count = base + (b < extra ? 1 : 0);
        OmpSingleThread single;
        try {
            index_->search(static_cast<faiss::Index::idx_t>(count), queries + q0 * d,
                           static_cast<faiss::Index::idx_t>(k), distances + q0 * k, labels + q0 * k);
        } catch (const faiss::FaissException& e) {
            throw IndexSearchError::invalid_parameter(faiss_map_err(e));
        }
    });
}

}  // namespace qelbo
