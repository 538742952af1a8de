#include "mirot/kmeans.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/panic.h"
#include "base/worker_pool.h"
#include "mirot/distance.h"
#include "mirot/error.h"

namespace mirot {

namespace {

// Below this many distance terms a loop runs on the calling thread: handing it to
// the pool costs more than it saves. Results are the same either way.
constexpr std::size_t kParallelWork = std::size_t{1} << 16;
constexpr std::size_t kRowsPerTask = 256;

std::span<const float> row_of(std::span<const float> rows, std::size_t i, std::size_t dim) {
    return rows.subspan(i * dim, dim);
}

// fn(begin, end) over [0, n); on the pool when the loop is large enough.
template <class F>
void for_rows(std::size_t n, std::size_t work_per_row, F&& fn) {
    if (n * std::max<std::size_t>(work_per_row, 1) < kParallelWork || n <= kRowsPerTask) {
        fn(std::size_t{0}, n);
        return;
    }
    qelbo::parallel_for_ranges(n, kRowsPerTask, fn);
}

// k-means++ seeding: the first centre uniformly, every further one with probability
// proportional to the squared distance to the nearest centre chosen so far.
std::vector<float> seed_centres(std::span<const float> vectors, std::size_t n, std::size_t dim,
                                std::size_t k, qelbo::StdRng& rng) {
    std::vector<float> centres;
    centres.reserve(k * dim);
    auto append_centre = [&](std::size_t i) {
        auto v = row_of(vectors, i, dim);
        centres.insert(centres.end(), v.begin(), v.end());
    };
    append_centre(static_cast<std::size_t>(rng.gen_range_usize(0, n)));

    // Nearest distance per row, updated with each new centre; a NaN distance never
    // replaces a number (the comparison is false).
    std::vector<float> nearest(n, std::numeric_limits<float>::infinity());
    for (std::size_t c = 1; c < k; ++c) {
        auto newest = std::span<const float>(centres).subspan((c - 1) * dim, dim);
        for_rows(n, dim, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const float d = l2_sq_f32(row_of(vectors, i, dim), newest);
                if (d < nearest[i]) nearest[i] = d;
            }
        });
        float total = 0.0f;
        for (float d : nearest) total += d;

        std::size_t chosen = 0;
        if (total > 0.0f || std::isnan(total)) {
            float t = total * rng.gen_f32();
            for (std::size_t i = 0; i < n; ++i) {
                t -= nearest[i];
                if (!(t > 0.0f)) {  // a NaN walk stops at once
                    chosen = i;
                    break;
                }
            }
        } else {
            chosen = static_cast<std::size_t>(rng.gen_range_usize(0, n));
        }
        append_centre(chosen);
    }
    return centres;
}

// Lloyd rounds from the seeded centres; returns the last assignment computed.
std::vector<std::uint32_t> refine(std::span<const float> vectors, std::size_t n, std::size_t dim,
                                  std::size_t k, std::vector<float> centres) {
    std::vector<std::uint32_t> assignment = assign_clusters(vectors, centres, dim);
    std::vector<float> sums(k * dim);
    std::vector<std::size_t> counts(k);
    for (int round = 0; round < kKmeansMaxRounds; ++round) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t c = assignment[i];
            float* sum = sums.data() + c * dim;
            const float* v = vectors.data() + i * dim;
            for (std::size_t j = 0; j < dim; ++j) sum[j] += v[j];
            ++counts[c];
        }
        for (std::size_t c = 0; c < k; ++c) {
            float* centre = centres.data() + c * dim;
            if (counts[c] == 0) {
                std::fill(centre, centre + dim, 0.0f);
                continue;
            }
            const float count = static_cast<float>(counts[c]);
            const float* sum = sums.data() + c * dim;
            for (std::size_t j = 0; j < dim; ++j) centre[j] = sum[j] / count;
        }
        std::vector<std::uint32_t> next = assign_clusters(vectors, centres, dim);
        const bool stable = next == assignment;
        assignment = std::move(next);
        if (stable) break;
    }
    return assignment;
}

// Rows waiting to become a node of the tree.
struct Pending {
    std::size_t node;
    std::vector<std::uint32_t> row_ids;
    std::vector<float> vectors;
    bool cut_only;  // rows the clustering already failed to split
};

}  // namespace

