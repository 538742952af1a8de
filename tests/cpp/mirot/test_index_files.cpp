#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mirot/error.h"
#include "mirot/index_files.h"

using mirot::IndexHeader;
using mirot::MirotError;
using mirot::SkipEdges;

namespace {

std::string header_error(const std::string& text) {
    try {
        mirot::parse_index_header(text);
    } catch (const MirotError& e) {
        return e.message();
    }
    return "";
}

std::string pages_error(const std::vector<std::uint8_t>& bytes) {
    try {
        mirot::read_pages_bin(bytes);
    } catch (const MirotError& e) {
        return e.message();
    }
    return "";
}

}  // namespace

TEST(HeaderJson, PrettyFormAndBothAcceptedShapes) {
    IndexHeader h{8, 12345, 7, 32, 3};
    const std::string text = mirot::header_json_text(h);
    EXPECT_EQ(text,
              "{\n  \"num_dim\": 8,\n  \"indexed_rows\": 12345,\n  \"root_page_id\": 7,\n"
              "  \"leaf_capacity\": 32,\n  \"skip_neighbors\": 3\n}");
    EXPECT_EQ(mirot::parse_index_header(text), h);
    EXPECT_EQ(mirot::parse_index_header("[8, 12345, 7, 32, 3]"), h);
    // Unknown keys, nested or not, are skipped; key order does not matter.
    EXPECT_EQ(mirot::parse_index_header(R"({"skip_neighbors":3,"extra":{"a":[1,{"b":null}]},"num_dim":8,)"
                                        R"("indexed_rows":12345,"root_page_id":7,"leaf_capacity":32,"z":"x"})"),
              h);
    IndexHeader big{~std::uint64_t{0}, 0, 4294967295u, 0, 0};
    EXPECT_EQ(mirot::parse_index_header(mirot::header_json_text(big)), big);
}

TEST(HeaderJson, RefusesMissingRepeatedAndOutOfRangeValues) {
    const std::string rest = R"("indexed_rows":1,"root_page_id":0,"skip_neighbors":3)";
    EXPECT_EQ(header_error("{\"num_dim\":1," + rest + "}"), "missing field `leaf_capacity`");
    EXPECT_EQ(header_error("{\"num_dim\":1,\"num_dim\":1,\"leaf_capacity\":1," + rest + "}"),
              "duplicate field `num_dim`");
    EXPECT_EQ(header_error(R"({"num_dim":1,"indexed_rows":1,"root_page_id":4294967296,"leaf_capacity":1,)"
                           R"("skip_neighbors":3})"),
              "invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(header_error("{\"num_dim\":-1,\"leaf_capacity\":1," + rest + "}"),
              "invalid value: integer `-1`, expected u64");
    EXPECT_EQ(header_error("{\"num_dim\":1.5,\"leaf_capacity\":1," + rest + "}"),
              "invalid type: floating point `1.5`, expected u64");
    EXPECT_EQ(header_error("{\"num_dim\":\"1\",\"leaf_capacity\":1," + rest + "}"),
              "invalid type: string \"1\", expected u64");
    EXPECT_EQ(header_error("{\"num_dim\":[1],\"leaf_capacity\":1," + rest + "}"),
              "invalid type: sequence, expected u64");
    EXPECT_EQ(header_error("[1, 2, 3, 4]"), "invalid length 4, expected struct IndexHeader with 5 elements");
    EXPECT_EQ(header_error("[1, 2, 3, 4, 5, 6]"), "trailing characters");
    EXPECT_EQ(header_error("7"), "invalid type: integer `7`, expected struct IndexHeader");
    EXPECT_FALSE(header_error("{\"num_dim\":1").empty());
    EXPECT_FALSE(header_error("").empty());
    EXPECT_FALSE(header_error(mirot::header_json_text(IndexHeader{}) + "x").empty());
}

TEST(SkipEdgesFile, EmptyMapIsFourZeroBytesAndContentRoundTrips) {
    EXPECT_EQ(mirot::skip_edges_bytes({}), (std::vector<std::uint8_t>{0, 0, 0, 0}));
    SkipEdges edges{{1, {2, 3, 4}}, {2, {}}, {9, {1}}};
    EXPECT_EQ(mirot::read_skip_edges(mirot::skip_edges_bytes(edges)), edges);
}

TEST(SkipEdgesFile, TruncatedContentKeepsWhatWasComplete) {
    for (std::size_t n = 0; n < 4; ++n) EXPECT_TRUE(mirot::read_skip_edges(std::vector<std::uint8_t>(n, 0xFF)).empty());
    auto bytes = mirot::skip_edges_bytes(SkipEdges{{1, {2, 3}}, {5, {6, 7, 8}}});
    bytes[0] = 200;  // claims far more entries than present
    EXPECT_EQ(mirot::read_skip_edges(bytes), (SkipEdges{{1, {2, 3}}, {5, {6, 7, 8}}}));
    bytes.resize(bytes.size() - 5);  // the last list loses one id and a byte
    EXPECT_EQ(mirot::read_skip_edges(bytes), (SkipEdges{{1, {2, 3}}, {5, {6}}}));
    bytes.resize(4 + 16 + 7);  // not even the second entry's id and k
    EXPECT_EQ(mirot::read_skip_edges(bytes), (SkipEdges{{1, {2, 3}}}));
    // A later entry with the same id replaces the list.
    std::vector<std::uint8_t> dup = {2, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(mirot::read_skip_edges(dup), (SkipEdges{{4, {}}}));
}

TEST(PagesFile, RoundTripsInOrderAndShortFilesFail) {
    mirot::MirotIndex idx;
    idx.header.num_dim = 2;
    idx.pages.push_back(mirot::Page(mirot::InternalPage{0, {2, 1}, {{1.0f, 2.0f}, {3.0f, 4.0f}}}));
    idx.pages.push_back(mirot::Page(mirot::LeafPage{2, {5}, {{1.0f, 2.0f}}, std::nullopt, std::nullopt}));
    idx.pages.push_back(
        mirot::Page(mirot::LeafPage{1, {}, {}, std::vector<float>{3.0f, 4.0f}, std::make_pair(0u, 5u)}));
    auto bytes = mirot::pages_bin_bytes(idx);
    std::vector<std::uint32_t> dims;
    EXPECT_EQ(mirot::read_pages_bin(bytes, &dims), idx.pages);
    EXPECT_EQ(dims, (std::vector<std::uint32_t>{2, 2, 2}));

    bytes.push_back(0x55);  // trailing bytes are ignored
    EXPECT_EQ(mirot::read_pages_bin(bytes), idx.pages);
    bytes[0] = 4;  // one page more than present
    EXPECT_EQ(pages_error(bytes), "failed to fill whole buffer");
    EXPECT_EQ(pages_error({1, 0}), "failed to fill whole buffer");
    EXPECT_EQ(pages_error({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}), "failed to fill whole buffer");
    EXPECT_EQ(pages_error({1, 0, 0, 0, 1, 0, 0, 0, 1}), "page too short");
    EXPECT_TRUE(mirot::read_pages_bin(std::vector<std::uint8_t>{0, 0, 0, 0}).empty());
}
