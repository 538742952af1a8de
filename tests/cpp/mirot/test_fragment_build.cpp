#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "base/std_rng.h"
#include "mirot/distance.h"
#include "mirot/error.h"
#include "mirot/fragment_build.h"
#include "mirot/kmeans.h"
#include "tuning_scope.h"

using mirot::InternalPage;
using mirot::LeafPage;
using mirot::MirotIndex;
using mirot::Page;
using qelbo::StdRng;

namespace {

struct Rows {
    std::vector<std::uint32_t> ids;
    std::vector<float> values;  // row-major
};

Rows random_rows(std::size_t n, std::size_t dim, std::uint64_t seed, std::uint32_t first_id = 0) {
    StdRng rng = StdRng::seed_from_u64(seed);
    Rows r;
    for (std::size_t i = 0; i < n; ++i) {
        r.ids.push_back(first_id + static_cast<std::uint32_t>(i));
        for (std::size_t j = 0; j < dim; ++j) r.values.push_back(rng.gen_f32() * 10.0f);
    }
    return r;
}

// A direct recursive transcription of the clustering, as the independent reference
// for the tree shape and for the order in which the generator is consumed.
struct RefNode {
    std::vector<std::uint32_t> ids;  // leaf rows
    std::vector<RefNode> children;
};

using Vec = std::vector<float>;

std::vector<std::size_t> ref_assign(const std::vector<Vec>& v, const std::vector<Vec>& c) {
    std::vector<std::size_t> a(v.size(), 0);
    if (c.size() < 2) return a;
    for (std::size_t i = 0; i < v.size(); ++i)
        for (std::size_t j = 1; j < c.size(); ++j)
            if (mirot::l2_sq_f32(v[i], c[a[i]]) > mirot::l2_sq_f32(v[i], c[j])) a[i] = j;
    return a;
}

RefNode ref_partition(const std::vector<std::uint32_t>& ids, const std::vector<Vec>& v, StdRng& rng) {
    const std::size_t n = ids.size();
    if (n <= 32) return RefNode{ids, {}};
    const std::size_t k = std::clamp<std::size_t>((n + 31) / 32, 2, 16);
    std::vector<Vec> centres{v[rng.gen_range_usize(0, n)]};
    while (centres.size() < k) {
        std::vector<float> d(n);
        float s = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            d[i] = std::numeric_limits<float>::infinity();
            for (const Vec& c : centres) d[i] = std::min(d[i], mirot::l2_sq_f32(v[i], c));
            s += d[i];
        }
        std::size_t pick = 0;
        if (s > 0.0f) {
            float t = s * rng.gen_f32();
            for (std::size_t i = 0; i < n; ++i) {
                t -= d[i];
                if (t <= 0.0f) {
                    pick = i;
                    break;
                }
            }
        } else {
            pick = rng.gen_range_usize(0, n);
        }
        centres.push_back(v[pick]);
    }
    auto a = ref_assign(v, centres);
    for (int round = 0; round < 20; ++round) {
        std::vector<Vec> next(k, Vec(v[0].size(), 0.0f));
        std::vector<std::size_t> count(k, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < v[i].size(); ++j) next[a[i]][j] += v[i][j];
            ++count[a[i]];
        }
        for (std::size_t c = 0; c < k; ++c)
            for (float& x : next[c]) x = count[c] ? x / static_cast<float>(count[c]) : 0.0f;
        auto b = ref_assign(v, next);
        if (b == a) break;
        a = b;
    }
    RefNode node;
    for (std::size_t c = 0; c < k; ++c) {
        std::vector<std::uint32_t> cid;
        std::vector<Vec> cv;
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] == c) {
                cid.push_back(ids[i]);
                cv.push_back(v[i]);
            }
        if (!cid.empty()) node.children.push_back(ref_partition(cid, cv, rng));
    }
    return node;
}

