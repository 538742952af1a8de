#include "mirot/forest_search.h"

#include <algorithm>
#include <limits>
#include <string>

#include "base/panic.h"
#include "base/worker_pool.h"
#include "mirot/distance.h"
#include "mirot/error.h"
#include "mirot/merge.h"
#include "mirot/page_search.h"
#include "mirot/search_source.h"
#include "mirot/tuning.h"

namespace mirot {

namespace {

// Queries scored together in one pass over the rows, and the rows of one pass: a
// block of rows stays in cache while every query of the block meets it. Each query
// still sees the rows in increasing order, so no answer depends on either size.
constexpr std::size_t kQueryBlock = 16;
constexpr std::size_t kRowBlock = 256;
// Queries whose scanned rows are held at once by the large-data search.
constexpr std::size_t kQueryChunk = 1024;

// Per-thread buffers reused from query to query.
struct QueryScratch {
    std::vector<float> query;
    std::vector<float> centroid;
    std::vector<Candidate> index_candidates;
    std::vector<Candidate> leaf_pairs;
    std::vector<std::pair<std::uint32_t, float>> fragment_rank;
    std::vector<Neighbour> merged;
    // A block of queries, row-major, with their distances to a block of rows and
    // their bounded heaps.
    std::vector<float> block_queries;
    std::vector<float> block_dist;
    std::vector<Candidate> heaps[kQueryBlock];
};

QueryScratch& query_scratch() {
    thread_local QueryScratch s;
    return s;
}

// A query row narrowed to f32, divided by the scale first when rows are scaled.
void convert_query(const BlockView& queries, std::size_t q, std::span<const double> x_scale, bool scale_x,
                   float* out, std::size_t m) {
    for (std::size_t j = 0; j < m; ++j) {
        const double v = queries(q, j);
        out[j] = static_cast<float>(scale_x ? v / x_scale[j] : v);
    }
}

std::size_t converted_width(const BlockView& queries, std::span<const double> x_scale, bool scale_x) {
    return scale_x ? std::min(x_scale.size(), queries.cols) : queries.cols;
}

void convert_query(const BlockView& queries, std::size_t q, std::span<const double> x_scale, bool scale_x,
                   std::vector<float>& out) {
    out.resize(converted_width(queries, x_scale, scale_x));
    convert_query(queries, q, x_scale, scale_x, out.data(), out.size());
}

// Keeps the `c` smallest candidates by (distance, row), as a stable sort then a cut
// would: rows arrive in increasing order, so an equal distance never displaces. A
// view over storage that outlives it, so that a heap can be fed block after block.
class BoundedHeap {
public:
    BoundedHeap(std::vector<Candidate>& storage, std::size_t capacity) : heap_(storage), cap_(capacity) {}
    void offer(Candidate c) {
        if (heap_.size() < cap_) {
            heap_.push_back(c);
            std::push_heap(heap_.begin(), heap_.end(), CandidateOrder{});
        } else if (cap_ != 0 && distance_less(c.distance, heap_.front().distance)) {
            replace_top(c);
        }
    }
    // Rows first, first + 1, ... at the given distances.
    void offer_run(std::uint64_t first, const float* dist, std::size_t count) {
        std::size_t i = 0;
        for (; i < count && heap_.size() < cap_; ++i) offer({static_cast<std::uint32_t>(first + i), dist[i]});
        if (cap_ == 0) return;
        while (i < count) {
            const float worst = heap_.front().distance;
            if (worst != worst) {
                // Any number displaces a NaN.
                if (dist[i] == dist[i]) replace_top({static_cast<std::uint32_t>(first + i), dist[i]});
                ++i;
                continue;
            }
            // Against a number, distance_less is a plain comparison (NaN never passes).
            while (i < count && !(dist[i] < worst)) ++i;
            if (i == count) break;
            replace_top({static_cast<std::uint32_t>(first + i), dist[i]});
            ++i;
        }
    }
    // Ascending by (distance, row); the heap is consumed.
    void finish() { std::sort_heap(heap_.begin(), heap_.end(), CandidateOrder{}); }

private:
    // Puts c in place of the greatest entry: one sift down instead of a pop and a push.
    // The layout may differ from theirs, the set and hence the finished order do not.
    void replace_top(Candidate c) {
        const CandidateOrder less;
        const std::size_t n = heap_.size();
        std::size_t i = 0;
        for (;;) {
            const std::size_t l = 2 * i + 1;
            if (l >= n) break;
            const std::size_t m = l + 1 < n && less(heap_[l], heap_[l + 1]) ? l + 1 : l;
            if (!less(c, heap_[m])) break;
            heap_[i] = heap_[m];
            i = m;
        }
        heap_[i] = c;
    }