std::vector<std::uint32_t> assign_clusters(std::span<const float> vectors,
                                           std::span<const float> centres, std::size_t dim) {
    const std::size_t n = dim == 0 ? 0 : vectors.size() / dim;
    const std::size_t k = dim == 0 ? 0 : centres.size() / dim;
    std::vector<std::uint32_t> assignment(dim == 0 ? vectors.size() : n, 0);
    if (k < 2 || dim == 0) return assignment;
    for_rows(n, k * dim, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            auto v = row_of(vectors, i, dim);
            std::uint32_t best = 0;
            float best_d = l2_sq_f32(v, row_of(centres, 0, dim));
            for (std::size_t j = 1; j < k; ++j) {
                const float d = l2_sq_f32(v, row_of(centres, j, dim));
                if (best_d > d) {  // strict: ties and NaN keep the lower centre
                    best = static_cast<std::uint32_t>(j);
                    best_d = d;
                }
            }
            assignment[i] = best;
        }
    });
    return assignment;
}

PartitionTree partition_recursive_with_vectors(std::span<const std::uint32_t> row_ids,
                                               std::span<const float> vectors, std::size_t dim,
                                               std::size_t leaf_capacity, qelbo::StdRng& rng) {
    // Without columns every assignment would be empty while rows remain to be grouped.
    if (dim == 0) throw MirotError::invalid_parameter("k-means partition requires at least one column");
    if (vectors.size() / dim < row_ids.size())
        throw qelbo::Panic("partition_recursive_with_vectors: fewer vectors than row ids");
    const std::size_t capacity = std::max<std::size_t>(leaf_capacity, 1);
    PartitionTree tree;
    tree.dim = dim;
    tree.nodes.emplace_back();

    // Depth first with an explicit stack: the generator is consumed in the same order
    // as a recursion over clusters in index order, without deep native recursion.
    std::vector<Pending> stack;
    stack.push_back({0, std::vector<std::uint32_t>(row_ids.begin(), row_ids.end()),
                     std::vector<float>(vectors.begin(), vectors.begin() + row_ids.size() * dim),
                     false});
    while (!stack.empty()) {
        Pending work = std::move(stack.back());
        stack.pop_back();
        const std::size_t n = work.row_ids.size();
        if (n <= capacity) {
            PartitionNode& leaf = tree.nodes[work.node];
            leaf.leaf = true;
            leaf.row_ids = std::move(work.row_ids);
            leaf.vectors = std::move(work.vectors);
            continue;
        }

        // Groups of rows, each a child in order: clusters, or consecutive runs.
        std::vector<std::vector<std::size_t>> groups;
        if (!work.cut_only) {
            const std::size_t k =
                std::clamp<std::size_t>((n + capacity - 1) / capacity, 2, kKmeansMaxClusters);
            std::vector<float> centres = seed_centres(work.vectors, n, dim, k, rng);
            std::vector<std::uint32_t> assignment =
                refine(work.vectors, n, dim, k, std::move(centres));
            groups.assign(k, {});
            for (std::size_t i = 0; i < n; ++i) groups[assignment[i]].push_back(i);
            std::erase_if(groups, [](const auto& g) { return g.empty(); });
        }
        bool cut = work.cut_only || groups.size() < 2;
        if (cut) {
            // Not divisible by clustering (identical rows, NaN distances): runs of
            // `capacity` rows in input order, grouped so no node has more than 16
            // children.
            const std::size_t runs = (n + capacity - 1) / capacity;
            const std::size_t runs_per_child = (runs + kKmeansMaxClusters - 1) / kKmeansMaxClusters;
            const std::size_t rows_per_child = runs_per_child * capacity;
            groups.clear();
            for (std::size_t begin = 0; begin < n; begin += rows_per_child) {
                std::vector<std::size_t> g;
                for (std::size_t i = begin; i < std::min(n, begin + rows_per_child); ++i)
                    g.push_back(i);
                groups.push_back(std::move(g));
            }
        }

        std::vector<Pending> children;
        children.reserve(groups.size());
        std::vector<std::size_t> child_nodes;
        for (const auto& g : groups) {
            Pending child{tree.nodes.size(), {}, {}, cut};
            child.row_ids.reserve(g.size());
            child.vectors.reserve(g.size() * dim);
            for (std::size_t i : g) {
                child.row_ids.push_back(work.row_ids[i]);
                auto v = row_of(work.vectors, i, dim);
                child.vectors.insert(child.vectors.end(), v.begin(), v.end());
            }
            tree.nodes.emplace_back();
            child_nodes.push_back(child.node);
            children.push_back(std::move(child));
        }
        PartitionNode& node = tree.nodes[work.node];
        node.leaf = false;
        node.children = std::move(child_nodes);
        // The first child is built (its whole subtree) before the next one.
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(std::move(*it));
    }
    return tree;
}

}  // namespace mirot