// Pre-order leaf row lists and child counts of the reference tree.
void ref_shape(const RefNode& node, std::vector<std::vector<std::uint32_t>>& out) {
    if (node.children.empty()) {
        out.push_back(node.ids);
        return;
    }
    out.push_back({static_cast<std::uint32_t>(node.children.size()), 0xFFFFFFFFu});
    for (const RefNode& c : node.children) ref_shape(c, out);
}

std::vector<std::vector<std::uint32_t>> page_shape(const std::vector<Page>& pages) {
    std::vector<std::vector<std::uint32_t>> out;
    for (const Page& p : pages) {
        if (p.is_leaf())
            out.push_back(p.leaf()->row_ids);
        else
            out.push_back({static_cast<std::uint32_t>(p.internal()->children.size()), 0xFFFFFFFFu});
    }
    return out;
}

MirotIndex build(const Rows& r, std::size_t dim, std::uint64_t seed) {
    return mirot::build_from_rows_with_persist(r.ids, r.values, dim, seed, "/tmp/idx");
}

// Every row exactly once, leaves of at most 32 rows holding their own vectors, ids
// equal to positions, every internal page's centroids those of its children.
void expect_well_formed_tree(const MirotIndex& f, const Rows& r, std::size_t dim) {
    std::multiset<std::uint32_t> seen;
    for (std::size_t p = 0; p < f.pages.size(); ++p) {
        const Page& page = f.pages[p];
        ASSERT_EQ(page.page_id(), p);
        if (const LeafPage* leaf = page.leaf()) {
            ASSERT_LE(leaf->row_ids.size(), 32u);
            ASSERT_EQ(leaf->vectors.size(), leaf->row_ids.size());
            EXPECT_FALSE(leaf->centroid.has_value());
            for (std::size_t i = 0; i < leaf->row_ids.size(); ++i) {
                const std::uint32_t id = leaf->row_ids[i];
                seen.insert(id);
                std::vector<float> expect(r.values.begin() + id * dim, r.values.begin() + (id + 1) * dim);
                ASSERT_EQ(leaf->vectors[i], expect);
            }
        } else {
            const InternalPage* in = page.internal();
            ASSERT_GE(in->children.size(), 1u);
            ASSERT_LE(in->children.size(), 16u);
            ASSERT_EQ(in->child_centroids.size(), in->children.size());
            for (std::size_t c = 0; c < in->children.size(); ++c) {
                ASSERT_GT(in->children[c], page.page_id());
                EXPECT_EQ(in->child_centroids[c], f.page_by_id(in->children[c])->centroid());
            }
        }
    }
    EXPECT_EQ(seen, std::multiset<std::uint32_t>(r.ids.begin(), r.ids.end()));
}

}  // namespace

TEST(KmeansBuild, TreeMatchesDirectRecursiveClustering) {
    for (std::size_t n : {33u, 100u, 700u, 1500u}) {
        const std::size_t dim = n % 2 ? 3 : 9;
        Rows r = random_rows(n, dim, n);
        std::vector<Vec> v;
        for (std::size_t i = 0; i < n; ++i)
            v.emplace_back(r.values.begin() + i * dim, r.values.begin() + (i + 1) * dim);
        StdRng rng = StdRng::seed_from_u64(77);
        std::vector<std::vector<std::uint32_t>> expect;
        ref_shape(ref_partition(r.ids, v, rng), expect);

        MirotIndex f = build(r, dim, 77);
        EXPECT_EQ(page_shape(f.pages), expect) << "n=" << n;
        expect_well_formed_tree(f, r, dim);
        EXPECT_EQ(f.header, (mirot::IndexHeader{dim, n, 0, 32, 3}));
    }
}

