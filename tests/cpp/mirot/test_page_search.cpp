#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/panic.h"
#include "mirot/error.h"
#include "mirot/page_search.h"
#include "search_test_util.h"

using mirot::Candidate;
using mirot::InternalPage;
using mirot::LeafPage;
using mirot::MirotIndex;
using mirot::Page;
using mirot::SearchSource;
using mirot_test::fragment_of;
using mirot_test::TempDir;

namespace {

// A leaf holding one row whose stored vector is also its centroid.
Page point_leaf(std::uint32_t id, std::uint32_t row, std::vector<float> v) {
    return Page(LeafPage{id, {row}, {v}, std::nullopt, std::nullopt});
}

std::vector<std::uint32_t> rows_of(const std::vector<Candidate>& c) {
    std::vector<std::uint32_t> out;
    for (const auto& x : c) out.push_back(x.row);
    return out;
}

}  // namespace

TEST(PageSearch, MissingRootOrNoPagesGivesNothing) {
    SearchSource src;
    const std::vector<float> q{0.0f};
    EXPECT_TRUE(mirot::search_index(MirotIndex{}, q, 5, 1, true, nullptr, src).empty());
    MirotIndex idx = fragment_of({point_leaf(1, 0, {0.0f})}, 1, 1, /*root=*/9);
    EXPECT_TRUE(mirot::search_index(idx, q, 5, 1, true, nullptr, src).empty());
    idx.header.root_page_id = 1;
    EXPECT_EQ(rows_of(mirot::search_index(idx, q, 5, 1, true, nullptr, src)), std::vector<std::uint32_t>{0});
}

TEST(PageSearch, DescentFollowsTheBeamNearestChildrenDepthFirst) {
    // Root over two internal pages, each over two one-row leaves.
    std::vector<Page> pages = {
        Page(InternalPage{0, {1, 2}, {{0.0f}, {10.0f}}}),
        Page(InternalPage{1, {3, 4}, {{-1.0f}, {1.0f}}}),
        Page(InternalPage{2, {5, 6}, {{9.0f}, {11.0f}}}),
        point_leaf(3, 30, {-1.0f}),
        point_leaf(4, 40, {1.0f}),
        point_leaf(5, 50, {9.0f}),
        point_leaf(6, 60, {11.0f}),
    };
    MirotIndex idx = fragment_of(pages, 1, 4);
    SearchSource src;
    const std::vector<float> q{1.5f};
    std::vector<std::uint32_t> trace;
    auto one = mirot::search_index(idx, q, 10, 0, false, &trace, src);
    EXPECT_EQ(trace, std::vector<std::uint32_t>{4});
    EXPECT_EQ(rows_of(one), std::vector<std::uint32_t>{40});

    trace.clear();
    auto two = mirot::search_index(idx, q, 10, 2, false, &trace, src);
    // Subtree of page 1 entirely before page 2's, nearest child first in each.
    EXPECT_EQ(trace, (std::vector<std::uint32_t>{4, 3, 5, 6}));
    EXPECT_EQ(rows_of(two), (std::vector<std::uint32_t>{40, 30, 50, 60}));
    EXPECT_EQ(rows_of(mirot::search_index(idx, q, 2, 2, false, nullptr, src)), (std::vector<std::uint32_t>{40, 30}));
}

TEST(PageSearch, SkipEdgesWidenUpToTheLeafCap) {
    // Root over one near leaf; 500 more leaves reachable only by skip edges.
    std::vector<Page> pages = {Page(InternalPage{0, {1}, {{0.0f}}}), point_leaf(1, 0, {0.0f})};
    std::vector<std::uint32_t> neighbours;
    for (std::uint32_t i = 0; i < 500; ++i) {
        pages.push_back(point_leaf(2 + i, 1 + i, {static_cast<float>(1000 - i)}));
        neighbours.push_back(2 + i);
    }
    MirotIndex idx = fragment_of(pages, 1, 501);
    idx.skip_edges[1] = neighbours;
    SearchSource src;
    const std::vector<float> q{0.0f};
    std::vector<std::uint32_t> trace;
    auto got = mirot::search_index(idx, q, 1000, 1, true, &trace, src);
    ASSERT_EQ(trace.size(), mirot::kCandidateLeafCap);
    EXPECT_EQ(got.size(), 384u);
    // Queued in stored order, scored without ranking: the first 383 neighbours.
    EXPECT_EQ(trace[383], 2u + 382u);
    EXPECT_TRUE(mirot::search_index(idx, q, 1000, 1, false, nullptr, src).size() == 1);
}

TEST(PageSearch, SkipNeighboursThatNameNoLeafAddNoPairs) {
    std::vector<Page> pages = {Page(InternalPage{0, {1}, {{0.0f}}}), point_leaf(1, 7, {0.0f})};
    MirotIndex idx = fragment_of(pages, 1, 8);
    idx.skip_edges[1] = {0, 99, 1};
    std::vector<std::uint32_t> trace;
    auto got = mirot::search_index(idx, std::vector<float>{0.0f}, 10, 1, true, &trace, SearchSource{});
    EXPECT_EQ(trace, (std::vector<std::uint32_t>{1, 0, 99}));
    EXPECT_EQ(rows_of(got), std::vector<std::uint32_t>{7});
}