    std::vector<Candidate>& heap_;
    std::size_t cap_;
};

// The `capacity` nearest of rows [first, last) to each of nq queries, ascending by
// (distance, row), into heaps[0..nq). `distances(row, count, out, out_stride)` scores
// every query of the block against `count` rows from `row` on.
template <class Distances>
void scan_nearest(std::size_t nq, std::uint64_t first, std::uint64_t last, std::size_t capacity,
                  std::vector<Candidate>* heaps, std::vector<float>& dist, Distances&& distances) {
    dist.resize(nq * kRowBlock);
    for (std::size_t i = 0; i < nq; ++i) heaps[i].clear();
    for (std::uint64_t row = first; row < last;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(kRowBlock, last - row));
        distances(row, count, dist.data(), kRowBlock);
        for (std::size_t i = 0; i < nq; ++i) {
            BoundedHeap(heaps[i], capacity).offer_run(row, dist.data() + i * kRowBlock, count);
        }
        row += count;
    }
    for (std::size_t i = 0; i < nq; ++i) BoundedHeap(heaps[i], capacity).finish();
}

// The first `keep` candidates of v in (distance, row) order, v cut to them; in
// that order only when `ordered`.
void keep_nearest(std::vector<Candidate>& v, std::size_t keep, bool ordered) {
    if (keep < v.size()) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(keep), v.end(), CandidateOrder{});
        v.resize(keep);
    }
    if (ordered) std::sort(v.begin(), v.end(), CandidateOrder{});
}

void write_row(SearchResult& result, std::size_t q, const std::vector<Neighbour>& merged) {
    double* dist = result.distances.data() + q * result.out_k;
    std::int64_t* idx = result.indices.data() + q * result.out_k;
    const std::size_t m = std::min(result.out_k, merged.size());
    for (std::size_t i = 0; i < m; ++i) {
        dist[i] = merged[i].distance;
        idx[i] = static_cast<std::int64_t>(merged[i].row);
    }
}

SearchResult empty_result(std::size_t num_queries, std::size_t out_k) {
    SearchResult r;
    r.num_queries = num_queries;
    r.out_k = out_k;
    // Positions without a neighbour: never a real row at a real distance.
    r.distances.assign(num_queries * out_k, std::numeric_limits<double>::infinity());
    r.indices.assign(num_queries * out_k, -1);
    return r;
}

std::size_t checked_product(std::size_t a, std::size_t b, const char* what) {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) {
        throw MirotError::invalid_parameter(std::string(what) + " size overflows");
    }
    return a * b;
}

std::shared_ptr<const std::vector<float>> small_rows(const SearchInputs& in, SmallNCache& cache, std::uint64_t n) {
    if (auto hit = cache.find(n, in.num_dim)) return hit;
    auto rows = std::make_shared<std::vector<float>>();
    rows->reserve(checked_product(static_cast<std::size_t>(n), in.num_dim, "row cache"));
    const SearchSource source{in.x_store, in.x_scale, in.scale_x};
    std::vector<float> row;
    for (std::uint64_t r = 0; r < n; ++r) {
        row_to_search_vector(source, r, row);
        rows->insert(rows->end(), row.begin(), row.end());
    }
    std::shared_ptr<const std::vector<float>> shared = std::move(rows);
    cache.store(n, shared);
    return shared;
}

