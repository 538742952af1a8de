#include "mirot/page_search.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "base/panic.h"
#include "mirot/distance.h"

namespace mirot {

namespace {

// Per-thread buffers reused across searches, so that a search allocates only when a
// fragment is larger than any this thread has searched before.
struct Scratch {
    // Visited leaves, by page position: visited when stamp == generation.
    std::vector<std::uint32_t> stamp;
    // Internal pages entered by the descent, the same way.
    std::vector<std::uint32_t> entered;
    std::uint32_t generation = 0;
    // Visited ids that name no page (only skip edges can reach them).
    std::vector<std::uint32_t> visited_missing;
    // Queued leaf ids with their page positions (kNoPage for an id naming no page).
    std::vector<std::uint32_t> queue;
    std::vector<std::size_t> queue_pos;
    std::vector<std::uint32_t> snapshot;
    std::vector<std::size_t> snapshot_pos;
    // Descent: each frame owns a run of (child position, distance) pairs in `arena`.
    struct Frame {
        const InternalPage* page;
        std::size_t next;
        std::size_t end;
        std::size_t begin;
    };
    std::vector<Frame> frames;
    std::vector<std::pair<std::uint32_t, float>> arena;
    std::vector<std::pair<std::uint32_t, float>> ranked;
    std::vector<float> centroid;
    std::vector<Candidate> candidates;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Stable order by distance (NaN last), ties by position in the list.
struct RankedOrder {
    bool operator()(const std::pair<std::uint32_t, float>& a, const std::pair<std::uint32_t, float>& b) const {
        if (distance_less(a.second, b.second)) return true;
        if (distance_less(b.second, a.second)) return false;
        return a.first < b.first;
    }
};

constexpr std::size_t kNoPage = static_cast<std::size_t>(-1);

class FragmentSearch {
public:
    FragmentSearch(const MirotIndex& index, std::span<const float> query, std::size_t beam,
                   std::vector<std::uint32_t>* trace, Scratch& s)
        : index_(index), query_(query), beam_(beam == 0 ? 1 : beam), trace_(trace), s_(s) {
        if (s_.stamp.size() < index_.pages.size()) {
            s_.stamp.resize(index_.pages.size(), 0);
            s_.entered.resize(index_.pages.size(), 0);
        }
        if (++s_.generation == 0) {
            std::fill(s_.stamp.begin(), s_.stamp.end(), 0);
            std::fill(s_.entered.begin(), s_.entered.end(), 0);
            s_.generation = 1;
        }
        s_.visited_missing.clear();
        s_.queue.clear();
        s_.queue_pos.clear();
    }

    // The position of the page with that id, or kNoPage; looked up once per id reached.
    std::size_t position(std::uint32_t id) const {
        auto it = index_.page_map.find(id);
        return it == index_.page_map.end() ? kNoPage : it->second;
    }

    // Marks the internal page at `pos` as entered; false when it was entered before. A
    // tree never enters a page twice; a malformed graph (shared children, cycles)
    // would otherwise make the descent loop or grow exponentially.
    bool enter(std::size_t pos) {
        std::uint32_t& st = s_.entered[pos];
        if (st == s_.generation) return false;
        st = s_.generation;
        return true;
    }

    // True when the id (at `pos`, or naming no page) was not visited yet.
    bool visit(std::uint32_t id, std::size_t pos) {
        if (pos != kNoPage) {
            std::uint32_t& st = s_.stamp[pos];
            if (st == s_.generation) return false;
            st = s_.generation;
            return true;
        }
        auto& missing = s_.visited_missing;
        if (std::find(missing.begin(), missing.end(), id) != missing.end()) return false;
        missing.push_back(id);
        return true;
    }

    void enqueue(std::uint32_t id, std::size_t pos) {
        s_.queue.push_back(id);
        s_.queue_pos.push_back(pos);
        if (trace_) trace_->push_back(id);
    }