TEST(PageSearch, WideBeamScoresOnlyThe384NearestLeaves) {
    InternalPage root{0, {}, {}};
    std::vector<Page> pages;
    for (std::uint32_t i = 0; i < 400; ++i) {
        // Centroids: a permutation of 0..399, out of page order.
        const float c = static_cast<float>((i * 7919) % 400);
        root.children.push_back(1 + i);
        root.child_centroids.push_back({c});
        pages.push_back(Page(LeafPage{1 + i, {i}, {}, std::vector<float>{c}, std::nullopt}));
    }
    pages.insert(pages.begin(), Page(root));
    MirotIndex idx = fragment_of(pages, 1, 400);
    std::vector<double> values(400);
    for (std::uint32_t i = 0; i < 400; ++i) values[i] = (i * 7919) % 400;
    TempDir dir;
    auto store = mirot_test::store_with_rows(dir, values, 1);
    SearchSource src{&store, {}, false};
    std::vector<std::uint32_t> trace;
    auto got = mirot::search_index(idx, std::vector<float>{0.0f}, 1000, 1000, false, &trace, src);
    EXPECT_EQ(trace.size(), 400u);
    ASSERT_EQ(got.size(), 384u);
    for (const Candidate& c : got) EXPECT_LT(values[c.row], 384.0);
}

TEST(PageSearch, LeafShapesAndTieOrder) {
    TempDir dir;
    auto store = mirot_test::store_with_rows(dir, {5.0, 1.0, 3.0, 3.0, 9.0}, 1);
    SearchSource src{&store, {}, false};
    const std::vector<float> q{3.0f};
    std::vector<Candidate> out;
    mirot::score_leaf_range(src, q, 1, 4, out);
    EXPECT_EQ(out, (std::vector<Candidate>{{1, 4.0f}, {2, 0.0f}, {3, 0.0f}}));
    out.clear();
    mirot::score_leaf_rows(src, q, {4, 0}, {}, out);
    EXPECT_EQ(out, (std::vector<Candidate>{{4, 36.0f}, {0, 4.0f}}));
    out.clear();
    // Stored vectors win over the store; three ids with two vectors give two pairs.
    mirot::score_leaf_rows(src, q, {7, 8, 9}, {{3.0f}, {4.0f}}, out);
    EXPECT_EQ(out, (std::vector<Candidate>{{7, 0.0f}, {8, 1.0f}}));

    // Whole fragment: equal distances come out smaller row first.
    std::vector<Page> pages = {Page(InternalPage{0, {1, 2}, {{3.0f}, {3.0f}}}),
                               Page(LeafPage{1, {3, 0}, {}, std::vector<float>{3.0f}, std::nullopt}),
                               Page(LeafPage{2, {}, {}, std::vector<float>{3.0f}, std::make_pair(1u, 3u)})};
    auto got = mirot::search_index(fragment_of(pages, 1, 5), q, 10, 2, false, nullptr, src);
    EXPECT_EQ(got, (std::vector<Candidate>{{2, 0.0f}, {3, 0.0f}, {0, 4.0f}, {1, 4.0f}}));
}

TEST(PageSearch, ScaledRowsAndRowsBeyondTheStore) {
    TempDir dir;
    auto store = mirot_test::store_with_rows(dir, {3.0, 8.0}, 2);
    const std::vector<double> scale{2.0, 4.0};
    std::vector<float> v;
    mirot::row_to_search_vector(SearchSource{&store, scale, true}, 0, v);
    EXPECT_EQ(v, (std::vector<float>{1.5f, 2.0f}));
    mirot::row_to_search_vector(SearchSource{&store, std::span<const double>(scale).first(1), true}, 0, v);
    EXPECT_EQ(v, std::vector<float>{1.5f});

    std::vector<Candidate> out;
    try {
        mirot::score_leaf_range(SearchSource{&store, {}, false}, std::vector<float>{0.0f, 0.0f}, 0, 2, out);
        FAIL() << "a row beyond the store must fail";
    } catch (const mirot::MirotError& e) {
        EXPECT_EQ(e.message(), "row 1 out of range [0, 1)");
    }
    EXPECT_THROW(mirot::score_leaf_range(SearchSource{&store, {}, false}, std::vector<float>{0.0f}, 2, 1, out),
                 qelbo::Panic);
}

TEST(PageSearch, DeepCyclicOrSharedPageGraphsEndQuickly) {
    // A chain of 200000 internal pages: recursion on it would overflow the stack.
    const std::uint32_t depth = 200000;
    std::vector<Page> pages;
    for (std::uint32_t i = 0; i < depth; ++i) pages.emplace_back(InternalPage{i, {i + 1}, {{0.0f}}});
    pages.push_back(point_leaf(depth, 5, {0.0f}));
    MirotIndex chain = fragment_of(pages, 1, 6);
    EXPECT_EQ(rows_of(mirot::search_index(chain, std::vector<float>{0.0f}, 3, 1, false, nullptr, SearchSource{})),
              std::vector<std::uint32_t>{5});

    // Two internal pages naming each other, one with a leaf too.
    std::vector<Page> loop = {Page(InternalPage{0, {1, 2}, {{0.0f}, {1.0f}}}), Page(InternalPage{1, {0}, {{0.0f}}}),
                              point_leaf(2, 4, {1.0f})};
    MirotIndex cyclic = fragment_of(loop, 1, 5);
    EXPECT_EQ(rows_of(mirot::search_index(cyclic, std::vector<float>{0.0f}, 3, 2, false, nullptr, SearchSource{})),
              std::vector<std::uint32_t>{4});

    // A ladder whose pages both name the next one: 2^80 paths, one page each.
    std::vector<Page> ladder;
    for (std::uint32_t i = 0; i < 80; ++i) ladder.emplace_back(InternalPage{i, {i + 1, i + 1}, {{0.0f}, {0.0f}}});
    ladder.push_back(point_leaf(80, 1, {0.0f}));
    EXPECT_EQ(rows_of(mirot::search_index(fragment_of(ladder, 1, 2), std::vector<float>{0.0f}, 3, 2, false, nullptr,
                                          SearchSource{})),
              std::vector<std::uint32_t>{1});
}
