#include "mirot/sync_forest.h"

#include <algorithm>

#include "base/worker_pool.h"
#include "mirot/error.h"
#include "mirot/search_source.h"

namespace mirot {

namespace {

constexpr std::size_t kRowsPerTask = 512;

void check_rows(const SyncSource& source, std::uint64_t start, std::uint64_t end) {
    const std::uint64_t nrows = source.x_store.nrows();
    if (start < end && end > nrows) throw row_out_of_range(start < nrows ? nrows : start, nrows);
}

}  // namespace

void check_sync_source(const SyncSource& source) {
    if (source.x_store.ncols() != source.num_dim)
        throw MirotError::invalid_shape({static_cast<std::size_t>(source.num_dim)},
                                        {static_cast<std::size_t>(source.x_store.ncols())});
    if (source.x_scale && source.x_scale->size() < source.num_dim)
        throw MirotError::invalid_shape({static_cast<std::size_t>(source.num_dim)},
                                        {source.x_scale->size()});
}

SearchSource as_search_source(const SyncSource& source) {
    return SearchSource{&source.x_store, source.x_scale.value_or(std::span<const double>{}),
                        source.x_scale.has_value()};
}

std::vector<float> load_vectors_from_mmap(const SyncSource& source, std::uint64_t start,
                                          std::uint64_t end) {
    if (start >= end) return {};
    check_sync_source(source);
    check_rows(source, start, end);
    const std::size_t dim = static_cast<std::size_t>(source.num_dim);
    const std::size_t n = static_cast<std::size_t>(end - start);
    std::vector<float> out(n * dim);
    const SearchSource rows = as_search_source(source);
    qelbo::parallel_for_ranges(n, kRowsPerTask, [&](std::size_t begin, std::size_t stop) {
        std::vector<float> v;
        for (std::size_t i = begin; i < stop; ++i) {
            // A checked source makes every row exactly num_dim values.
            row_to_search_vector(rows, start + i, v);
            std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(i * dim));
        }
    });
    return out;
}

std::vector<float> centroid_from_mmap_rows(const SyncSource& source, std::uint64_t start,
                                           std::uint64_t end) {
    check_sync_source(source);
    check_rows(source, start, end);
    const std::size_t dim = static_cast<std::size_t>(source.num_dim);
    // Each column is summed over the rows in row order.
    std::vector<double> sums(dim, 0.0);
    for (std::uint64_t r = start; r < end; ++r) {
        const double* row = source.x_store.row(r);
        for (std::size_t j = 0; j < dim; ++j)
            sums[j] += source.x_scale ? row[j] / (*source.x_scale)[j] : row[j];
    }
    const double count = static_cast<double>(end > start ? end - start : 0);
    std::vector<float> centroid(dim);
    for (std::size_t j = 0; j < dim; ++j) centroid[j] = static_cast<float>(sums[j] / count);
    return centroid;
}

}  // namespace mirot
