#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "mirot/error.h"
#include "mirot/index_files.h"
#include "mirot/io_fault.h"
#include "mirot/mirot_index.h"
#include "temp_dir.h"

using mirot::InternalPage;
using mirot::LeafPage;
using mirot::MirotError;
using mirot::MirotIndex;
using mirot::Page;
using mirot_test::read_bytes;
using mirot_test::TempDir;
using mirot_test::write_bytes;

namespace {

MirotIndex sample_index(const std::string& dir) {
    MirotIndex idx;
    idx.pages = {
        Page(InternalPage{0, {1, 2, 3}, {{0.5f, 1.0f}, {2.0f, 2.0f}, {4.0f, 4.0f}}}),
        Page(LeafPage{1, {0, 1}, {{0.0f, 1.0f}, {1.0f, 1.0f}}, std::nullopt, std::nullopt}),
        Page(LeafPage{2, {2, 3}, {}, std::vector<float>{2.0f, 2.0f}, std::nullopt}),
        Page(LeafPage{3, {}, {}, std::vector<float>{4.0f, 4.0f}, std::make_pair(4u, 10u)}),
    };
    idx.page_map = mirot::build_page_map(idx.pages);
    idx.skip_edges = {{1, {2, 3}}, {2, {1}}, {3, {}}};
    idx.header = {2, 10, 0, 32, 3};
    idx.persist_dir = dir;
    return idx;
}

std::string open_error(const std::string& dir) {
    try {
        MirotIndex::open(dir);
    } catch (const MirotError& e) {
        return e.message();
    }
    return "";
}

std::string persist_error(const MirotIndex& idx) {
    try {
        idx.persist();
    } catch (const MirotError& e) {
        return e.message();
    }
    return "";
}

bool has_temporary_files(const std::string& dir) {
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() == ".tmp") return true;
    }
    return false;
}

// Rewrites one file of a persisted index and returns the message of opening it.
std::string open_with(const TempDir& dir, const MirotIndex& idx) {
    write_bytes(dir.file("index/pages.bin"), [&] {
        auto b = mirot::pages_bin_bytes(idx);
        return std::string(b.begin(), b.end());
    }());
    write_bytes(dir.file("index/header.json"), mirot::header_json_text(idx.header));
    return open_error(dir.file("index"));
}

class IndexPersist : public ::testing::Test {
protected:
    void TearDown() override { mirot::clear_io_faults(); }
};

}  // namespace

TEST_F(IndexPersist, PersistThenOpenRoundTrips) {
    TempDir dir;
    const std::string where = dir.file("a/b/index");
    MirotIndex idx = sample_index(where);
    idx.persist();
    EXPECT_FALSE(has_temporary_files(where));
    EXPECT_EQ(read_bytes(where + "/header.json"),
              "{\n  \"num_dim\": 2,\n  \"indexed_rows\": 10,\n  \"root_page_id\": 0,\n  \"leaf_capacity\": 32,\n"
              "  \"skip_neighbors\": 3\n}");

    MirotIndex back = MirotIndex::open(where);
    EXPECT_EQ(back.header, idx.header);
    EXPECT_EQ(back.skip_edges, idx.skip_edges);
    EXPECT_EQ(back.persist_dir, std::filesystem::path(where));
    ASSERT_EQ(back.pages.size(), idx.pages.size());
    for (std::uint32_t id = 0; id < 4; ++id) {
        ASSERT_NE(back.page_by_id(id), nullptr);
        EXPECT_EQ(back.page_by_id(id)->centroid(), idx.page_by_id(id)->centroid());
    }
    EXPECT_EQ(back.pages, idx.pages);
    EXPECT_EQ(back.root_centroid, back.page_by_id(0)->centroid());

    // Over an existing index, all three files are replaced; no skip edges is 4 zeros.
    idx.skip_edges.clear();
    idx.header.leaf_capacity = 7;
    idx.pages.pop_back();
    idx.pages[0].internal()->children.pop_back();
    idx.pages[0].internal()->child_centroids.pop_back();
    idx.page_map = mirot::build_page_map(idx.pages);
    idx.persist();
    EXPECT_EQ(read_bytes(where + "/skip_edges.bin"), std::string(4, '\0'));
    back = MirotIndex::open(where);
    EXPECT_EQ(back.header.leaf_capacity, 7u);
    EXPECT_EQ(back.pages, idx.pages);
}

