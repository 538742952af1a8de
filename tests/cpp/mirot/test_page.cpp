#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "mirot/distance.h"
#include "mirot/error.h"
#include "mirot/mirot_index.h"
#include "mirot/page.h"

using mirot::InternalPage;
using mirot::LeafPage;
using mirot::MirotError;
using mirot::Page;

namespace {

std::string read_error(const std::vector<std::uint8_t>& bytes) {
    try {
        mirot::read_page_record(bytes);
    } catch (const MirotError& e) {
        return e.message();
    }
    return "";
}

std::vector<std::uint8_t> header_bytes(std::uint8_t kind, std::uint32_t dim) {
    std::vector<std::uint8_t> b = {0x4F, 0x52, 0x49, 0x4D, kind, 1, 0, 0, 0};
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(dim >> (8 * i)));
    return b;
}

void push_u32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

TEST(L2SqF32, EightLaneSumsThenTailInIndexOrder) {
    // Values chosen so that another summation order rounds differently.
    // A large first square swallows single ones added after it, but not pairs
    // already summed in the other lanes.
    std::vector<float> a(19, 1.0f), b(19, 0.0f);
    a[0] = 4096.0f;
    float s[8] = {};
    for (std::size_t i = 0; i < 16; ++i) s[i % 8] += a[i] * a[i];
    float want = s[0];
    for (int j = 1; j < 8; ++j) want += s[j];
    for (std::size_t i = 16; i < 19; ++i) want += a[i] * a[i];
    EXPECT_EQ(mirot::l2_sq_f32(a, b), want);

    float naive = 0.0f;
    for (float v : a) naive += v * v;
    EXPECT_NE(naive, want) << "the test data no longer tells the orders apart";

    EXPECT_EQ(mirot::l2_sq_f32(std::vector<float>{}, std::vector<float>{}), 0.0f);
    EXPECT_EQ(mirot::l2_sq_f32(std::vector<float>{1.0f, 2.0f}, std::vector<float>{3.0f, 5.0f}), 13.0f);
}

TEST(PageCentroid, StoredCentroidElseMeanOfVectorsOrChildCentroids) {
    InternalPage in{4, {1, 2}, {{0.0f, 0.0f}, {2.0f, 4.0f}}};
    EXPECT_EQ(Page(in).centroid(), (std::vector<float>{1.0f, 2.0f}));

    LeafPage vec_leaf{1, {5, 6}, {{1.0f, 3.0f}, {2.0f, 5.0f}}, std::nullopt, std::nullopt};
    EXPECT_EQ(Page(vec_leaf).centroid(), (std::vector<float>{1.5f, 4.0f}));
    vec_leaf.centroid = std::vector<float>{9.0f};
    EXPECT_EQ(Page(vec_leaf).centroid(), (std::vector<float>{9.0f}));

    // A shorter vector adds only its own entries; the count still divides all.
    LeafPage ragged{1, {1, 2}, {{2.0f, 2.0f}, {4.0f}}, std::nullopt, std::nullopt};
    EXPECT_EQ(Page(ragged).centroid(), (std::vector<float>{3.0f, 1.0f}));

    EXPECT_TRUE(Page(LeafPage{}).centroid().empty());
    EXPECT_TRUE(Page(InternalPage{}).centroid().empty());
}

TEST(PageMap, LaterPageWinsAndMissingIdsGiveNothing) {
    mirot::MirotIndex idx;
    idx.pages.push_back(Page(LeafPage{3, {1}, {}, std::vector<float>{}, std::nullopt}));
    idx.pages.push_back(Page(LeafPage{3, {2}, {}, std::vector<float>{}, std::nullopt}));
    idx.page_map = mirot::build_page_map(idx.pages);
    ASSERT_NE(idx.page_by_id(3), nullptr);
    EXPECT_EQ(idx.page_by_id(3)->leaf()->row_ids, std::vector<std::uint32_t>{2});
    EXPECT_EQ(idx.page_by_id(4), nullptr);
}

