#include "mirot/incremental_index.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "base/panic.h"
#include "base/worker_pool.h"
#include "mirot/compaction.h"
#include "mirot/error.h"
#include "mirot/fragment_build.h"
#include "mirot/fragment_merge.h"
#include "mirot/observation.h"
#include "mirot/tuning.h"

namespace mirot {

namespace {

std::uint64_t saturating_double(std::uint64_t v) {
    return v > std::numeric_limits<std::uint64_t>::max() / 2 ? std::numeric_limits<std::uint64_t>::max()
                                                              : 2 * v;
}

std::vector<std::uint32_t> row_id_run(std::uint64_t start, std::uint64_t end) {
    std::vector<std::uint32_t> ids(static_cast<std::size_t>(end - start));
    std::iota(ids.begin(), ids.end(), static_cast<std::uint32_t>(start));
    return ids;
}

}  // namespace

void IncrementalIndex::note_pending_rows(const BlockView& rows,
                                         std::optional<std::span<const double>> scale) {
    if (rows.rows == 0) return;
    const std::size_t c = rows.cols;
    qelbo::expect(!scale || scale->size() >= c, "note_pending_rows: scale shorter than the rows");
    if (pending_sums.size() != c) pending_sums.assign(c, 0.0);
    for (std::size_t j = 0; j < c; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i < rows.rows; ++i) sum += rows(i, j);
        pending_sums[j] += scale ? sum / (*scale)[j] : sum;
    }
    pending_count += rows.rows;
}

bool IncrementalIndex::pending_in_use(std::uint64_t num_dim) const {
    return pending_count != 0 && pending_sums.size() == num_dim;
}

void IncrementalIndex::reset_pending(std::uint64_t num_dim) {
    if (!pending_in_use(num_dim)) return;
    std::fill(pending_sums.begin(), pending_sums.end(), 0.0);
    pending_count = 0;
}

MirotIndex IncrementalIndex::build_id_leaf(const SyncSource& source, std::uint64_t total_rows) {
    const std::uint64_t n = total_rows - indexed_rows;
    LeafPage leaf;
    leaf.page_id = 0;
    leaf.row_ids = row_id_run(indexed_rows, total_rows);
    if (pending_in_use(source.num_dim) && pending_count == n) {
        // The running sums make a small sync read no rows at all. They are used only when
        // they cover exactly the rows being indexed: a copy built in the background and
        // installed later misses the sums of rows added meanwhile.
        std::vector<float> centroid(pending_sums.size());
        const double count = static_cast<double>(pending_count);
        for (std::size_t j = 0; j < centroid.size(); ++j)
            centroid[j] = static_cast<float>(pending_sums[j] / count);
        leaf.centroid = std::move(centroid);
        reset_pending(source.num_dim);
    } else {
        reset_pending(source.num_dim);
        leaf.centroid = centroid_from_mmap_rows(source, indexed_rows, total_rows);
    }
    std::vector<Page> pages;
    pages.emplace_back(std::move(leaf));
    MirotIndex fragment;
    fragment.page_map = build_page_map(pages);
    fragment.pages = std::move(pages);
    fragment.persist_dir = index_dir;
    fragment.header = IndexHeader{source.num_dim, n, 0, n, kSkipNeighbors};
    return fragment;
}