    void reach(std::uint32_t id, std::size_t pos) {
        if (visit(id, pos)) enqueue(id, pos);
    }

    void push_frame(const InternalPage& page) {
        qelbo::expect(page.child_centroids.size() <= page.children.size(), "child centroid without a child id");
        const std::size_t begin = s_.arena.size();
        for (std::size_t i = 0; i < page.child_centroids.size(); ++i) {
            s_.arena.emplace_back(static_cast<std::uint32_t>(i), l2_sq_f32(query_, page.child_centroids[i]));
        }
        const std::size_t count = s_.arena.size() - begin;
        const std::size_t take = std::min(beam_, count);
        auto first = s_.arena.begin() + static_cast<std::ptrdiff_t>(begin);
        std::partial_sort(first, first + static_cast<std::ptrdiff_t>(take), s_.arena.end(), RankedOrder{});
        s_.arena.resize(begin + take);
        s_.frames.push_back({&page, begin, begin + take, begin});
    }

    // Depth first, children in order of centroid distance, the first `beam` of each.
    // Iterative, so the depth of the tree is bounded by memory, not by the stack.
    void descend(std::size_t root_pos) {
        const Page& root = index_.pages[root_pos];
        if (root.is_leaf()) {
            reach(root.page_id(), root_pos);
            return;
        }
        s_.frames.clear();
        s_.arena.clear();
        enter(root_pos);
        push_frame(*root.internal());
        while (!s_.frames.empty()) {
            Scratch::Frame& f = s_.frames.back();
            if (f.next == f.end) {
                s_.arena.resize(f.begin);
                s_.frames.pop_back();
                continue;
            }
            const std::uint32_t child_id = f.page->children[s_.arena[f.next++].first];
            const std::size_t pos = position(child_id);
            if (pos == kNoPage) continue;
            const Page& child = index_.pages[pos];
            if (child.is_leaf()) {
                reach(child_id, pos);
            } else if (enter(pos)) {
                push_frame(*child.internal());
            }
        }
    }

    void refine() {
        if (s_.queue.empty() || index_.skip_edges.empty()) return;
        s_.snapshot.assign(s_.queue.begin(), s_.queue.end());
        for (std::uint32_t leaf_id : s_.snapshot) {
            if (s_.queue.size() >= kCandidateLeafCap) return;
            auto it = index_.skip_edges.find(leaf_id);
            if (it == index_.skip_edges.end()) continue;
            for (std::uint32_t neighbour : it->second) {
                if (s_.queue.size() >= kCandidateLeafCap) break;
                reach(neighbour, position(neighbour));
            }
        }
    }

