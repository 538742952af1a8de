#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/std_rng.h"
#include "mirot/distance.h"
#include "mirot/error.h"
#include "mirot/forest_search.h"
#include "mirot/merge.h"
#include "mirot/mirot_backend.h"
#include "search_test_util.h"

using mirot::BlockView;
using mirot::Candidate;
using mirot::MirotIndex;
using mirot::Neighbour;
using mirot::SearchInputs;
using mirot::SearchResult;
using mirot::SmallNCache;
using mirot_test::TempDir;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Values on a coarse grid, so that many distances tie exactly.
std::vector<double> grid_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::vector<double> v(n * d);
    std::uint64_t s = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    for (double& x : v) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        x = static_cast<double>((s >> 33) % 9) * 0.25;
    }
    return v;
}

// Exact f32 scan, ties to the smaller row, optional leave-one-out.
void brute_force(const std::vector<double>& rows, const std::vector<double>& queries, std::size_t d, int k,
                 bool exclude, std::vector<double>& dist, std::vector<std::int64_t>& idx, std::size_t& out_k) {
    const std::size_t n = rows.size() / d;
    out_k = std::min<std::size_t>(k, n);
    const std::size_t k_search = std::min<std::size_t>(k + (exclude ? 1 : 0), n);
    dist.assign(queries.size() / d * out_k, kInf);
    idx.assign(queries.size() / d * out_k, -1);
    for (std::size_t q = 0; q < queries.size() / d; ++q) {
        std::vector<float> qv(d);
        for (std::size_t j = 0; j < d; ++j) qv[j] = static_cast<float>(queries[q * d + j]);
        std::vector<std::pair<float, std::uint32_t>> all;
        for (std::size_t r = 0; r < n; ++r) {
            std::vector<float> rv(d);
            for (std::size_t j = 0; j < d; ++j) rv[j] = static_cast<float>(rows[r * d + j]);
            all.emplace_back(mirot::l2_sq_f32(qv, rv), static_cast<std::uint32_t>(r));
        }
        std::stable_sort(all.begin(), all.end());
        all.resize(k_search);
        if (exclude && all.size() >= 2) all.erase(all.begin());
        for (std::size_t i = 0; i < std::min(out_k, all.size()); ++i) {
            dist[q * out_k + i] = all[i].first;
            idx[q * out_k + i] = all[i].second;
        }
    }
}

void expect_brute_force(const SearchInputs& in, const std::vector<double>& rows, const std::vector<double>& queries,
                        int k, bool exclude) {
    const std::size_t d = in.num_dim;
    SmallNCache cache;
    SearchResult got = mirot::forest_search(in, cache, BlockView(queries.data(), queries.size() / d, d), k, exclude);
    std::vector<double> dist;
    std::vector<std::int64_t> idx;
    std::size_t out_k;
    brute_force(rows, queries, d, k, exclude, dist, idx, out_k);
    EXPECT_EQ(got.out_k, out_k);
    EXPECT_EQ(got.indices, idx);
    EXPECT_EQ(got.distances, dist);
}

}  // namespace

TEST(ForestSearch, SmallDataEqualsAnExactF32ScanWithTiesToSmallerRows) {
    TempDir dir;
    const std::size_t d = 11;  // one full 8-lane block and a tail of 3
    auto rows = grid_rows(300, d, 1);
    auto store = mirot_test::store_with_rows(dir, rows, d);
    auto queries = grid_rows(40, d, 2);
    std::copy(rows.begin(), rows.begin() + d, queries.begin());  // a query equal to row 0
    SearchInputs in{&store, d, {}, false, {}, 0};
    for (bool exclude : {false, true}) {
        for (int k : {1, 7, 299, 300, 1000}) expect_brute_force(in, rows, queries, k, exclude);
    }
}