MirotIndex IncrementalIndex::build_vector_forest(const SyncSource& source,
                                                 std::uint64_t total_rows) const {
    const std::uint64_t n = total_rows - indexed_rows;
    const std::size_t dim = static_cast<std::size_t>(source.num_dim);
    const std::size_t leaves = static_cast<std::size_t>((n + kForestLeafRows - 1) / kForestLeafRows);
    std::vector<std::optional<Page>> built(leaves);
    qelbo::parallel_for_chunks(leaves, [&](std::size_t l) {
        const std::uint64_t start = indexed_rows + l * kForestLeafRows;
        const std::uint64_t end = std::min(start + kForestLeafRows, total_rows);
        const std::vector<float> flat = load_vectors_from_mmap(source, start, end);
        const std::size_t count = static_cast<std::size_t>(end - start);
        LeafPage leaf;
        leaf.page_id = static_cast<std::uint32_t>(l + 1);
        leaf.row_ids = row_id_run(start, end);
        leaf.vectors.reserve(count);
        std::vector<float> centroid(dim, 0.0f);
        for (std::size_t i = 0; i < count; ++i) {
            const float* v = flat.data() + i * dim;
            leaf.vectors.emplace_back(v, v + dim);
            for (std::size_t j = 0; j < dim; ++j) centroid[j] += v[j];
        }
        const float divisor = static_cast<float>(count);
        for (float& x : centroid) x /= divisor;
        leaf.centroid = std::move(centroid);
        built[l].emplace(std::move(leaf));
    });

    std::vector<Page> pages;
    pages.reserve(leaves + 1);
    InternalPage root;
    root.page_id = 0;
    for (auto& page : built) {
        root.children.push_back(page->page_id());
        root.child_centroids.push_back(*page->leaf()->centroid);
        pages.push_back(std::move(*page));
    }
    pages.emplace_back(std::move(root));
    return from_pages_unpersisted(source.num_dim, n, kForestLeafRows, std::move(pages), index_dir);
}

MirotIndex IncrementalIndex::build_range_forest(const SyncSource& source, std::uint64_t total_rows,
                                                std::uint64_t leaf_rows) const {
    const std::uint64_t n = total_rows - indexed_rows;
    const std::uint64_t chunk = std::max<std::uint64_t>(leaf_rows, 1);
    const std::uint64_t nrows = source.x_store.nrows();
    const SearchSource rows = as_search_source(source);
    std::vector<Page> pages;
    InternalPage root;
    root.page_id = 0;
    std::uint32_t p = 1;
    for (std::uint64_t start = indexed_rows;;) {
        if (start >= nrows) throw row_out_of_range(start, nrows);
        const std::uint64_t end = total_rows - start > chunk ? start + chunk : total_rows;
        // The first row stands for the whole range: a large sync reads one row per leaf.
        std::vector<float> centroid;
        row_to_search_vector(rows, start, centroid);
        LeafPage leaf;
        leaf.page_id = p;
        leaf.range = {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)};
        root.children.push_back(p);
        root.child_centroids.push_back(centroid);
        leaf.centroid = std::move(centroid);
        pages.emplace_back(std::move(leaf));
        if (end >= total_rows) break;
        ++p;
        start = end;
    }
    pages.emplace_back(std::move(root));
    return from_pages_unpersisted(source.num_dim, n, chunk, std::move(pages), index_dir);
}

MirotIndex IncrementalIndex::build_next_fragment(const SyncSource& source, std::uint64_t total_rows) {
    check_sync_source(source);
    // Row ids and range ends are u32; an index must not claim rows the store lacks.
    if (total_rows > std::numeric_limits<std::uint32_t>::max())
        throw MirotError::invalid_parameter("row count exceeds u32::MAX");
    const std::uint64_t nrows = source.x_store.nrows();
    if (total_rows > nrows) throw row_out_of_range(std::max(indexed_rows, nrows), nrows);

    const std::uint64_t n = total_rows - indexed_rows;
    const std::uint64_t limit = current_tuning().structured_build_row_limit;
    MirotIndex fragment;
    if (n <= saturating_double(limit)) {
        const MirotTuning tuning = current_tuning();
        const std::uint64_t seed = tuning.build_seed.value_or(indexed_rows);
        if (n <= tuning.structured_build_row_limit) {
            fragment = build_id_leaf(source, total_rows);
        } else {
            reset_pending(source.num_dim);
            const std::vector<float> vectors = load_vectors_from_mmap(source, indexed_rows, total_rows);
            const std::vector<std::uint32_t> ids = row_id_run(indexed_rows, total_rows);
            fragment = build_from_rows_with_persist(ids, vectors, source.num_dim, seed, index_dir);
        }
    } else {
        reset_pending(source.num_dim);
        fragment = n > kVectorForestMaxRows ? build_range_forest(source, total_rows, limit)
                                            : build_vector_forest(source, total_rows);
    }
    return fragment;
}

