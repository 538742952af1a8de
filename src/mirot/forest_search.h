#pragma once
// The k-nearest-neighbour search over a work directory's x rows. Up to 4096 rows
// every row is scored exactly against a cached f32 copy; above that each query
// searches the nearest fragments of the page index, scans the rows no fragment
// covers yet, and merges both lists. Queries run in parallel on the worker pool;
// results do not depend on the pool size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "mirot/matrix.h"
#include "mirot/mirot_index.h"
#include "mirot/mmap_store.h"
#include "mirot/search_source.h"

namespace mirot {

// Row counts up to this are searched exactly.
inline constexpr std::uint64_t kSmallSearchRowLimit = 4096;

// Squared distances and row indices, one row of out_k per query, nearest first.
// Positions with no neighbour hold +inf and -1.
struct SearchResult {
    std::size_t num_queries = 0;
    std::size_t out_k = 0;
    std::vector<double> distances;
    std::vector<std::int64_t> indices;
};

// The search-space f32 copy of the first m x rows. Whoever adds rows clears it.
// Locked only to look or to swap the copy, never while one is built or scored.
class SmallNCache {
public:
    // The copy when it holds exactly `rows` rows of `num_dim` values, else null.
    std::shared_ptr<const std::vector<float>> find(std::uint64_t rows, std::size_t num_dim) const;
    void store(std::uint64_t rows, std::shared_ptr<const std::vector<float>> values);
    void clear();

private:
    mutable std::mutex mutex_;
    std::uint64_t rows_ = 0;
    std::shared_ptr<const std::vector<float>> values_;
};

// What the search reads; nothing of it changes during the call.
struct SearchInputs {
    const MmapColumnStore* x_store = nullptr;
    std::size_t num_dim = 0;
    std::span<const double> x_scale;
    bool scale_x = false;
    // The forest, in row order, and the leading rows it covers.
    std::span<const MirotIndex> fragments;
    std::uint64_t indexed_rows = 0;
};

// search_k must be at least 1 and every query must have num_dim values
// (InvalidParameter otherwise). exclude_nearest leaves out each query's nearest row.
SearchResult forest_search(const SearchInputs& in, SmallNCache& cache, const BlockView& queries, int search_k,
                           bool exclude_nearest);

// The exact scan behind the small-data path: `rows` holds n rows of num_dim f32
// values in the search space.
SearchResult score_queries_flat(const BlockView& queries, std::span<const float> rows, std::span<const double> x_scale,
                                std::size_t n, std::size_t num_dim, std::size_t out_k, std::size_t k_search,
                                bool scale_x, bool exclude_nearest);

// The `capacity` nearest of rows [first, last) of the x store to each of nq
// queries, exactly as a sort of every row by (distance, row) cut to `capacity`
// would give them, in that order: out[i] is refilled for query i, whose n f32
// values start at queries + i * n (n at most search_row_width). Rows are streamed
// block by block, so memory beyond `out` does not grow with the row count. A row
// beyond the store throws the row error.
void nearest_stored_rows(const SearchSource& source, const float* queries, std::size_t nq, std::size_t n,
                         std::uint64_t first, std::uint64_t last, std::size_t capacity, std::vector<Candidate>* out);

}  // namespace mirot