TEST(ForestSearch, ExcludeNearestDropsOneAndNeverInventsNeighbours) {
    TempDir dir;
    std::vector<double> rows{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto store = mirot_test::store_with_rows(dir, rows, 1);
    SearchInputs in{&store, 1, {}, false, {}, 0};
    SmallNCache cache;
    const std::vector<double> q{3.2};
    auto r = mirot::forest_search(in, cache, BlockView(q.data(), 1, 1), 3, true);
    EXPECT_EQ(r.indices, (std::vector<std::int64_t>{4, 2, 5}));

    // k >= n: out_k = n, one fewer neighbour remains after the drop.
    r = mirot::forest_search(in, cache, BlockView(q.data(), 1, 1), 10, true);
    ASSERT_EQ(r.out_k, 10u);
    EXPECT_EQ(r.indices.back(), -1);
    EXPECT_EQ(r.distances.back(), kInf);
    EXPECT_EQ(r.indices[0], 4);

    TempDir one_dir;
    auto one = mirot_test::store_with_rows(one_dir, {7.0}, 1);
    SmallNCache one_cache;
    r = mirot::forest_search(SearchInputs{&one, 1, {}, false, {}, 0}, one_cache, BlockView(q.data(), 1, 1), 1, true);
    EXPECT_EQ(r.indices, std::vector<std::int64_t>{0});
}

TEST(ForestSearch, EmptyStoreGivesNoColumnsAndWrongWidthsAreRefused) {
    TempDir dir;
    auto store = mirot_test::store_with_rows(dir, {}, 2);
    SmallNCache cache;
    const std::vector<double> q{1, 2, 3, 4, 5, 6};
    auto r = mirot::forest_search(SearchInputs{&store, 2, {}, false, {}, 0}, cache, BlockView(q.data(), 3, 2), 4, false);
    EXPECT_EQ(r.num_queries, 3u);
    EXPECT_EQ(r.out_k, 0u);
    EXPECT_TRUE(r.indices.empty());
    EXPECT_THROW(mirot::forest_search(SearchInputs{&store, 2, {}, false, {}, 0}, cache, BlockView(q.data(), 2, 3), 1,
                                      false),
                 mirot::MirotError);
}

TEST(ForestSearch, CacheIsReusedUntilRowsChange) {
    TempDir dir;
    auto store = mirot_test::store_with_rows(dir, {0.0, 10.0}, 1);
    SmallNCache cache;
    SearchInputs in{&store, 1, {}, false, {}, 0};
    const std::vector<double> q{9.0};
    EXPECT_EQ(mirot::forest_search(in, cache, BlockView(q.data(), 1, 1), 1, false).indices[0], 1);
    auto first = cache.find(2, 1);
    ASSERT_TRUE(first);
    mirot::forest_search(in, cache, BlockView(q.data(), 1, 1), 1, false);
    EXPECT_EQ(cache.find(2, 1), first);
    const double more = 9.0;
    store.mmap_append(BlockView(&more, 1, 1));
    cache.clear();
    EXPECT_EQ(mirot::forest_search(in, cache, BlockView(q.data(), 1, 1), 1, false).indices[0], 2);
    EXPECT_NE(cache.find(3, 1), first);
}

TEST(ForestSearch, LargeDataWithoutFragmentsOrWithSmallOnesIsExact) {
    TempDir dir;
    const std::size_t d = 3;
    const std::uint32_t n = 5000;
    auto rows = grid_rows(n, d, 3);
    auto store = mirot_test::store_with_rows(dir, rows, d);
    auto queries = grid_rows(25, d, 4);
    // Nothing indexed: every row comes from the scan.
    expect_brute_force(SearchInputs{&store, d, {}, false, {}, 0}, rows, queries, 10, false);
    expect_brute_force(SearchInputs{&store, d, {}, false, {}, 0}, rows, queries, 10, true);
    // Two fragments small enough to be scored whole, plus an unindexed tail.
    std::vector<MirotIndex> frags = {mirot_test::range_forest(rows, d, 0, 2000, 128),
                                     mirot_test::range_forest(rows, d, 2000, 2000, 128)};
    expect_brute_force(SearchInputs{&store, d, {}, false, frags, 4000}, rows, queries, 10, true);
}

TEST(ForestSearch, OnlyTheNearestFragmentIsSearchedUnderTheDefaultBudget) {
    TempDir dir;
    // Three runs of 1500 rows starting at 0, 100 and 200 (each run's root centroid
    // is its first row), then a tail of 100 rows far away.
    std::vector<double> rows;
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 1500; ++i) rows.push_back(100.0 * c + i * 0.01);
    }
    for (int i = 0; i < 100; ++i) rows.push_back(1000.0 + i);
    auto store = mirot_test::store_with_rows(dir, rows, 1);
    std::vector<MirotIndex> frags;
    for (std::uint32_t c = 0; c < 3; ++c) frags.push_back(mirot_test::range_forest(rows, 1, 1500 * c, 1500, 1500));
    SmallNCache cache;
    // Nearest root centroid: 100 (run 1); nearest rows: the end of run 0.
    const std::vector<double> q{55.0};
    auto r = mirot::forest_search(SearchInputs{&store, 1, {}, false, frags, 4500}, cache, BlockView(q.data(), 1, 1),
                                  3, false);
    EXPECT_EQ(r.indices, (std::vector<std::int64_t>{1500, 1501, 1502}));
    // With fewer rows counted as indexed, the scan finds them; rows both scanned
    // and found in the fragment are listed once.
    auto tail = mirot::forest_search(SearchInputs{&store, 1, {}, false, frags, 1400}, cache,
                                     BlockView(q.data(), 1, 1), 5, false);
    EXPECT_EQ(tail.indices, (std::vector<std::int64_t>{1499, 1498, 1497, 1496, 1495}));
    const std::vector<double> q2{99.0};
    tail = mirot::forest_search(SearchInputs{&store, 1, {}, false, frags, 1400}, cache, BlockView(q2.data(), 1, 1),
                                3, false);
    EXPECT_EQ(tail.indices, (std::vector<std::int64_t>{1500, 1501, 1502}));
}