void IncrementalIndex::ensure_sync(const SyncSource& source, std::uint64_t total_rows) {
    if (total_rows <= indexed_rows) return;
    MirotIndex fragment = build_next_fragment(source, total_rows);
    fragments.push_back(std::move(fragment));
    indexed_rows = total_rows;
    maybe_compact();
    write_indexed_rows(source.work_dir.string(), indexed_rows);
}

ForestSync IncrementalIndex::sync_beside(const SyncSource& source, std::uint64_t total_rows) const {
    // Everything but the fragments, which a copy would duplicate whole at every sync.
    IncrementalIndex next(index_dir);
    next.pending_sums = pending_sums;
    next.pending_count = pending_count;
    next.indexed_rows = indexed_rows;
    ForestSync out;
    out.base_fragments = fragments.size();
    for (std::size_t i = 0; i < fragments.size(); ++i) out.fragments.emplace_back(std::in_place_index<0>, i);
    if (total_rows > indexed_rows) {
        out.fragments.emplace_back(std::in_place_index<1>, next.build_next_fragment(source, total_rows));
        next.indexed_rows = total_rows;
        std::vector<std::uint64_t> counts;
        counts.reserve(out.fragments.size());
        for (const auto& entry : out.fragments) {
            const std::size_t* kept = std::get_if<std::size_t>(&entry);
            counts.push_back((kept ? fragments[*kept] : std::get<MirotIndex>(entry)).header.indexed_rows);
        }
        // The merges maybe_compact would make; a kept fragment enters its merge as a copy.
        for (const CompactionMerge& step : compaction_merges(std::move(counts), total_rows)) {
            auto first = out.fragments.begin() + static_cast<std::ptrdiff_t>(step.start);
            auto last = first + static_cast<std::ptrdiff_t>(step.width);
            std::vector<MirotIndex> window;
            window.reserve(step.width);
            for (auto it = first; it != last; ++it) {
                if (const std::size_t* kept = std::get_if<std::size_t>(&*it)) {
                    window.push_back(fragments[*kept]);
                } else {
                    window.push_back(std::move(std::get<MirotIndex>(*it)));
                }
            }
            out.fragments.erase(first, last);
            out.fragments.emplace(out.fragments.begin() + static_cast<std::ptrdiff_t>(step.start),
                                  std::in_place_index<1>, concat_merge(std::move(window), index_dir));
        }
        // Built here, under shared access, so that installing them stays cheap.
        for (auto& entry : out.fragments) {
            if (MirotIndex* built = std::get_if<MirotIndex>(&entry); built && !built->root_centroid)
                built->cache_root_centroid();
        }
        write_indexed_rows(source.work_dir.string(), total_rows);
    }
    out.indexed_rows = next.indexed_rows;
    out.pending_sums = std::move(next.pending_sums);
    out.pending_count = next.pending_count;
    return out;
}

void IncrementalIndex::install(ForestSync sync) {
    qelbo::expect(sync.base_fragments == fragments.size(), "install: the index changed since the sync began");
    std::vector<MirotIndex> next;
    next.reserve(sync.fragments.size());
    for (auto& entry : sync.fragments) {
        if (const std::size_t* kept = std::get_if<std::size_t>(&entry)) {
            next.push_back(std::move(fragments[*kept]));
        } else {
            next.push_back(std::move(std::get<MirotIndex>(entry)));
        }
    }
    fragments = std::move(next);
    indexed_rows = sync.indexed_rows;
    pending_sums = std::move(sync.pending_sums);
    pending_count = sync.pending_count;
}

void IncrementalIndex::maybe_compact() {
    compact_fragments(fragments, indexed_rows, index_dir);
    // Fragments built by the sync or merged by the compaction; the others keep theirs.
    for (MirotIndex& f : fragments) {
        if (!f.root_centroid) f.cache_root_centroid();
    }
}

}  // namespace mirot
