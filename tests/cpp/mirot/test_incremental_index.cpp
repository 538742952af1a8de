#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "base/std_rng.h"
#include "mirot/compaction.h"
#include "mirot/error.h"
#include "mirot/fragment_build.h"
#include "mirot/incremental_index.h"
#include "mirot/index_files.h"
#include "mirot/mmap_store.h"
#include "mirot/observation.h"
#include "temp_dir.h"
#include "tuning_scope.h"

using mirot::IncrementalIndex;
using mirot::LeafPage;
using mirot::MirotIndex;
using mirot::Page;
using mirot::SyncSource;
using mirot_test::TempDir;

namespace {

std::vector<double> random_values(std::size_t n, std::size_t dim, std::uint64_t seed) {
    qelbo::StdRng rng = qelbo::StdRng::seed_from_u64(seed);
    std::vector<double> v(n * dim);
    for (double& x : v) x = rng.gen_f64() * 4.0 - 1.0;
    return v;
}

// A work directory with an x store of random rows.
struct Store {
    TempDir dir;
    std::size_t dim;
    std::vector<double> values;
    mirot::MmapColumnStore x;

    Store(std::size_t n, std::size_t d, std::uint64_t seed = 1)
        : dim(d), values(random_values(n, d, seed)),
          x(mirot::mmap_open_or_create(dir.file("train_x.bin"), d, std::nullopt)) {
        x.mmap_append(mirot::BlockView(values.data(), n, d));
    }
    SyncSource source(std::optional<std::span<const double>> scale = std::nullopt) const {
        return SyncSource{x, scale, dir.path(), dim};
    }
    std::vector<float> row_f32(std::size_t r) const {
        std::vector<float> out;
        for (std::size_t j = 0; j < dim; ++j) out.push_back(static_cast<float>(values[r * dim + j]));
        return out;
    }
    IncrementalIndex index() const { return IncrementalIndex(std::filesystem::path(dir.path()) / "index"); }
};

std::vector<float> f64_mean(const Store& s, std::size_t start, std::size_t end) {
    std::vector<float> out;
    for (std::size_t j = 0; j < s.dim; ++j) {
        double sum = 0.0;
        for (std::size_t r = start; r < end; ++r) sum += s.values[r * s.dim + j];
        out.push_back(static_cast<float>(sum / static_cast<double>(end - start)));
    }
    return out;
}

std::vector<std::uint32_t> ids(std::uint32_t start, std::uint32_t end) {
    std::vector<std::uint32_t> v;
    for (std::uint32_t i = start; i < end; ++i) v.push_back(i);
    return v;
}

// How often each row is covered by the leaves of the forest.
std::map<std::uint64_t, int> coverage(const std::vector<MirotIndex>& fragments) {
    std::map<std::uint64_t, int> seen;
    for (const MirotIndex& f : fragments)
        for (const Page& p : f.pages) {
            const LeafPage* leaf = p.leaf();
            if (!leaf) continue;
            if (leaf->range) {
                for (std::uint64_t r = leaf->range->first; r < leaf->range->second; ++r) ++seen[r];
            } else {
                for (std::uint32_t r : leaf->row_ids) ++seen[r];
            }
        }
    return seen;
}

}  // namespace