TEST(ForestSearch, ScaledLargeSearchReportsExactDoubleDistances) {
    TempDir dir;
    std::vector<double> rows(2 * 4200);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<double>(i % 97) * 0.37;
    auto store = mirot_test::store_with_rows(dir, rows, 2);
    const std::vector<double> scale{3.0, 0.7};
    const std::vector<double> q{5.1, 2.3};
    SmallNCache cache;
    auto r = mirot::forest_search(SearchInputs{&store, 2, scale, true, {}, 0}, cache, BlockView(q.data(), 1, 2), 4,
                                  false);
    for (std::size_t i = 0; i < 4; ++i) {
        const double* x = rows.data() + 2 * r.indices[i];
        const double a = q[0] / scale[0] - x[0] / scale[0];
        const double b = q[1] / scale[1] - x[1] / scale[1];
        EXPECT_EQ(r.distances[i], a * a + b * b);
    }
    EXPECT_TRUE(std::is_sorted(r.distances.begin(), r.distances.end()));
}

TEST(ForestSearch, NanRowsSortAfterEveryRealRow) {
    TempDir dir;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto store = mirot_test::store_with_rows(dir, {nan, 5.0, nan, 1.0, 3.0}, 1);
    SmallNCache cache;
    const std::vector<double> q{0.0};
    auto r = mirot::forest_search(SearchInputs{&store, 1, {}, false, {}, 0}, cache, BlockView(q.data(), 1, 1), 4,
                                  false);
    EXPECT_EQ(r.indices, (std::vector<std::int64_t>{3, 4, 1, 0}));
    EXPECT_TRUE(std::isnan(r.distances[3]));
}

TEST(ForestSearch, ParallelResultsEqualOneQueryAtATime) {
    TempDir dir;
    const std::size_t d = 4;
    auto rows = grid_rows(6000, d, 5);
    auto store = mirot_test::store_with_rows(dir, rows, d);
    std::vector<MirotIndex> frags = {mirot_test::range_forest(rows, d, 0, 3000, 64),
                                     mirot_test::range_forest(rows, d, 3000, 2500, 64)};
    SearchInputs in{&store, d, {}, false, frags, 5500};
    auto queries = grid_rows(64, d, 6);
    SmallNCache cache;
    auto all = mirot::forest_search(in, cache, BlockView(queries.data(), 64, d), 8, true);
    for (std::size_t q = 0; q < 64; ++q) {
        auto one = mirot::forest_search(in, cache, BlockView(queries.data() + q * d, 1, d), 8, true);
        EXPECT_TRUE(std::equal(one.indices.begin(), one.indices.end(), all.indices.begin() + q * 8));
        EXPECT_TRUE(std::equal(one.distances.begin(), one.distances.end(), all.distances.begin() + q * 8));
    }
}

TEST(ForestSearch, ShortIndexAnswersAreCompletedByTheExactScan) {
    TempDir dir;
    const std::size_t d = 3, n = 5000;
    auto rows = grid_rows(n, d, 7);
    const std::vector<double> y(n, 0.0);
    auto b = mirot::MirotBackend::open(dir.path(), BlockView(rows.data(), n, d), BlockView(y.data(), n, 1),
                                       std::nullopt, false, {1.0, 1.0, 1.0});
    b.ensure_index_sync();
    auto queries = grid_rows(20, d, 8);
    const BlockView qv(queries.data(), 20, d);
    // One leaf of 256 rows is searched, fewer than asked for.
    SmallNCache cache;
    const SearchInputs in{&b.x_store(), d, {}, false, b.index().fragments, b.index().indexed_rows};
    ASSERT_EQ(mirot::forest_search(in, cache, qv, 300, true).indices.back(), -1);
    for (bool exclude : {false, true}) {
        SearchResult got = b.search(qv, 300, exclude);
        std::vector<double> dist;
        std::vector<std::int64_t> idx;
        std::size_t out_k;
        brute_force(rows, queries, d, 300, exclude, dist, idx, out_k);
        EXPECT_EQ(got.indices, idx);
        EXPECT_EQ(got.distances, dist);
    }
}

TEST(CandidateMerge, FirstOccurrenceWinsThenDistanceAndRowOrder) {
    std::vector<Candidate> a{{5, 2.0f}, {3, 1.0f}};
    std::vector<Candidate> b{{3, 0.5f}, {9, 1.0f}, {1, 2.0f}};
    EXPECT_EQ(mirot::merge_topk_precomputed_dist(a, b, 10, 10, false),
              (std::vector<Neighbour>{{3, 1.0}, {9, 1.0}, {1, 2.0}, {5, 2.0}}));
    EXPECT_EQ(mirot::merge_topk_precomputed_dist(a, b, 2, 10, true), (std::vector<Neighbour>{{9, 1.0}, {1, 2.0}}));
    EXPECT_EQ(mirot::merge_topk_precomputed_dist(a, b, 10, 1, false), (std::vector<Neighbour>{{3, 1.0}}));
    // A single pair is never dropped.
    EXPECT_EQ(mirot::merge_topk_precomputed_dist(std::vector<Candidate>{{4, 1.0f}}, {}, 5, 5, true),
              (std::vector<Neighbour>{{4, 1.0}}));
}