struct Sizes {
    std::size_t out_k;
    std::size_t k_search;
    std::size_t index_k;  // candidates kept from the index per query
};

Sizes search_sizes(int search_k, bool exclude_nearest, std::uint64_t n) {
    const std::uint64_t k = static_cast<std::uint64_t>(search_k);
    Sizes s;
    s.out_k = static_cast<std::size_t>(std::min(k, n));
    s.k_search = static_cast<std::size_t>(std::min(k + (exclude_nearest ? 1 : 0), n));
    s.index_k = exclude_nearest ? std::max(2 * s.out_k, s.k_search) : s.out_k;
    if (s.index_k < 1) s.index_k = 1;
    return s;
}

// A fatal step of the large search: the index or the row count disagrees with the
// column file. Reported as an error of the call rather than a crash of the process.
[[noreturn]] void step_failed(const char* step, const MirotError& e) {
    throw MirotError::invalid_parameter(std::string(step) + ": " + e.debug());
}

class LargeSearch {
public:
    LargeSearch(const SearchInputs& in, const BlockView& queries, Sizes sizes, bool exclude_nearest)
        : in_(in), queries_(queries), sizes_(sizes), exclude_(exclude_nearest),
          source_{in.x_store, in.x_scale, in.scale_x}, n_(in.x_store->nrows()) {}

    // The nearest unindexed rows of queries [begin, end), tail_k each, ascending,
    // at out + (q - begin) * tail_k.
    void scan_tail(std::size_t begin, std::size_t end, Candidate* out, std::size_t tail_k) const {
        QueryScratch& s = query_scratch();
        const std::size_t nq = end - begin;
        const std::size_t n =
            std::min(converted_width(queries_, in_.x_scale, in_.scale_x), search_row_width(source_));
        s.block_queries.resize(nq * n);
        for (std::size_t i = 0; i < nq; ++i)
            convert_query(queries_, begin + i, in_.x_scale, in_.scale_x, s.block_queries.data() + i * n, n);
        try {
            nearest_stored_rows(source_, s.block_queries.data(), nq, n, in_.indexed_rows, n_, sizes_.k_search,
                                s.heaps);
        } catch (const MirotError& e) {
            step_failed("mirot_brute_force_topk_mmap", e);
        }
        for (std::size_t i = 0; i < nq; ++i) {
            qelbo::expect(s.heaps[i].size() == tail_k, "tail scan kept an unexpected count");
            std::copy(s.heaps[i].begin(), s.heaps[i].end(), out + i * tail_k);
        }
    }

    // Query q's answer from its index candidates and `tail`, its scanned rows.
    void run(std::size_t q, std::span<const Candidate> tail, SearchResult& result) const {
        QueryScratch& s = query_scratch();
        convert_query(queries_, q, in_.x_scale, in_.scale_x, s.query);
        s.index_candidates.clear();
        if (in_.indexed_rows > 0 && !in_.fragments.empty()) {
            try {
                index_candidates(s);
            } catch (const MirotError& e) {
                step_failed("search_candidates", e);
            }
        }
        if (!in_.scale_x) {
            merge_topk_into(s.index_candidates, tail, sizes_.out_k, sizes_.k_search, exclude_, s.merged);
        } else {
            struct Context {
                const LargeSearch* search;
                std::size_t q;
            } ctx{this, q};
            const ExactDistance exact{[](const void* c, std::uint32_t r) {
                                          const auto* x = static_cast<const Context*>(c);
                                          return x->search->exact_distance(x->q, r);
                                      },
                                      &ctx};
            try {
                merge_topk_into(s.index_candidates, tail, sizes_.out_k, sizes_.k_search, exclude_, s.merged,
                                &exact);
            } catch (const MirotError& e) {
                step_failed("mirot_merge_topk_candidates", e);
            }
        }
        write_row(result, q, s.merged);
    }