TEST(IncrementalSync, FragmentShapeFollowsTheNumberOfNewRows) {
    const std::size_t d = 3;
    for (std::size_t n : {1u, 1024u}) {
        Store s(n, d, n);
        IncrementalIndex index = s.index();
        index.ensure_sync(s.source(), n);
        ASSERT_EQ(index.fragments.size(), 1u);
        const MirotIndex& f = index.fragments[0];
        ASSERT_EQ(f.pages.size(), 1u);
        const LeafPage* leaf = f.pages[0].leaf();
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(leaf->row_ids, ids(0, n));
        EXPECT_TRUE(leaf->vectors.empty());
        EXPECT_FALSE(leaf->range);
        EXPECT_EQ(leaf->centroid, f64_mean(s, 0, n));
        EXPECT_EQ(f.header, (mirot::IndexHeader{d, n, 0, n, 3}));
        EXPECT_EQ(f.persist_dir, index.index_dir);
        EXPECT_EQ(mirot::mirot_load_indexed_rows(s.dir.path()), n);
    }
    for (std::size_t n : {1025u, 2048u}) {
        Store s(n, d, n);
        IncrementalIndex index = s.index();
        index.ensure_sync(s.source(), n);
        ASSERT_EQ(index.fragments.size(), 1u);
        std::vector<float> flat(s.values.begin(), s.values.end());
        MirotIndex expect = mirot::build_from_rows_with_persist(ids(0, n), flat, d, 0, index.index_dir);
        EXPECT_EQ(index.fragments[0].pages, expect.pages);
        EXPECT_EQ(index.fragments[0].header, (mirot::IndexHeader{d, n, 0, 32, 3}));
        EXPECT_TRUE(index.fragments[0].skip_edges.empty());
    }
    struct Forest {
        std::size_t n, leaves, last_rows, capacity;
        bool ranges;
    };
    for (Forest c : {Forest{2049, 9, 1, 256, false}, Forest{10000, 40, 16, 256, false},
                     Forest{10001, 10, 785, 1024, true}}) {
        Store s(c.n, d, c.n);
        IncrementalIndex index = s.index();
        index.ensure_sync(s.source(), c.n);
        ASSERT_EQ(index.fragments.size(), 1u);
        const MirotIndex& f = index.fragments[0];
        ASSERT_EQ(f.pages.size(), c.leaves + 1);
        EXPECT_EQ(f.header, (mirot::IndexHeader{d, c.n, 0, c.capacity, 3}));
        const mirot::InternalPage* root = f.pages.back().internal();
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->page_id, 0u);
        EXPECT_EQ(root->children, ids(1, c.leaves + 1));
        for (std::size_t l = 0; l < c.leaves; ++l) {
            const LeafPage* leaf = f.pages[l].leaf();
            ASSERT_NE(leaf, nullptr);
            EXPECT_EQ(leaf->page_id, l + 1);
            const std::size_t start = l * c.capacity;
            const std::size_t rows = l + 1 == c.leaves ? c.last_rows : c.capacity;
            if (c.ranges) {
                EXPECT_EQ(leaf->range, std::make_pair(std::uint32_t(start), std::uint32_t(start + rows)));
                EXPECT_TRUE(leaf->row_ids.empty());
                EXPECT_EQ(leaf->centroid, s.row_f32(start));
            } else {
                EXPECT_EQ(leaf->row_ids, ids(start, start + rows));
                ASSERT_EQ(leaf->vectors.size(), rows);
                EXPECT_EQ(leaf->vectors[rows - 1], s.row_f32(start + rows - 1));
                // The f32 mean of the rounded vectors.
                std::vector<float> mean(d, 0.0f);
                for (const auto& v : leaf->vectors)
                    for (std::size_t j = 0; j < d; ++j) mean[j] += v[j];
                for (float& x : mean) x /= static_cast<float>(rows);
                EXPECT_EQ(leaf->centroid, mean);
            }
            EXPECT_EQ(root->child_centroids[l], *leaf->centroid);
        }
    }
}

