#pragma once
// Reading store rows for a sync: what one sync borrows from its backend, and the
// conversion of stored f64 rows into the f32 vectors and centroids of new fragments.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "mirot/mmap_store.h"
#include "mirot/search_source.h"

namespace mirot {

// What a backend lends to one sync; the sync keeps no part of it.
struct SyncSource {
    const MmapColumnStore& x_store;
    // Per-column divisors, present when the backend scales x.
    std::optional<std::span<const double>> x_scale;
    std::filesystem::path work_dir;
    std::uint64_t num_dim = 0;
};

// Fails with InvalidShape unless the store has num_dim columns and the scale, when
// present, at least num_dim entries; every row read below then has num_dim values.
void check_sync_source(const SyncSource& source);

// Rows [start, end) as f32 vectors, row-major with num_dim values each (scaled
// first when the source scales). A row at or beyond the store's rows in use is
// InvalidParameter "row R out of range [0, N)".
std::vector<float> load_vectors_from_mmap(const SyncSource& source, std::uint64_t start,
                                          std::uint64_t end);

// The f64 mean of rows [start, end) (scaled when the source scales), rounded to f32
// once per column. Same row errors as above.
std::vector<float> centroid_from_mmap_rows(const SyncSource& source, std::uint64_t start,
                                           std::uint64_t end);

// The source seen as a search source: the same row-to-f32 conversion for both.
SearchSource as_search_source(const SyncSource& source);

}  // namespace mirot