    // Rows no fragment covers yet.
    std::uint64_t tail_rows() const { return in_.indexed_rows < n_ ? n_ - in_.indexed_rows : 0; }
    const Sizes& sizes() const { return sizes_; }

private:
    void index_candidates(QueryScratch& s) const {
        const MirotTuning tuning = current_tuning();
        const std::size_t m = in_.fragments.size();
        s.fragment_rank.clear();
        std::size_t selected = m;
        if (m >= 3) {
            const std::uint64_t budget =
                std::min<std::uint64_t>({tuning.search_fragment_budget_max, m,
                                         std::max<std::uint64_t>(in_.indexed_rows / tuning.search_rows_per_fragment, 2)});
            if (m > budget) {
                for (std::size_t f = 0; f < m; ++f) {
                    const MirotIndex& frag = in_.fragments[f];
                    const std::vector<float>* centroid = nullptr;
                    if (frag.root_centroid) {
                        centroid = &*frag.root_centroid;
                    } else if (const Page* root = frag.page_by_id(frag.header.root_page_id)) {
                        root->centroid_into(s.centroid);
                        centroid = &s.centroid;
                    }
                    float d = std::numeric_limits<float>::infinity();
                    if (centroid && !centroid->empty()) d = l2_sq_f32(s.query, *centroid);
                    s.fragment_rank.emplace_back(static_cast<std::uint32_t>(f), d);
                }
                selected = static_cast<std::size_t>(budget);
                std::partial_sort(s.fragment_rank.begin(), s.fragment_rank.begin() + static_cast<std::ptrdiff_t>(selected),
                                  s.fragment_rank.end(), [](const auto& a, const auto& b) {
                                      if (distance_less(a.second, b.second)) return true;
                                      if (distance_less(b.second, a.second)) return false;
                                      return a.first < b.first;
                                  });
                s.fragment_rank.resize(selected);
            }
        }
        if (s.fragment_rank.empty()) {
            for (std::size_t f = 0; f < m; ++f) s.fragment_rank.emplace_back(static_cast<std::uint32_t>(f), 0.0f);
        }
        const std::size_t per_fragment_k = fragment_k(sizes_.index_k, m, selected);
        for (const auto& [f, unused] : s.fragment_rank) {
            (void)unused;
            const MirotIndex& frag = in_.fragments[f];
            const MirotTuning t = current_tuning();
            if (frag.header.indexed_rows <= t.exhaustive_search_row_limit) {
                s.leaf_pairs.clear();
                for (const Page& p : frag.pages) {
                    if (const LeafPage* leaf = p.leaf()) score_leaf(source_, s.query, *leaf, s.leaf_pairs);
                }
                keep_nearest(s.leaf_pairs, per_fragment_k, false);
                s.index_candidates.insert(s.index_candidates.end(), s.leaf_pairs.begin(), s.leaf_pairs.end());
            } else {
                const bool refine = frag.header.indexed_rows <= t.skip_refinement_row_limit;
                search_index_into(frag, s.query, per_fragment_k, static_cast<std::size_t>(t.search_beam_width), refine,
                                  nullptr, source_, s.index_candidates);
            }
        }
        // In order: of two pairs for one row, the merge keeps the one listed first.
        keep_nearest(s.index_candidates, sizes_.index_k, true);
    }

    // max(K, ceil(K * fragments / selected)), saturating.
    static std::size_t fragment_k(std::size_t k, std::size_t fragments, std::size_t selected) {
        const std::size_t sel = std::max<std::size_t>(selected, 1);
        std::size_t scaled;
        if (fragments != 0 && k > std::numeric_limits<std::size_t>::max() / fragments) {
            scaled = std::numeric_limits<std::size_t>::max();
        } else {
            const std::size_t prod = k * fragments;
            scaled = prod / sel + (prod % sel != 0 ? 1 : 0);
        }
        return std::max(k, scaled);
    }

