#include "qelbo/model/faiss_backend.h"

#include <faiss/Index.h>
#include <faiss/impl/FaissException.h>
#include <faiss/index_factory.h>

#include <omp.h>

#include <climits>

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
// Below this many multiply-adds a search is faster on the calling thread alone: waking the
// OpenMP team costs far more than the work, and much more again on a busy machine.
constexpr double kParallelSearchWork = 1 << 22;

// Limits the OpenMP team of the calling thread for its lifetime.
class OmpThreadLimit {
public:
    explicit OmpThreadLimit(bool single) : saved_(omp_get_max_threads()), active_(single) {
        if (active_) omp_set_num_threads(1);
    }
    ~OmpThreadLimit() {
        if (active_) omp_set_num_threads(saved_);
    }

private:
    int saved_;
    bool active_;
};
}  // namespace

void FaissBackend::search(std::size_t nq, const float* queries, std::size_t k, float* distances,
                          std::int64_t* labels) const {
    const double work = static_cast<double>(nq) * static_cast<double>(index_->ntotal) * static_cast<double>(d_);
    OmpThreadLimit limit(work < kParallelSearchWork);
    try {
        index_->search(static_cast<faiss::Index::idx_t>(nq), queries, static_cast<faiss::Index::idx_t>(k), distances,
                       labels);
    } catch (const faiss::FaissException& e) {
        throw IndexSearchError::invalid_parameter(faiss_map_err(e));
    }
}

}  // namespace qelbo