TEST_F(IndexPersist, FailedStepsPutThePreviousFilesBack) {
    TempDir dir;
    const std::string where = dir.file("index");
    MirotIndex old_idx = sample_index(where);
    old_idx.persist();
    const std::string old_pages = read_bytes(where + "/pages.bin");
    const std::string old_skip = read_bytes(where + "/skip_edges.bin");
    const std::string old_header = read_bytes(where + "/header.json");

    MirotIndex next = sample_index(where);
    next.header.leaf_capacity = 99;
    next.pages[2].leaf()->row_ids = {5};
    next.skip_edges = {{1, {3}}};
    // The second rename (skip_edges.bin), after pages.bin was already replaced.
    mirot::inject_io_fault(mirot::IoFault::Rename, EIO, 1);
    EXPECT_EQ(persist_error(next), "Input/output error (os error 5)");
    EXPECT_EQ(read_bytes(where + "/pages.bin"), old_pages);
    EXPECT_EQ(read_bytes(where + "/skip_edges.bin"), old_skip);
    EXPECT_FALSE(has_temporary_files(where));

    // The header written last: pages and skip edges go back, the header stays whole.
    mirot::inject_io_fault(mirot::IoFault::Rename, ENOSPC, 2);
    EXPECT_EQ(persist_error(next), "No space left on device (os error 28)");
    EXPECT_EQ(read_bytes(where + "/pages.bin"), old_pages);
    EXPECT_EQ(read_bytes(where + "/skip_edges.bin"), old_skip);
    EXPECT_EQ(read_bytes(where + "/header.json"), old_header);
    EXPECT_FALSE(has_temporary_files(where));

    mirot::inject_io_fault(mirot::IoFault::Fsync, EIO);
    EXPECT_FALSE(persist_error(next).empty());
    EXPECT_EQ(read_bytes(where + "/pages.bin"), old_pages);
    EXPECT_FALSE(has_temporary_files(where));

    next.persist();
    EXPECT_EQ(MirotIndex::open(where).header.leaf_capacity, 99u);
}

TEST_F(IndexPersist, AFailedSyncAfterTheHeaderRenamePutsTheHeaderBackToo) {
    TempDir dir;
    const std::string where = dir.file("index");
    sample_index(where).persist();
    const std::string old_pages = read_bytes(where + "/pages.bin");
    const std::string old_header = read_bytes(where + "/header.json");

    MirotIndex next = sample_index(where);
    next.header.indexed_rows = 12;
    next.pages[2].leaf()->row_ids = {2, 3, 10, 11};
    // Syncs: two temporary files, the header's temporary file, then its directory.
    mirot::inject_io_fault(mirot::IoFault::Fsync, EIO, 3);
    EXPECT_EQ(persist_error(next), "Input/output error (os error 5)");
    EXPECT_EQ(read_bytes(where + "/pages.bin"), old_pages);
    EXPECT_EQ(read_bytes(where + "/header.json"), old_header);
    EXPECT_FALSE(has_temporary_files(where));
}

TEST_F(IndexPersist, OpenRefusesIndexFilesThatAreNotRegularFiles) {
    TempDir dir;
    const std::string where = dir.file("index");
    sample_index(where).persist();
    const std::string header = read_bytes(where + "/header.json");
    // A pipe would block the open for ever, a device would be read without end.
    std::filesystem::remove(where + "/header.json");
    ASSERT_EQ(::mkfifo((where + "/header.json").c_str(), 0600), 0);
    EXPECT_NE(open_error(where).find("header.json is not a regular file"), std::string::npos);

    std::filesystem::remove(where + "/header.json");
    write_bytes(where + "/header.json", header);
    std::filesystem::remove(where + "/pages.bin");
    std::filesystem::create_symlink("/dev/zero", where + "/pages.bin");
    EXPECT_NE(open_error(where).find("pages.bin is not a regular file"), std::string::npos);
}