TEST(IncrementalSync, NotedRowsGiveTheSmallSyncItsCentroid) {
    Store s(20, 2);
    IncrementalIndex index = s.index();
    const std::vector<double> scale{2.0, 4.0};
    // Column-major view of the first ten rows.
    std::vector<double> col_major(20);
    for (std::size_t r = 0; r < 10; ++r)
        for (std::size_t j = 0; j < 2; ++j) col_major[j * 10 + r] = s.values[r * 2 + j];
    index.note_pending_rows(mirot::BlockView(col_major.data(), 10, 2, 1, 10), scale);
    EXPECT_EQ(index.pending_count, 10u);
    index.ensure_sync(s.source(scale), 10);
    std::vector<float> expect;
    for (std::size_t j = 0; j < 2; ++j) {
        double sum = 0.0;
        for (std::size_t r = 0; r < 10; ++r) sum += s.values[r * 2 + j];
        expect.push_back(static_cast<float>(sum / scale[j] / 10.0));
    }
    EXPECT_EQ(index.fragments[0].pages[0].leaf()->centroid, expect);
    EXPECT_EQ(index.pending_count, 0u);
    EXPECT_EQ(index.pending_sums, (std::vector<double>{0.0, 0.0}));

    // Without notes the centroid comes from the stored rows, scaled.
    index.ensure_sync(s.source(scale), 20);
    std::vector<float> from_rows;
    for (std::size_t j = 0; j < 2; ++j) {
        double sum = 0.0;
        for (std::size_t r = 10; r < 20; ++r) sum += s.values[r * 2 + j] / scale[j];
        from_rows.push_back(static_cast<float>(sum / 10.0));
    }
    EXPECT_EQ(index.fragments[1].pages[0].leaf()->centroid, from_rows);
    EXPECT_EQ(index.fragments[1].pages[0].leaf()->row_ids, ids(10, 20));
}

TEST(IncrementalSync, LargerSyncsDiscardNotedTotals) {
    Store s(5000, 2);
    IncrementalIndex index = s.index();
    index.note_pending_rows(mirot::BlockView(s.values.data(), 3, 2), std::nullopt);
    index.ensure_sync(s.source(), 5000);
    EXPECT_EQ(index.pending_count, 0u);
    EXPECT_EQ(index.pending_sums, (std::vector<double>{0.0, 0.0}));
    // Totals of another width are not in use: a small sync reads the rows instead.
    Store t(4, 2);
    IncrementalIndex other = t.index();
    other.note_pending_rows(mirot::BlockView(t.values.data(), 4, 1, 2, 1), std::nullopt);
    other.ensure_sync(t.source(), 4);
    EXPECT_EQ(other.fragments[0].pages[0].leaf()->centroid, f64_mean(t, 0, 4));
    EXPECT_EQ(other.pending_count, 4u);
}

TEST(IncrementalSync, NothingHappensWhenRowsAreAlreadyIndexed) {
    Store s(10, 2);
    IncrementalIndex index = s.index();
    index.indexed_rows = 10;
    index.ensure_sync(s.source(), 7);
    index.ensure_sync(s.source(), 10);
    EXPECT_TRUE(index.fragments.empty());
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("indexed_rows.bin")));
}

TEST(IncrementalSync, SeedIsTheFirstNewRowUnlessConfigured) {
    Store s(1600, 2);
    std::vector<float> flat(s.values.begin() + 2 * 100, s.values.end());
    {
        IncrementalIndex index = s.index();
        index.indexed_rows = 100;
        index.ensure_sync(s.source(), 1600);
        EXPECT_EQ(index.fragments[0].pages,
                  mirot::build_from_rows_with_persist(ids(100, 1600), flat, 2, 100, "").pages);
    }
    mirot::MirotTuning tuning;
    tuning.build_seed = 9;
    mirot_test::ScopedTuning scope(tuning);
    IncrementalIndex index = s.index();
    index.indexed_rows = 100;
    index.ensure_sync(s.source(), 1600);
    EXPECT_EQ(index.fragments[0].pages,
              mirot::build_from_rows_with_persist(ids(100, 1600), flat, 2, 9, "").pages);
}