TEST(KmeansBuild, SmallInputsMakeOneVectorLeaf) {
    for (std::size_t n : {0u, 1u, 32u}) {
        Rows r = random_rows(n, 4, 1, 100);
        MirotIndex f = build(r, 4, 5);
        ASSERT_EQ(f.pages.size(), 1u);
        const LeafPage* leaf = f.pages[0].leaf();
        ASSERT_NE(leaf, nullptr);
        EXPECT_EQ(leaf->row_ids, r.ids);
        EXPECT_EQ(leaf->vectors.size(), n);
        EXPECT_EQ(f.header, (mirot::IndexHeader{4, n, 0, n, 3}));
        EXPECT_TRUE(f.skip_edges.empty());
        EXPECT_NE(f.page_by_id(0), nullptr);
    }
    // 33 rows split in two at the root.
    Rows r = random_rows(33, 2, 3);
    MirotIndex f = build(r, 2, 5);
    ASSERT_FALSE(f.pages[0].is_leaf());
    EXPECT_EQ(f.pages[0].internal()->children.size(), 2u);
    EXPECT_EQ(f.header.leaf_capacity, 32u);
}

TEST(KmeansBuild, UndividableRowsAreCutIntoRunsInInputOrder) {
    // 1000 identical rows: a clustering never separates them.
    Rows same;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        same.ids.push_back(i);
        same.values.insert(same.values.end(), {1.0f, 2.0f});
    }
    MirotIndex f = build(same, 2, 3);
    expect_well_formed_tree(f, same, 2);
    std::vector<std::uint32_t> order;
    std::size_t leaves = 0;
    for (const Page& p : f.pages)
        if (const LeafPage* l = p.leaf()) {
            ++leaves;
            if (order.size() + 32 <= 1000) {
                EXPECT_EQ(l->row_ids.size(), 32u);
            }
            order.insert(order.end(), l->row_ids.begin(), l->row_ids.end());
        }
    EXPECT_EQ(order, same.ids);
    EXPECT_EQ(leaves, 32u);

    // NaN rows give NaN distances everywhere.
    Rows nan_rows = random_rows(100, 3, 4);
    for (float& x : nan_rows.values) x = std::numeric_limits<float>::quiet_NaN();
    MirotIndex g = build(nan_rows, 3, 3);
    std::size_t total = 0;
    for (const Page& p : g.pages)
        if (const LeafPage* l = p.leaf()) {
            EXPECT_LE(l->row_ids.size(), 32u);
            total += l->row_ids.size();
        }
    EXPECT_EQ(total, 100u);

    // Mostly identical rows with a few distinct ones still split where they can.
    Rows mixed = same;
    for (std::uint32_t i = 0; i < 40; ++i) mixed.values[2 * i] = 100.0f + static_cast<float>(i);
    expect_well_formed_tree(build(mixed, 2, 8), mixed, 2);
}