    // The f64 distance between the query and stored row r, both divided by the scale.
    double exact_distance(std::size_t q, std::uint32_t r) const {
        const MmapColumnStore& store = *in_.x_store;
        if (r >= store.nrows()) throw row_out_of_range(r, store.nrows());
        const double* x = store.row(r);
        const std::size_t m =
            std::min({queries_.cols, static_cast<std::size_t>(store.ncols()), in_.x_scale.size()});
        double sum = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            const double d = queries_(q, j) / in_.x_scale[j] - x[j] / in_.x_scale[j];
            sum += d * d;
        }
        // A NaN distance stays NaN and sorts after every number, rather than
        // passing for a row at distance 0.
        return sum < 0.0 ? 0.0 : sum;
    }

    const SearchInputs& in_;
    const BlockView& queries_;
    Sizes sizes_;
    bool exclude_;
    SearchSource source_;
    std::uint64_t n_;
};

}  // namespace

std::shared_ptr<const std::vector<float>> SmallNCache::find(std::uint64_t rows, std::size_t num_dim) const {
    std::lock_guard guard(mutex_);
    if (!values_ || rows_ != rows) return nullptr;
    if (num_dim != 0 && values_->size() / num_dim != rows) return nullptr;
    if (values_->size() != static_cast<std::size_t>(rows) * num_dim) return nullptr;
    return values_;
}

void SmallNCache::store(std::uint64_t rows, std::shared_ptr<const std::vector<float>> values) {
    std::shared_ptr<const std::vector<float>> old;
    {
        std::lock_guard guard(mutex_);
        old = std::move(values_);
        values_ = std::move(values);
        rows_ = rows;
    }
}

void SmallNCache::clear() { store(0, nullptr); }

void nearest_stored_rows(const SearchSource& source, const float* queries, std::size_t nq, std::size_t n,
                         std::uint64_t first, std::uint64_t last, std::size_t capacity, std::vector<Candidate>* out) {
    qelbo::expect(n <= search_row_width(source), "query wider than a stored row");
    const MmapColumnStore& store = *source.x_store;
    if (last > store.nrows()) throw row_out_of_range(std::max(first, store.nrows()), store.nrows());
    // Candidates name rows by u32.
    if (last > std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1) {
        throw MirotError::invalid_parameter("row count " + std::to_string(last) + " exceeds u32::MAX");
    }
    const double* scale = search_row_scale(source);
    const std::size_t stride = static_cast<std::size_t>(store.ncols());
    QueryScratch& s = query_scratch();
    for (std::size_t b = 0; b < nq; b += kQueryBlock) {
        const std::size_t m = std::min(kQueryBlock, nq - b);
        const float* block = queries + b * n;
        scan_nearest(m, first, last, capacity, out + b, s.block_dist,
                     [&](std::uint64_t row, std::size_t count, float* dist, std::size_t dist_stride) {
                         l2_sq_f32_rows(block, m, store.row(row), stride, count, scale, n, dist, dist_stride);
                     });
    }
}