TEST(PageRecord, IdLeafHasTheExact33Bytes) {
    Page p(LeafPage{7, {3, 9}, {}, std::vector<float>{1.0f, 0.5f}, std::nullopt});
    const std::vector<std::uint8_t> want = {0x4F, 0x52, 0x49, 0x4D, 0x02, 0x07, 0x00, 0x00, 0x00, 0x02, 0x00,
                                            0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x09,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x3F};
    EXPECT_EQ(p.serialize(2), want);
    EXPECT_EQ(p.serialized_size(2), want.size());
    EXPECT_EQ(mirot::read_page_record(want), p);
}

TEST(PageRecord, EveryKindRoundTripsWithVectorsCutOrPaddedToDim) {
    Page internal(InternalPage{0, {1, 2}, {{1.0f, 2.0f, 3.0f}, {4.0f}}});
    Page back = mirot::read_page_record(internal.serialize(2));
    EXPECT_EQ(back, Page(InternalPage{0, {1, 2}, {{1.0f, 2.0f}, {4.0f, 0.0f}}}));
    EXPECT_EQ(internal.serialize(2).size(), internal.serialized_size(2));

    // A vector leaf's stored centroid is not written; the mean stands in for it.
    Page vec(LeafPage{5, {10, 11}, {{1.0f, 1.0f}, {3.0f, 5.0f}}, std::vector<float>{7.0f, 7.0f}, std::nullopt});
    Page vec_back = mirot::read_page_record(vec.serialize(2));
    EXPECT_FALSE(vec_back.leaf()->centroid.has_value());
    EXPECT_EQ(vec_back.centroid(), (std::vector<float>{2.0f, 3.0f}));
    EXPECT_EQ(vec.serialize(2).size(), vec.serialized_size(2));

    // A range wins over ids and vectors; the centroid is padded with zeros.
    Page range(LeafPage{9, {1}, {{1.0f}}, std::vector<float>{2.0f}, std::make_pair(4u, 4u)});
    std::vector<std::uint8_t> bytes = range.serialize(3);
    EXPECT_EQ(bytes.size(), 21u + 12u);
    EXPECT_EQ(mirot::read_page_record(bytes),
              Page(LeafPage{9, {}, {}, std::vector<float>{2.0f, 0.0f, 0.0f}, std::make_pair(4u, 4u)}));

    // An empty leaf is an id leaf and reads back with a zero centroid.
    Page empty(LeafPage{});
    EXPECT_EQ(mirot::read_page_record(empty.serialize(2)),
              Page(LeafPage{0, {}, {}, std::vector<float>{0.0f, 0.0f}, std::nullopt}));
    // With dim 0 no value is written and centroids come back empty.
    EXPECT_EQ(mirot::read_page_record(empty.serialize(0)),
              Page(LeafPage{0, {}, {}, std::vector<float>{}, std::nullopt}));

    // Bytes after the last field are ignored.
    bytes.push_back(0xAB);
    EXPECT_EQ(mirot::read_page_record(bytes).leaf()->range, std::make_pair(4u, 4u));
}

TEST(PageRecord, MalformedRecordsFailWithTheirTexts) {
    EXPECT_EQ(read_error(std::vector<std::uint8_t>(12, 0)), "page too short");
    std::vector<std::uint8_t> bad = header_bytes(0, 1);
    bad[0] = 0;
    EXPECT_EQ(read_error(bad), "bad page magic");
    for (std::uint8_t kind = 0; kind < 4; ++kind) EXPECT_EQ(read_error(header_bytes(kind, 1)), "truncated u32");
    EXPECT_EQ(read_error(header_bytes(200, 1)), "unknown page kind 200");

    auto range = header_bytes(3, 0);
    push_u32(range, 5);
    push_u32(range, 3);
    EXPECT_EQ(read_error(range), "range leaf start 5 > end 3");

    // Counts far beyond the bytes fail as truncation, without reserving for them.
    auto vec = header_bytes(1, 2);
    push_u32(vec, 0xFFFFFFFFu);
    push_u32(vec, 1);
    push_u32(vec, 0);
    EXPECT_EQ(read_error(vec), "truncated f32");
    auto ids = header_bytes(2, 2);
    push_u32(ids, 0xFFFFFFFFu);
    EXPECT_EQ(read_error(ids), "truncated u32");
    auto huge_dim = header_bytes(2, 0xFFFFFFFFu);
    push_u32(huge_dim, 0);
    EXPECT_EQ(read_error(huge_dim), "truncated f32");
}