TEST_F(IndexPersist, OpenNeedsTheHeaderButNotTheSkipEdges) {
    TempDir dir;
    const std::string where = dir.file("index");
    sample_index(where).persist();
    std::filesystem::remove(where + "/skip_edges.bin");
    EXPECT_TRUE(MirotIndex::open(where).skip_edges.empty());
    std::filesystem::remove(where + "/header.json");
    EXPECT_EQ(open_error(where), "No such file or directory (os error 2)");
}

TEST_F(IndexPersist, OpenReportsBrokenFilesWithTheirTexts) {
    TempDir dir;
    const std::string where = dir.file("index");
    sample_index(where).persist();
    std::string pages = read_bytes(where + "/pages.bin");
    pages[0] = 9;
    write_bytes(where + "/pages.bin", pages);
    EXPECT_EQ(open_error(where), "failed to fill whole buffer");
    pages[0] = 4;
    pages[8] = 'X';  // first record's magic
    write_bytes(where + "/pages.bin", pages);
    EXPECT_EQ(open_error(where), "bad page magic");
    sample_index(where).persist();

    write_bytes(where + "/header.json", R"({"num_dim":2,"indexed_rows":10,"root_page_id":0,"leaf_capacity":32,)"
                                        R"("skip_neighbors":3,"comment":"hand edited"})");
    EXPECT_EQ(open_error(where), "");
    write_bytes(where + "/header.json", R"({"num_dim":2,"indexed_rows":10,"root_page_id":0,"skip_neighbors":3})");
    EXPECT_EQ(open_error(where), "missing field `leaf_capacity`");
    write_bytes(where + "/header.json", "\xff");
    EXPECT_EQ(open_error(where), "stream did not contain valid UTF-8");
}

TEST_F(IndexPersist, OpenRefusesPageGraphsASearchCouldNotWalk) {
    TempDir dir;
    const std::string where = dir.file("index");
    sample_index(where).persist();
    const std::string pages_file = where + "/pages.bin";
    const std::string header_file = where + "/header.json";

    MirotIndex idx = sample_index(where);
    idx.header.num_dim = 3;
    // Records written with dim 3 but read against a header saying 2.
    {
        auto b = mirot::pages_bin_bytes(idx);
        write_bytes(pages_file, std::string(b.begin(), b.end()));
        idx.header.num_dim = 2;
        write_bytes(header_file, mirot::header_json_text(idx.header));
        EXPECT_EQ(open_error(where), pages_file + ": page 0 has dim 3, header num_dim is 2");
    }
    idx = sample_index(where);
    idx.header.num_dim = 100001;
    write_bytes(header_file, mirot::header_json_text(idx.header));
    EXPECT_EQ(open_error(where), header_file + ": num_dim 100001 exceeds maximum 100000");

    idx = sample_index(where);
    idx.pages[3].set_page_id(2);
    EXPECT_EQ(open_with(dir, idx), pages_file + ": page id 2 appears twice");

    idx = sample_index(where);
    idx.header.root_page_id = 7;
    EXPECT_EQ(open_with(dir, idx), header_file + ": root_page_id 7 names no page");

    idx = sample_index(where);
    idx.pages[0].internal()->children[1] = 8;
    EXPECT_EQ(open_with(dir, idx), pages_file + ": page 0 has child 8 that names no page");

    idx = sample_index(where);
    idx.pages[0].internal()->children[2] = 1;
    EXPECT_EQ(open_with(dir, idx), pages_file + ": page 1 is reached twice below the root");

    idx = sample_index(where);
    idx.pages[3] = Page(InternalPage{3, {0}, {{0.0f, 0.0f}}});
    EXPECT_EQ(open_with(dir, idx), pages_file + ": page 0 is reached twice below the root");

    idx = sample_index(where);
    idx.pages[2].leaf()->row_ids = {2, 10};
    EXPECT_EQ(open_with(dir, idx), pages_file + ": leaf 2 holds row 10 beyond the 10 indexed rows");

    idx = sample_index(where);
    idx.pages[3].leaf()->range = std::make_pair(4u, 11u);
    EXPECT_EQ(open_with(dir, idx), pages_file + ": leaf 3 range ends at 11 beyond the 10 indexed rows");

    EXPECT_EQ(open_with(dir, sample_index(where)), "");
}