SearchResult score_queries_flat(const BlockView& queries, std::span<const float> rows, std::span<const double> x_scale,
                                std::size_t n, std::size_t num_dim, std::size_t out_k, std::size_t k_search,
                                bool scale_x, bool exclude_nearest) {
    qelbo::expect(rows.size() == checked_product(n, num_dim, "row cache"), "small_n_x_cache length");
    SearchResult result = empty_result(queries.rows, out_k);
    const std::size_t capacity = (n == 0 || k_search == 0) ? 0 : std::min(n, k_search);
    qelbo::parallel_for_ranges(queries.rows, kQueryBlock, [&](std::size_t begin, std::size_t end) {
        QueryScratch& s = query_scratch();
        const std::size_t nq = end - begin;
        qelbo::expect(converted_width(queries, x_scale, scale_x) == num_dim, "query length differs from num_dim");
        s.block_queries.resize(nq * num_dim);
        for (std::size_t i = 0; i < nq; ++i)
            convert_query(queries, begin + i, x_scale, scale_x, s.block_queries.data() + i * num_dim, num_dim);
        scan_nearest(nq, 0, n, capacity, s.heaps, s.block_dist,
                     [&](std::uint64_t row, std::size_t count, float* dist, std::size_t dist_stride) {
                         l2_sq_f32_rows(s.block_queries.data(), nq, rows.data() + row * num_dim, num_dim, count,
                                        num_dim, dist, dist_stride);
                     });
        for (std::size_t i = 0; i < nq; ++i) {
            merge_topk_into(s.heaps[i], {}, out_k, k_search, exclude_nearest, s.merged);
            write_row(result, begin + i, s.merged);
        }
    });
    return result;
}

SearchResult forest_search(const SearchInputs& in, SmallNCache& cache, const BlockView& queries, int search_k,
                           bool exclude_nearest) {
    if (search_k < 1) {
        throw MirotError::invalid_parameter("search_k must be >= 1, got " + std::to_string(search_k));
    }
    const MmapColumnStore& store = *in.x_store;
    if (store.ncols() != in.num_dim) {
        throw MirotError::invalid_parameter("x store has " + std::to_string(store.ncols()) + " columns, num_dim is " +
                                            std::to_string(in.num_dim));
    }
    if (queries.rows > 0 && queries.cols != in.num_dim) {
        throw MirotError::invalid_shape({queries.rows, in.num_dim}, {queries.rows, queries.cols});
    }
    if (in.scale_x && in.x_scale.size() < in.num_dim) {
        throw MirotError::invalid_parameter("x_scale has " + std::to_string(in.x_scale.size()) +
                                            " values, num_dim is " + std::to_string(in.num_dim));
    }
    const std::uint64_t n = store.nrows();
    if (n == 0) return empty_result(queries.rows, 0);
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        throw MirotError::invalid_parameter("row count " + std::to_string(n) + " exceeds u32::MAX");
    }
    const Sizes sizes = search_sizes(search_k, exclude_nearest, n);
    if (n <= kSmallSearchRowLimit) {
        auto rows = small_rows(in, cache, n);
        return score_queries_flat(queries, *rows, in.x_scale, static_cast<std::size_t>(n), in.num_dim, sizes.out_k,
                                  sizes.k_search, in.scale_x, exclude_nearest);
    }
    SearchResult result = empty_result(queries.rows, sizes.out_k);
    const LargeSearch search(in, queries, sizes, exclude_nearest);
    // The unindexed rows are scanned for a block of queries at a time, the index is
    // searched query by query; a chunk of queries bounds the scanned lists kept between.
    const std::size_t tail_k = static_cast<std::size_t>(std::min<std::uint64_t>(sizes.k_search, search.tail_rows()));
    std::vector<Candidate> tail;
    for (std::size_t base = 0; base < queries.rows; base += kQueryChunk) {
        const std::size_t chunk = std::min(kQueryChunk, queries.rows - base);
        tail.resize(checked_product(chunk, tail_k, "tail candidates"));
        if (tail_k > 0) {
            qelbo::parallel_for_ranges(chunk, kQueryBlock, [&](std::size_t begin, std::size_t end) {
                search.scan_tail(base + begin, base + end, tail.data() + begin * tail_k, tail_k);
            });
        }
        qelbo::parallel_for_ranges(chunk, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t q = begin; q < end; ++q)
                search.run(base + q, std::span<const Candidate>(tail.data() + q * tail_k, tail_k), result);
        });
    }
    return result;
}

}  // namespace mirot
