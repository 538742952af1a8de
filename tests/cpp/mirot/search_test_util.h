#pragma once
// Column stores filled with given rows, and fragment assembly, for search tests.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mirot/matrix.h"
#include "mirot/mirot_index.h"
#include "mirot/mmap_store.h"
#include "temp_dir.h"

namespace mirot_test {

inline mirot::MmapColumnStore store_with_rows(const TempDir& dir, const std::vector<double>& values,
                                              std::size_t ncols, const std::string& name = "train_x.bin") {
    auto store = mirot::mmap_open_or_create(dir.file(name), ncols, std::nullopt);
    if (!values.empty()) store.mmap_append(mirot::BlockView(values.data(), values.size() / ncols, ncols));
    return store;
}

inline mirot::MirotIndex fragment_of(std::vector<mirot::Page> pages, std::uint64_t num_dim,
                                     std::uint64_t indexed_rows, std::uint32_t root = 0) {
    mirot::MirotIndex idx;
    idx.pages = std::move(pages);
    idx.page_map = mirot::build_page_map(idx.pages);
    idx.header.num_dim = num_dim;
    idx.header.indexed_rows = indexed_rows;
    idx.header.root_page_id = root;
    return idx;
}

// A range-leaf forest over rows [first, first + n): leaves of `chunk` rows with ids
// 1, 2, ... whose centroid is their first row, under root 0.
inline mirot::MirotIndex range_forest(const std::vector<double>& values, std::size_t ncols, std::uint32_t first,
                                      std::uint32_t n, std::uint32_t chunk) {
    std::vector<mirot::Page> pages;
    mirot::InternalPage root;
    std::uint32_t id = 1;
    for (std::uint32_t start = first; start < first + n; start += chunk, ++id) {
        const std::uint32_t end = std::min(start + chunk, first + n);
        std::vector<float> c(ncols);
        for (std::size_t j = 0; j < ncols; ++j) c[j] = static_cast<float>(values[start * ncols + j]);
        root.children.push_back(id);
        root.child_centroids.push_back(c);
        pages.push_back(mirot::Page(mirot::LeafPage{id, {}, {}, c, std::make_pair(start, end)}));
    }
    pages.push_back(mirot::Page(std::move(root)));
    return fragment_of(std::move(pages), ncols, n);
}

}  // namespace mirot_test