TEST(KmeansBuild, AssignmentTiesAndNaNKeepTheLowerCentre) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Row 0 is equally far from both centres; row 1 is NaN; row 2 is nearer centre 1.
    std::vector<float> rows{1.0f, 0.0f, nan, 0.0f, 1.9f, 0.0f};
    std::vector<float> centres{0.0f, 0.0f, 2.0f, 0.0f};
    EXPECT_EQ(mirot::assign_clusters(rows, centres, 2), (std::vector<std::uint32_t>{0, 0, 1}));
    // A NaN distance to the current best is never beaten.
    std::vector<float> nan_centre{nan, 0.0f, 1.0f, 0.0f};
    EXPECT_EQ(mirot::assign_clusters(std::vector<float>{1.0f, 0.0f}, nan_centre, 2),
              (std::vector<std::uint32_t>{0}));
    // One centre: everything is cluster 0.
    EXPECT_EQ(mirot::assign_clusters(rows, std::vector<float>{5.0f, 5.0f}, 2),
              (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(KmeansBuild, SkipEdgesOnlyInsideTheConfiguredSizeBand) {
    Rows small = random_rows(2048, 3, 5);
    EXPECT_TRUE(build(small, 3, 1).skip_edges.empty());

    Rows big = random_rows(3000, 3, 6);
    MirotIndex f = build(big, 3, 1);
    std::size_t leaves = 0;
    for (const Page& p : f.pages) {
        if (!p.is_leaf()) continue;
        ++leaves;
        auto it = f.skip_edges.find(p.page_id());
        ASSERT_NE(it, f.skip_edges.end());
        ASSERT_EQ(it->second.size(), 3u);
        // The three are the nearest other leaves by centroid distance.
        std::vector<float> dists;
        for (const Page& q : f.pages)
            if (q.is_leaf() && q.page_id() != p.page_id())
                dists.push_back(mirot::l2_sq_f32(p.centroid(), q.centroid()));
        std::sort(dists.begin(), dists.end());
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(mirot::l2_sq_f32(p.centroid(), f.page_by_id(it->second[k])->centroid()), dists[k]);
    }
    EXPECT_EQ(f.skip_edges.size(), leaves);

    mirot::MirotTuning narrow;
    narrow.skip_refinement_row_limit = 2999;
    mirot_test::ScopedTuning scope(narrow);
    EXPECT_TRUE(build(big, 3, 1).skip_edges.empty());
}

TEST(KmeansBuild, SkipEdgeTiesKeepPageOrder) {
    // Leaf 1 at the origin; leaves 2..5 all at distance 1 from it; leaf 6 farther.
    auto leaf = [](std::uint32_t id, std::vector<float> v) {
        LeafPage l;
        l.page_id = id;
        l.row_ids = {id};
        l.vectors = {std::move(v)};
        return Page(l);
    };
    std::vector<Page> pages{Page(InternalPage{0, {}, {}}),
                            leaf(1, {0, 0}),
                            leaf(2, {1, 0}),
                            leaf(3, {0, 1}),
                            leaf(4, {-1, 0}),
                            leaf(5, {0, -1}),
                            leaf(6, {std::numeric_limits<float>::quiet_NaN(), 0})};
    auto edges = mirot::build_skip_edges(pages);
    EXPECT_EQ(edges.at(1), (std::vector<std::uint32_t>{2, 3, 4}));
    EXPECT_EQ(edges.at(3), (std::vector<std::uint32_t>{1, 2, 4}));
    // A NaN centroid is never nearer than a number.
    EXPECT_EQ(edges.at(6), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(edges.size(), 6u);
}

TEST(KmeansBuild, FragmentFromReadyPagesNeedsPages) {
    try {
        mirot::from_pages_unpersisted(2, 0, 0, {}, "/tmp/x");
        FAIL();
    } catch (const mirot::MirotError& e) {
        EXPECT_EQ(e.message(), "from_pages_unpersisted requires pages");
    }
    MirotIndex f = mirot::from_pages_unpersisted(2, 7, 256, {Page(InternalPage{0, {}, {}})}, "/tmp/x");
    EXPECT_EQ(f.header, (mirot::IndexHeader{2, 7, 0, 256, 3}));
    EXPECT_EQ(f.persist_dir, "/tmp/x");
}

TEST(KmeansBuild, ZeroColumnsAreRefused) {
    const std::vector<std::uint32_t> ids(40, 0);
    StdRng rng = StdRng::seed_from_u64(1);
    auto message = [](auto&& fn) -> std::string {
        try {
            fn();
        } catch (const mirot::MirotError& e) {
            return e.kind() == mirot::MirotError::Kind::InvalidParameter ? e.message() : "wrong kind";
        }
        return "<no error>";
    };
    EXPECT_EQ(message([&] { mirot::partition_recursive_with_vectors(ids, {}, 0, 32, rng); }),
              "k-means partition requires at least one column");
    for (std::size_t n : {1u, 40u}) {
        EXPECT_EQ(message([&] { mirot::build_from_rows_with_persist({ids.data(), n}, {}, 0, 1, ""); }),
                  "a fragment requires at least one column");
    }
}
