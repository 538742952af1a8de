#include <gtest/gtest.h>

#include <vector>

#include "mirot/compaction.h"
#include "mirot/error.h"
#include "mirot/fragment_merge.h"
#include "tuning_scope.h"

using mirot::InternalPage;
using mirot::LeafPage;
using mirot::MirotIndex;
using mirot::Page;

namespace {

// A one-leaf fragment over `rows` rows whose centroid records its row count.
MirotIndex leaf_fragment(std::uint64_t rows) {
    LeafPage leaf;
    leaf.page_id = 0;
    leaf.centroid = std::vector<float>{static_cast<float>(rows)};
    MirotIndex f;
    f.pages.emplace_back(leaf);
    f.page_map = mirot::build_page_map(f.pages);
    f.header = {1, rows, 0, rows, 3};
    return f;
}

std::vector<std::uint64_t> row_counts(const std::vector<MirotIndex>& fragments) {
    std::vector<std::uint64_t> out;
    for (const MirotIndex& f : fragments) out.push_back(f.header.indexed_rows);
    return out;
}

std::vector<MirotIndex> forest(const std::vector<std::uint64_t>& counts) {
    std::vector<MirotIndex> out;
    for (std::uint64_t c : counts) out.push_back(leaf_fragment(c));
    return out;
}

LeafPage vector_leaf(std::uint32_t id, std::vector<float> v) {
    LeafPage l;
    l.page_id = id;
    l.row_ids = {id};
    l.vectors = {std::move(v)};
    return l;
}

}  // namespace

