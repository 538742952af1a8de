#pragma once
// One FAISS exact "Flat" L2 index over f32 rows.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qelbo/core/array.h"

namespace faiss {
struct IndexFlat;
}

namespace qelbo {

enum class IndexDriver : std::uint8_t { Exact = 0, MiRotDisk = 1 };

// Display text of a failure inside FAISS.
std::string faiss_map_err(const std::exception& e);

class FaissBackend {
public:
    // Builds an index of dimension d holding `rows` (r x d) in row order.
    // Throws IndexSearchError on a FAISS failure.
    static FaissBackend make_index(std::size_t d, IndexDriver driver, const MatView& rows);

    FaissBackend(FaissBackend&&) noexcept;
    FaissBackend& operator=(FaissBackend&&) noexcept;
    ~FaissBackend();

    std::size_t d() const { return d_; }
    IndexDriver driver() const { return driver_; }
    std::size_t ntotal() const;
    std::size_t index_d() const;
    // Appends rows (r x d) after the stored vectors. Throws IndexSearchError.
    void add(const MatView& rows);
    // FAISS search of nq row-major f32 queries; buffers hold nq * k entries. Runs in blocks of
    // queries on the worker pool, each a single-threaded FAISS call. Throws IndexSearchError.
    void search(std::size_t nq, const float* queries, std::size_t k, float* distances, std::int64_t* labels) const;

private:
    FaissBackend(std::unique_ptr<faiss::IndexFlat> index, std::size_t d, IndexDriver driver);
    std::unique_ptr<faiss::IndexFlat> index_;
    std::vector<float> norms_;  // squared norm of every stored vector, in row order
    std::size_t d_;
    IndexDriver driver_;
};

}  // namespace qelbo