TEST(IncrementalSync, StreamOfSyncsCoversEveryRowOnceAndStaysCompact) {
    Store s(60000, 2);
    IncrementalIndex index = s.index();
    // Synced beside itself and installed, as a background sync does: the same forest.
    IncrementalIndex beside = s.index();
    std::uint64_t total = 0;
    for (std::uint64_t step : {7u, 300u, 1u, 1500u, 2500u, 12000u, 40u, 40u, 40u, 40u, 40u, 40u, 40u, 40u,
                               3000u, 20000u, 5u, 5u, 5u, 5u, 5u, 5u, 5u}) {
        total += step;
        index.ensure_sync(s.source(), total);
        beside.install(beside.sync_beside(s.source(), total));
        ASSERT_EQ(beside.fragments.size(), index.fragments.size());
        for (std::size_t f = 0; f < index.fragments.size(); ++f) {
            EXPECT_EQ(beside.fragments[f].header, index.fragments[f].header);
            EXPECT_EQ(beside.fragments[f].pages, index.fragments[f].pages);
            EXPECT_EQ(beside.fragments[f].skip_edges, index.fragments[f].skip_edges);
            EXPECT_EQ(beside.fragments[f].root_centroid, index.fragments[f].root_centroid);
        }
        EXPECT_EQ(beside.indexed_rows, total);
        EXPECT_EQ(index.indexed_rows, total);
        EXPECT_EQ(mirot::mirot_load_indexed_rows(s.dir.path()), total);
        std::uint64_t sum = 0;
        for (const MirotIndex& f : index.fragments) {
            sum += f.header.indexed_rows;
            // Built or merged, each fragment carries its root's centroid for the search.
            EXPECT_EQ(f.root_centroid, f.page_by_id(f.header.root_page_id)->centroid());
        }
        EXPECT_EQ(sum, total);
        EXPECT_LE(index.fragments.size(), 2 * mirot::compaction_target(total, {}));
    }
    auto seen = coverage(index.fragments);
    ASSERT_EQ(seen.size(), total);
    EXPECT_EQ(seen.begin()->first, 0u);
    EXPECT_EQ(seen.rbegin()->first, total - 1);
    for (auto [row, count] : seen) ASSERT_EQ(count, 1) << row;
}

TEST(IncrementalSync, RowsBeyondTheStoreOrAMismatchedSourceFail) {
    Store s(10, 2);
    IncrementalIndex index = s.index();
    try {
        index.ensure_sync(s.source(), 12);
        FAIL();
    } catch (const mirot::MirotError& e) {
        EXPECT_EQ(e.message(), "row 10 out of range [0, 10)");
    }
    EXPECT_TRUE(index.fragments.empty());
    EXPECT_EQ(index.indexed_rows, 0u);
    try {
        mirot::load_vectors_from_mmap(s.source(), 8, 11);
        FAIL();
    } catch (const mirot::MirotError& e) {
        EXPECT_EQ(e.message(), "row 10 out of range [0, 10)");
    }
    SyncSource wide{s.x, std::nullopt, s.dir.path(), 3};
    EXPECT_THROW(index.ensure_sync(wide, 5), mirot::MirotError);
    const std::vector<double> short_scale{1.0};
    EXPECT_THROW(index.ensure_sync(s.source(short_scale), 5), mirot::MirotError);
    EXPECT_TRUE(index.fragments.empty());
}

TEST(IncrementalSync, PagesFileIsTheSameForOneThreadAndThePool) {
    // k-means with skip edges, a vector-leaf forest and a range-leaf forest.
    mirot::MirotTuning tuning;
    tuning.structured_build_row_limit = 2000;
    mirot_test::ScopedTuning scope(tuning);
    Store s(40000, 8);
    auto build = [&] {
        std::vector<std::vector<std::uint8_t>> files;
        IncrementalIndex index = s.index();
        for (std::uint64_t total : {3000u, 12000u, 40000u}) {
            index.ensure_sync(s.source(), total);
            files.push_back(mirot::pages_bin_bytes(index.fragments.back()));
        }
        EXPECT_FALSE(index.fragments[0].skip_edges.empty());
        return files;
    };
    const auto pooled = build();
    tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(build(), pooled);
}