TEST(ConcatMerge, RenumbersPagesUnderANewRootAndCarriesSkipEdges) {
    // A k-means-like fragment: root first, 3 pages.
    MirotIndex a;
    a.pages = {Page(InternalPage{0, {1, 2}, {{0, 0}, {2, 4}}}), Page(vector_leaf(1, {0, 0})),
               Page(vector_leaf(2, {2, 4}))};
    a.page_map = mirot::build_page_map(a.pages);
    a.skip_edges = {{1, {2}}, {2, {1, 99}}, {7, {1}}, {0, {99}}};
    a.header = {2, 10, 0, 32, 3};
    // A forest fragment: four leaves, root last, 5 pages.
    MirotIndex b;
    for (std::uint32_t i = 1; i <= 4; ++i) b.pages.emplace_back(vector_leaf(i, {float(i), 0}));
    b.pages.emplace_back(InternalPage{0, {1, 2, 3, 4}, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}});
    b.page_map = mirot::build_page_map(b.pages);
    b.header = {2, 20, 0, 256, 3};

    MirotIndex m = mirot::concat_merge({a, b}, "/merged");
    ASSERT_EQ(m.pages.size(), 9u);
    for (std::uint32_t p = 0; p < 8; ++p) EXPECT_EQ(m.pages[p].page_id(), p + 1);
    const InternalPage* root = m.pages[8].internal();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->page_id, 0u);
    EXPECT_EQ(root->children, (std::vector<std::uint32_t>{1, 8}));
    EXPECT_EQ(root->child_centroids, (std::vector<std::vector<float>>{{1, 2}, {2.5f, 0}}));
    EXPECT_EQ(m.page_by_id(1)->internal()->children, (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(m.page_by_id(8)->internal()->children, (std::vector<std::uint32_t>{4, 5, 6, 7}));
    EXPECT_EQ(m.page_by_id(5)->leaf()->row_ids, (std::vector<std::uint32_t>{2}));
    // Unknown neighbours are dropped, and so are entries left empty or naming no page.
    EXPECT_EQ(m.skip_edges, (mirot::SkipEdges{{2, {3}}, {3, {2}}}));
    EXPECT_EQ(m.header, (mirot::IndexHeader{2, 30, 0, 32, 3}));
    EXPECT_EQ(m.persist_dir, "/merged");

    // Merging the merge nests it one level deeper.
    MirotIndex again = mirot::concat_merge({m, leaf_fragment(5)}, "/again");
    EXPECT_EQ(again.pages.size(), 11u);
    EXPECT_EQ(again.pages.back().internal()->children, (std::vector<std::uint32_t>{9, 10}));
    EXPECT_EQ(again.page_by_id(9)->internal()->children, (std::vector<std::uint32_t>{1, 8}));
}

TEST(ConcatMerge, OneFragmentOnlyMovesAndNoneFails) {
    MirotIndex one = leaf_fragment(4);
    one.persist_dir = "/old";
    MirotIndex m = mirot::concat_merge({one}, "/new");
    EXPECT_EQ(m.pages, one.pages);
    EXPECT_EQ(m.header, one.header);
    EXPECT_EQ(m.persist_dir, "/new");
    try {
        mirot::concat_merge({}, "/x");
        FAIL();
    } catch (const mirot::MirotError& e) {
        EXPECT_EQ(e.message(), "concat_merge requires at least one index");
    }
}

TEST(ConcatMerge, ChildIdsNamingNoPageNeverPointIntoAnotherFragment) {
    // Fragment a's root names a missing child 5 and fragment b's root id names no page.
    MirotIndex a;
    a.pages = {Page(InternalPage{0, {1, 5}, {{0}, {9}}}), Page(vector_leaf(1, {0}))};
    a.page_map = mirot::build_page_map(a.pages);
    a.header = {1, 1, 0, 32, 3};
    MirotIndex b = leaf_fragment(3);
    b.header.root_page_id = 42;
    MirotIndex m = mirot::concat_merge({a, b}, "/m");
    EXPECT_EQ(m.page_by_id(1)->internal()->children, (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(m.page_by_id(1)->internal()->child_centroids.size(), 1u);
    EXPECT_EQ(m.pages.back().internal()->children, (std::vector<std::uint32_t>{1}));
}

TEST(Compaction, TargetGrowsWithRowsWithinBounds) {
    mirot::MirotTuning t;
    EXPECT_EQ(mirot::compaction_target(0, t), 1u);
    EXPECT_EQ(mirot::compaction_target(1000, t), 1u);
    EXPECT_EQ(mirot::compaction_target(1001, t), 3u);
    EXPECT_EQ(mirot::compaction_target(39999, t), 3u);
    EXPECT_EQ(mirot::compaction_target(40000, t), 4u);
    EXPECT_EQ(mirot::compaction_target(10'000'000, t), 32u);
    t.index_compact_rows_per_fragment = 1;
    t.index_compact_fragment_max = 1ull << 63;
    EXPECT_EQ(mirot::compaction_target(5000, t), 5000u);
}

TEST(Compaction, SevenFragmentsMergeAWindowOfFourThenTwo) {
    std::vector<MirotIndex> f = forest({5000, 100, 100, 100, 100, 5000, 200});
    mirot::compact_fragments(f, 10600, "/idx");
    EXPECT_EQ(row_counts(f), (std::vector<std::uint64_t>{5000, 400, 5200}));
    // The 400-row merge holds four leaves and its root; the last one two leaves and a root.
    EXPECT_EQ(f[1].pages.size(), 5u);
    EXPECT_EQ(f[2].pages.size(), 3u);
    EXPECT_EQ(f[2].persist_dir, "/idx");

    std::vector<MirotIndex> six = forest({5000, 100, 100, 100, 100, 5000});
    mirot::compact_fragments(six, 10400, "/idx");
    EXPECT_EQ(six.size(), 6u);
}

TEST(Compaction, FewRowsCompactToOneFragmentOnceThereAreThree) {
    std::vector<MirotIndex> two = forest({10, 20});
    mirot::compact_fragments(two, 30, "/i");
    EXPECT_EQ(two.size(), 2u);
    std::vector<MirotIndex> three = forest({10, 20, 30});
    mirot::compact_fragments(three, 60, "/i");
    EXPECT_EQ(row_counts(three), (std::vector<std::uint64_t>{60}));
    std::vector<MirotIndex> nothing = forest({0, 0, 0});
    mirot::compact_fragments(nothing, 0, "/i");
    EXPECT_TRUE(nothing.empty());
}

TEST(Compaction, LeftmostWindowWinsTiesAndLargeFragmentsAreAvoided) {
    const std::vector<std::uint64_t> equal{7, 7, 7, 7, 7};
    EXPECT_EQ(mirot::choose_merge_window(equal, 2, 15000), 0u);
    // The cheapest pair holds a fragment above the small-fragment limit.
    const std::vector<std::uint64_t> with_large{70, 70, 101, 0};
    EXPECT_EQ(mirot::choose_merge_window(with_large, 2, 100), 0u);
    EXPECT_EQ(mirot::choose_merge_window(with_large, 2, 200), 2u);
    // Every window has one: the smallest sum still decides.
    const std::vector<std::uint64_t> all_large{20000, 1, 30000, 16000};
    EXPECT_EQ(mirot::choose_merge_window(all_large, 2, 15000), 0u);
    EXPECT_EQ(mirot::choose_merge_window(all_large, 3, 15000), 1u);
    // Sums that would overflow saturate instead of wrapping to a small score.
    EXPECT_EQ(mirot::choose_merge_window(std::vector<std::uint64_t>{5, ~0ull, ~0ull, 1}, 2, ~0ull), 0u);
}
