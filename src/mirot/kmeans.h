#pragma once
// Recursive k-means partitioning of f32 row vectors into a tree of leaves of at most
// `leaf_capacity` rows and at most 16 children per internal node. The generator is
// shared by the whole recursion and consumed depth first, clusters in index order, so
// the tree depends only on the rows, their order and the seed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/std_rng.h"

namespace mirot {

inline constexpr std::size_t kKmeansLeafCapacity = 32;
inline constexpr std::size_t kKmeansMaxClusters = 16;
inline constexpr int kKmeansMaxRounds = 20;

// One node of the clustering tree. A leaf holds its rows (ids and row-major vectors);
// an internal node holds the positions of its children in the tree, in cluster order.
struct PartitionNode {
    bool leaf = true;
    std::vector<std::uint32_t> row_ids;
    std::vector<float> vectors;
    std::vector<std::size_t> children;
};

// The clustering tree, nodes stored flat; nodes[0] is the root. Every vector has `dim`
// values.
struct PartitionTree {
    std::size_t dim = 0;
    std::vector<PartitionNode> nodes;
};

// Nearest centre per vector; ties and NaN distances keep the lower-numbered centre.
// `vectors` holds n rows and `centres` k rows, both of `dim` values.
std::vector<std::uint32_t> assign_clusters(std::span<const float> vectors,
                                           std::span<const float> centres, std::size_t dim);

// Clusters the rows (row_ids[i] owns vectors[i * dim, (i + 1) * dim)). A partition the
// clustering cannot split (all of its rows end in one cluster) is cut into runs of
// `leaf_capacity` rows in input order instead of being clustered again. Zero columns
// are InvalidParameter.
PartitionTree partition_recursive_with_vectors(std::span<const std::uint32_t> row_ids,
                                               std::span<const float> vectors, std::size_t dim,
                                               std::size_t leaf_capacity, qelbo::StdRng& rng);

}  // namespace mirot
