#include "mirot/fragment_build.h"

#include <array>
#include <limits>

#include "base/panic.h"
#include "base/std_rng.h"
#include "base/worker_pool.h"
#include "mirot/distance.h"
#include "mirot/error.h"
#include "mirot/search_source.h"
#include "mirot/tuning.h"

namespace mirot {

namespace {

std::vector<std::vector<float>> split_rows(std::span<const float> flat, std::size_t n,
                                           std::size_t dim) {
    std::vector<std::vector<float>> rows;
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto v = flat.subspan(i * dim, dim);
        rows.emplace_back(v.begin(), v.end());
    }
    return rows;
}

MirotIndex make_fragment(std::vector<Page> pages, SkipEdges skip_edges, IndexHeader header,
                         std::filesystem::path persist_dir) {
    MirotIndex index;
    index.page_map = build_page_map(pages);
    index.pages = std::move(pages);
    index.skip_edges = std::move(skip_edges);
    index.header = header;
    index.persist_dir = std::move(persist_dir);
    return index;
}

}  // namespace

std::pair<std::vector<Page>, std::uint32_t> partition_to_pages_id(const PartitionTree& tree,
                                                                  std::uint32_t first_id) {
    // Pre-order without native recursion: a tree may be deep.
    std::vector<std::size_t> order;
    order.reserve(tree.nodes.size());
    std::vector<std::size_t> stack;
    if (!tree.nodes.empty()) stack.push_back(0);
    while (!stack.empty()) {
        const std::size_t node = stack.back();
        stack.pop_back();
        order.push_back(node);
        const auto& children = tree.nodes[node].children;
        if (!tree.nodes[node].leaf)
            for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    qelbo::expect(order.size() <= std::size_t{std::numeric_limits<std::uint32_t>::max()} - first_id + 1,
                  "partition_to_pages_id: page ids exceed u32");

    std::vector<std::uint32_t> id_of(tree.nodes.size(), 0);
    for (std::size_t p = 0; p < order.size(); ++p)
        id_of[order[p]] = first_id + static_cast<std::uint32_t>(p);

    std::vector<Page> pages;
    pages.reserve(order.size());
    for (std::size_t node_index : order) {
        const PartitionNode& node = tree.nodes[node_index];
        if (node.leaf) {
            LeafPage leaf;
            leaf.page_id = id_of[node_index];
            leaf.row_ids = node.row_ids;
            leaf.vectors = split_rows(node.vectors, node.row_ids.size(), tree.dim);
            pages.emplace_back(std::move(leaf));
        } else {
            InternalPage internal;
            internal.page_id = id_of[node_index];
            for (std::size_t child : node.children) internal.children.push_back(id_of[child]);
            pages.emplace_back(std::move(internal));
        }
    }
    // Children follow their parent in pre-order, so walking backwards finds every
    // child complete before its parent asks for its centroid.
    for (std::size_t p = pages.size(); p-- > 0;) {
        InternalPage* internal = pages[p].internal();
        if (internal == nullptr) continue;
        for (std::uint32_t child : internal->children)
            internal->child_centroids.push_back(pages[child - first_id].centroid());
    }
    const std::uint32_t largest =
        first_id + static_cast<std::uint32_t>(order.empty() ? 0 : order.size() - 1);
    return {std::move(pages), largest};
}

SkipEdges build_skip_edges(const std::vector<Page>& pages) {
    std::vector<std::uint32_t> ids;
    std::vector<std::vector<float>> centroids;
    for (const Page& page : pages) {
        if (!page.is_leaf()) continue;
        ids.push_back(page.page_id());
        centroids.push_back(page.centroid());
    }
    const std::size_t leaves = ids.size();
    constexpr std::size_t kK = kSkipNeighbors;
    // Per leaf, the first kK positions of a stable sort by distance: a later leaf
    // displaces an earlier one only when strictly nearer.
    std::vector<std::array<std::size_t, kK>> nearest(leaves);
    std::vector<std::size_t> found(leaves, 0);
    qelbo::parallel_for_ranges(leaves, 64, [&](std::size_t begin, std::size_t end) {
        for (std::size_t a = begin; a < end; ++a) {
            std::array<float, kK> dist{};
            std::size_t count = 0;
            for (std::size_t b = 0; b < leaves; ++b) {
                if (b == a) continue;
                const float d = l2_sq_f32(centroids[a], centroids[b]);
                std::size_t pos = count;
                while (pos > 0 && distance_less(d, dist[pos - 1])) --pos;
                if (pos >= kK) continue;
                const std::size_t last = count < kK ? count : kK - 1;
                for (std::size_t q = last; q > pos; --q) {
                    dist[q] = dist[q - 1];
                    nearest[a][q] = nearest[a][q - 1];
                }
                dist[pos] = d;
                nearest[a][pos] = b;
                if (count < kK) ++count;
            }
            found[a] = count;
        }
    });
    SkipEdges edges;
    for (std::size_t a = 0; a < leaves; ++a) {
        std::vector<std::uint32_t> list;
        for (std::size_t q = 0; q < found[a]; ++q) list.push_back(ids[nearest[a][q]]);
        edges[ids[a]] = std::move(list);
    }
    return edges;
}

MirotIndex build_from_rows_with_persist(std::span<const std::uint32_t> row_ids,
                                        std::span<const float> vectors, std::uint64_t num_dim,
                                        std::uint64_t seed, std::filesystem::path persist_dir) {
    const std::size_t n = row_ids.size();
    if (num_dim == 0) throw MirotError::invalid_parameter("a fragment requires at least one column");
    const std::size_t dim = static_cast<std::size_t>(num_dim);
    qelbo::expect(vectors.size() / dim >= n, "build_from_rows_with_persist: fewer vectors than row ids");

    if (n <= kKmeansLeafCapacity) {
        LeafPage leaf;
        leaf.page_id = 0;
        leaf.row_ids.assign(row_ids.begin(), row_ids.end());
        leaf.vectors = split_rows(vectors, n, dim);
        std::vector<Page> pages;
        pages.emplace_back(std::move(leaf));
        return make_fragment(std::move(pages), {}, IndexHeader{num_dim, n, 0, n, kSkipNeighbors},
                             std::move(persist_dir));
    }

    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(seed);
    PartitionTree tree =
        partition_recursive_with_vectors(row_ids, vectors, dim, kKmeansLeafCapacity, rng);
    std::vector<Page> pages = partition_to_pages_id(tree, 0).first;
    tree = {};

    const MirotTuning tuning = current_tuning();
    SkipEdges skip_edges;
    if (tuning.exhaustive_search_row_limit < n && n <= tuning.skip_refinement_row_limit)
        skip_edges = build_skip_edges(pages);

    return make_fragment(std::move(pages), std::move(skip_edges),
                         IndexHeader{num_dim, n, 0, kKmeansLeafCapacity, kSkipNeighbors},
                         std::move(persist_dir));
}

MirotIndex from_pages_unpersisted(std::uint64_t num_dim, std::uint64_t indexed_rows,
                                  std::uint64_t leaf_capacity, std::vector<Page> pages,
                                  std::filesystem::path persist_dir) {
    if (pages.empty())
        throw MirotError::invalid_parameter("from_pages_unpersisted requires pages");
    return make_fragment(std::move(pages), {},
                         IndexHeader{num_dim, indexed_rows, 0, leaf_capacity, kSkipNeighbors},
                         std::move(persist_dir));
}

}  // namespace mirot