    // Keeps the 384 queued leaves whose centroids lie nearest; ids that name no page
    // drop out. Their order is left open: every row of every kept leaf is scored and
    // the rows are then selected by (distance, row) alone.
    void bound() {
        if (s_.queue.size() <= kCandidateLeafCap) return;
        s_.snapshot.clear();
        s_.snapshot_pos.clear();
        s_.ranked.clear();
        for (std::size_t i = 0; i < s_.queue.size(); ++i) {
            const std::size_t pos = s_.queue_pos[i];
            if (pos == kNoPage) continue;
            const Page& p = index_.pages[pos];
            const LeafPage* leaf = p.leaf();
            const std::vector<float>* centroid = leaf && leaf->centroid ? &*leaf->centroid : nullptr;
            if (!centroid) {
                p.centroid_into(s_.centroid);
                centroid = &s_.centroid;
            }
            s_.ranked.emplace_back(static_cast<std::uint32_t>(s_.snapshot.size()), l2_sq_f32(query_, *centroid));
            s_.snapshot.push_back(s_.queue[i]);
            s_.snapshot_pos.push_back(pos);
        }
        const std::size_t take = std::min(kCandidateLeafCap, s_.ranked.size());
        std::nth_element(s_.ranked.begin(), s_.ranked.begin() + static_cast<std::ptrdiff_t>(take), s_.ranked.end(),
                         RankedOrder{});
        s_.queue.clear();
        s_.queue_pos.clear();
        for (std::size_t i = 0; i < take; ++i) {
            s_.queue.push_back(s_.snapshot[s_.ranked[i].first]);
            s_.queue_pos.push_back(s_.snapshot_pos[s_.ranked[i].first]);
        }
    }

private:
    const MirotIndex& index_;
    std::span<const float> query_;
    std::size_t beam_;
    std::vector<std::uint32_t>* trace_;
    Scratch& s_;
};

constexpr std::uint32_t kChunk = 256;

// Rows [first, first + count) of the store, count at most kChunk, in row order.
void score_run(const MmapColumnStore& store, std::span<const float> query, std::size_t n, const double* scale,
               std::uint32_t first, std::uint32_t count, std::vector<Candidate>& out) {
    float dist[kChunk];
    l2_sq_f32_rows(query.data(), 1, store.row(first), static_cast<std::size_t>(store.ncols()), count, scale, n, dist,
                   kChunk);
    for (std::uint32_t i = 0; i < count; ++i) out.push_back({first + i, dist[i]});
}

// Rows read from the store are converted inside the distance kernels, as
// row_to_search_vector would convert them, without a copy per row. Ids that follow
// each other (as a sync's leaves hold them) are scored as runs of rows.
void score_rows_from_store(const SearchSource& source, std::span<const float> query,
                           const std::vector<std::uint32_t>& row_ids, std::vector<Candidate>& out) {
    if (row_ids.empty()) return;
    const MmapColumnStore& store = *source.x_store;
    const std::uint64_t nrows = store.nrows();
    const std::size_t n = std::min(query.size(), search_row_width(source));
    const double* scale = search_row_scale(source);
    for (std::size_t i = 0; i < row_ids.size();) {
        const std::uint32_t first = row_ids[i];
        std::uint32_t count = 1;
        while (i + count < row_ids.size() && count < kChunk && std::uint64_t{row_ids[i + count]} == std::uint64_t{first} + count)
            ++count;
        // The first missing row of an increasing run is the error, nothing scored.
        if (std::uint64_t{first} + count > nrows) throw row_out_of_range(std::max<std::uint64_t>(first, nrows), nrows);
        if (count == 1) {
            out.push_back({first, l2_sq_f32_row(query.data(), store.row(first), scale, n)});
        } else {
            score_run(store, query, n, scale, first, count, out);
        }
        i += count;
    }
}

void score_range_with(const SearchSource& source, std::span<const float> query, std::uint32_t start,
                      std::uint32_t end, std::vector<Candidate>& out) {
    qelbo::expect(start <= end, "assertion failed: start <= end");
    if (start == end) return;
    const MmapColumnStore& store = *source.x_store;
    const std::uint64_t nrows = store.nrows();
    // Nothing is scored when a row is missing: the first missing row is the error.
    if (end > nrows) throw row_out_of_range(std::max<std::uint64_t>(start, nrows), nrows);
    const std::size_t n = std::min(query.size(), search_row_width(source));
    const double* scale = search_row_scale(source);
    for (std::uint32_t first = start; first < end;) {
        const std::uint32_t count = std::min(kChunk, end - first);
        score_run(store, query, n, scale, first, count, out);
        first += count;
    }
}

void score_leaf_with(const SearchSource& source, std::span<const float> query, const LeafPage& leaf,
                     std::vector<Candidate>& out) {
    if (leaf.range) {
        score_range_with(source, query, leaf.range->first, leaf.range->second, out);
    } else if (!leaf.vectors.empty()) {
        const std::size_t n = std::min(leaf.row_ids.size(), leaf.vectors.size());
        for (std::size_t i = 0; i < n; ++i) out.push_back({leaf.row_ids[i], l2_sq_f32(query, leaf.vectors[i])});
    } else {
        score_rows_from_store(source, query, leaf.row_ids, out);
    }
}

}  // namespace

void score_leaf_range(const SearchSource& source, std::span<const float> query, std::uint32_t start,
                      std::uint32_t end, std::vector<Candidate>& out) {
    score_range_with(source, query, start, end, out);
}

void score_leaf_rows(const SearchSource& source, std::span<const float> query,
                     const std::vector<std::uint32_t>& row_ids, const std::vector<std::vector<float>>& vectors,
                     std::vector<Candidate>& out) {
    if (vectors.empty()) {
        score_rows_from_store(source, query, row_ids, out);
        return;
    }
    const std::size_t n = std::min(row_ids.size(), vectors.size());
    for (std::size_t i = 0; i < n; ++i) out.push_back({row_ids[i], l2_sq_f32(query, vectors[i])});
}

void score_leaf(const SearchSource& source, std::span<const float> query, const LeafPage& leaf,
                std::vector<Candidate>& out) {
    score_leaf_with(source, query, leaf, out);
}

void search_index_into(const MirotIndex& index, std::span<const float> query, std::size_t k, std::size_t beam,
                       bool refine, std::vector<std::uint32_t>* leaf_trace, const SearchSource& source,
                       std::vector<Candidate>& out) {
    if (index.pages.empty()) return;
    Scratch& s = scratch();
    FragmentSearch search(index, query, beam, leaf_trace, s);
    if (const std::size_t root = search.position(index.header.root_page_id); root != kNoPage) search.descend(root);
    if (refine) search.refine();
    search.bound();

    // The k nearest as a set: (distance, row) is a total order on distinct pairs, so
    // the set does not depend on the order rows are scored in. Once more than `hold`
    // pairs are held, only the k nearest so far stay, and later pairs that do not come
    // before the k-th of them are dropped as they are scored.
    constexpr std::size_t kMaxSize = static_cast<std::size_t>(-1);
    const std::size_t hold = k > kMaxSize / 4 ? kMaxSize : std::max<std::size_t>(4 * k, 1024);
    std::optional<Candidate> kth;
    s.candidates.clear();
    for (std::size_t i = 0; i < s.queue.size(); ++i) {
        const std::size_t pos = s.queue_pos[i];
        if (pos == kNoPage || !index.pages[pos].is_leaf()) continue;
        const std::size_t before = s.candidates.size();
        score_leaf_with(source, query, *index.pages[pos].leaf(), s.candidates);
        if (k == 0) {
            s.candidates.clear();
            continue;
        }
        if (kth) {
            const Candidate bar = *kth;
            s.candidates.erase(std::remove_if(s.candidates.begin() + static_cast<std::ptrdiff_t>(before),
                                              s.candidates.end(),
                                              [bar](const Candidate& c) { return !candidate_less(c, bar); }),
                               s.candidates.end());
        }
        if (s.candidates.size() > hold) {
            auto last = s.candidates.begin() + static_cast<std::ptrdiff_t>(k - 1);
            std::nth_element(s.candidates.begin(), last, s.candidates.end(), CandidateOrder{});
            kth = *last;
            s.candidates.resize(k);
        }
    }
    auto keep = s.candidates.end();
    if (k < s.candidates.size()) {
        keep = s.candidates.begin() + static_cast<std::ptrdiff_t>(k);
        std::nth_element(s.candidates.begin(), keep, s.candidates.end(), CandidateOrder{});
    }
    out.insert(out.end(), s.candidates.begin(), keep);
}

std::vector<Candidate> search_index(const MirotIndex& index, std::span<const float> query, std::size_t k,
                                    std::size_t beam, bool refine, std::vector<std::uint32_t>* leaf_trace,
                                    const SearchSource& source) {
    std::vector<Candidate> out;
    search_index_into(index, query, k, beam, refine, leaf_trace, source, out);
    std::sort(out.begin(), out.end(), CandidateOrder{});
    return out;
}

}  // namespace mirot
