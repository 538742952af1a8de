#pragma once
// Building one fragment: a k-means page tree over a set of rows (pages numbered in
// pre-order, root id 0, optional skip edges between leaves), or a fragment assembled
// from pages that are ready. Nothing is written to disk here.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>
#include <vector>

#include "mirot/kmeans.h"
#include "mirot/mirot_index.h"
#include "mirot/page.h"

namespace mirot {

inline constexpr std::uint64_t kSkipNeighbors = 3;

// Pages of a clustering tree in pre-order, ids from `first_id`: vector leaves without
// stored centroids and internal pages whose child centroids are their children's
// centroids. Returns the pages and the largest id used.
std::pair<std::vector<Page>, std::uint32_t> partition_to_pages_id(const PartitionTree& tree,
                                                                  std::uint32_t first_id);

// For every leaf (in page order), the ids of the kSkipNeighbors leaves with the
// nearest centroids, ties in page order.
SkipEdges build_skip_edges(const std::vector<Page>& pages);

// A k-means fragment over the rows: row_ids[i] owns vectors[i * num_dim, (i + 1) * num_dim).
// At most 32 rows make a single vector leaf. Skip edges are built when the row count
// lies above the tuning's exhaustive search limit and at most its refinement limit.
// Zero columns are InvalidParameter.
MirotIndex build_from_rows_with_persist(std::span<const std::uint32_t> row_ids,
                                        std::span<const float> vectors, std::uint64_t num_dim,
                                        std::uint64_t seed, std::filesystem::path persist_dir);

// A fragment over ready pages (the caller makes page id 0 the root): no skip edges,
// root 0, three skip neighbours. An empty page list is InvalidParameter.
MirotIndex from_pages_unpersisted(std::uint64_t num_dim, std::uint64_t indexed_rows,
                                  std::uint64_t leaf_capacity, std::vector<Page> pages,
                                  std::filesystem::path persist_dir);

}  // namespace mirot
