#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "mirot/atomic_file.h"
#include "mirot/io_fault.h"
#include "mirot/observation.h"
#include "temp_dir.h"

using mirot::BlockView;
using mirot::MirotError;
using mirot::parse_json_usize_field;
using mirot_test::TempDir;

namespace {

std::string u64_bytes(std::uint64_t v) {
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

std::optional<std::uint64_t> none() { return std::nullopt; }

}  // namespace

TEST(ObservationFiles, NumberFieldReaderFollowsTheTextRules) {
    std::string_view t = "{\"a\":  42,\"b\":7}";
    EXPECT_EQ(parse_json_usize_field(t, "a"), 42u);
    EXPECT_EQ(parse_json_usize_field(t, "b"), 7u);
    EXPECT_EQ(parse_json_usize_field(t, "c"), none());
    // White space before the colon hides the key; after it (any Unicode space) is skipped.
    EXPECT_EQ(parse_json_usize_field("{\"a\" :1}", "a"), none());
    EXPECT_EQ(parse_json_usize_field("{\"a\":\t\n\xc2\xa0\xe3\x80\x80 5}", "a"), 5u);
    EXPECT_EQ(parse_json_usize_field("{\"a\":\xe2\x80\x8b" "5}", "a"), none());  // zero-width space is not white
    for (std::string_view bad : {"{\"a\":-1}", "{\"a\":\"3\"}", "{\"a\":null}", "{\"a\":", "{\"a\":+3}"})
        EXPECT_EQ(parse_json_usize_field(bad, "a"), none()) << bad;
    EXPECT_EQ(parse_json_usize_field("{\"a\":007}", "a"), 7u);
    EXPECT_EQ(parse_json_usize_field("{\"a\":3.5}", "a"), 3u);
    EXPECT_EQ(parse_json_usize_field("{\"a\":12e3}", "a"), 12u);
    EXPECT_EQ(parse_json_usize_field("{\"a\":18446744073709551615}", "a"), 18446744073709551615u);
    EXPECT_EQ(parse_json_usize_field("{\"a\":18446744073709551616}", "a"), none());
    EXPECT_EQ(parse_json_usize_field("{\"a\":99999999999999999999}", "a"), none());
    // The first occurrence wins, even inside an earlier string value.
    EXPECT_EQ(parse_json_usize_field("{\"s\":\"x\\\"n\\\":1\",\"n\":2}", "n"), 2u);
    EXPECT_EQ(parse_json_usize_field("{\"s\":\"\"n\":1\",\"n\":2}", "n"), 1u);

    EXPECT_EQ(mirot::parse_json_string_field("{\"index_backend\":\"faiss\"}", "index_backend"), "faiss");
    EXPECT_EQ(mirot::parse_json_string_field("{\"index_backend\": \"faiss\"}", "index_backend"), std::nullopt);
    EXPECT_EQ(mirot::parse_json_string_field("{\"index_backend\":\"open", "index_backend"), std::nullopt);
}

TEST(ObservationFiles, MetadataTextIsByteExact) {
    std::string text = mirot::metadata_text(120, 4, 1, false, 100);
    EXPECT_EQ(text,
              "{\"format_version\":1,\"num_obs\":120,\"num_dim\":4,\"num_metrics\":1,\"scale_x\":false,"
              "\"index_backend\":\"mirot_disk\",\"indexed_rows\":100}");
    EXPECT_EQ(text.size(), 126u);
    TempDir dir;
    mirot::mirot_write_metadata(dir.path(), 120, 4, 1, true, 100);
    EXPECT_EQ(mirot_test::read_bytes(dir.file("metadata.json")), mirot::metadata_text(120, 4, 1, true, 100));
    EXPECT_FALSE(std::filesystem::exists(dir.file("metadata.json.tmp")));
}

TEST(ObservationFiles, RowCountTakesTheLargerSourceAndIgnoresBrokenOnes) {
    TempDir dir;
    const std::string& d = dir.path();
    EXPECT_EQ(mirot::mirot_load_num_obs(d), none());
    EXPECT_EQ(mirot::mirot_load_indexed_rows(d), none());
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(10));
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 10u);
    mirot::mirot_write_metadata(d, 12, 2, 1, false, 9);
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 12u);
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(30));
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 30u);
    // Short or long counter files are absent.
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(30).substr(0, 7));
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 12u);
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(30) + "x");
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 12u);
    // Metadata that is not UTF-8 is absent.
    mirot_test::write_bytes(dir.file("metadata.json"), "{\"num_obs\":12,\"x\":\"\xff\"}");
    EXPECT_EQ(mirot::mirot_load_num_obs(d), none());

    // The indexed count prefers its own file and falls back to the metadata.
    mirot::mirot_write_metadata(d, 12, 2, 1, false, 9);
    EXPECT_EQ(mirot::mirot_load_indexed_rows(d), 9u);
    mirot::write_indexed_rows(d, 5);
    EXPECT_EQ(mirot_test::read_bytes(dir.file("indexed_rows.bin")), u64_bytes(5));
    EXPECT_EQ(mirot::mirot_load_indexed_rows(d), 5u);
    mirot_test::write_bytes(dir.file("indexed_rows.bin"), "");
    EXPECT_EQ(mirot::mirot_load_indexed_rows(d), 9u);
    // A directory where a file should be is absent too.
    std::filesystem::remove(dir.file("num_obs.bin"));
    std::filesystem::create_directory(dir.file("num_obs.bin"));
    EXPECT_EQ(mirot::mirot_load_num_obs(d), 12u);
}

TEST(ObservationFiles, FailedReplacementKeepsTheOldFileAndLeavesNoTemporary) {
    TempDir dir;
    mirot::mirot_write_metadata(dir.path(), 1, 2, 3, false, 0);
    std::string before = mirot_test::read_bytes(dir.file("metadata.json"));
    struct Case {
        mirot::IoFault op;
        int code;
        const char* text;
    };
    for (Case c : {Case{mirot::IoFault::Rename, EXDEV, "Invalid cross-device link (os error 18)"},
                   Case{mirot::IoFault::Write, ENOSPC, "No space left on device (os error 28)"},
                   Case{mirot::IoFault::Fsync, EIO, "Input/output error (os error 5)"}}) {
        mirot::inject_io_fault(c.op, c.code);
        try {
            mirot::mirot_write_metadata(dir.path(), 50, 2, 3, false, 40);
            ADD_FAILURE() << "no error";
        } catch (const MirotError& e) {
            EXPECT_EQ(e.message(), c.text);
        }
        EXPECT_EQ(mirot_test::read_bytes(dir.file("metadata.json")), before);
        EXPECT_FALSE(std::filesystem::exists(dir.file("metadata.json.tmp")));
    }
    mirot::clear_io_faults();
    mirot::write_indexed_rows(dir.path(), 3);
    mirot::inject_io_fault(mirot::IoFault::Rename, EIO);
    EXPECT_THROW(mirot::write_indexed_rows(dir.path(), 4), MirotError);
    EXPECT_EQ(mirot::mirot_load_indexed_rows(dir.path()), 3u);
    // A missing directory is the error of the write itself.
    EXPECT_THROW(mirot::write_indexed_rows(dir.file("nope"), 1), MirotError);
}

TEST(ObservationFiles, VarianceFileIsCreatedAtTheFirstVariancesOnly) {
    TempDir dir;
    const std::string& d = dir.path();
    std::vector<double> v = {0.1, 0.2, 0.3, 0.4};
    EXPECT_FALSE(mirot::mirot_open_or_append_yvar(d, 2, std::nullopt).has_value());
    EXPECT_FALSE(std::filesystem::exists(dir.file("train_yvar.bin")));

    auto store = mirot::mirot_open_or_append_yvar(d, 2, BlockView(v.data(), 2, 2));
    ASSERT_TRUE(store.has_value());
    EXPECT_EQ(store->nrows(), 2u);
    store.reset();
    // Rows already stored are kept and the block is ignored (2 rows recorded in use).
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(2));
    std::vector<double> other = {9, 9};
    store = mirot::mirot_open_or_append_yvar(d, 2, BlockView(other.data(), 1, 2));
    ASSERT_TRUE(store.has_value());
    EXPECT_EQ(store->nrows(), 2u);
    EXPECT_EQ(store->row(1)[1], 0.4);
    EXPECT_FALSE(mirot::mirot_open_or_append_yvar(d, 2, std::nullopt).has_value());
}

TEST(ObservationFiles, VarianceAtAddOpensWithTheRecordedCountThenAppends) {
    TempDir dir;
    const std::string& d = dir.path();
    std::optional<mirot::MmapColumnStore> slot;
    std::vector<double> v = {1, 2, 3};
    mirot::mirot_append_yvar_on_add(d, 1, slot, std::nullopt);
    EXPECT_FALSE(slot.has_value());
    EXPECT_FALSE(std::filesystem::exists(dir.file("train_yvar.bin")));

    // Rows stored without variances: a variance file cannot start in the middle.
    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(4));
    try {
        mirot::mirot_append_yvar_on_add(d, 1, slot, BlockView(v.data(), 3, 1));
        ADD_FAILURE() << "no error";
    } catch (const MirotError& e) {
        EXPECT_EQ(e.message(), "known_nrows 4 exceeds train file bytes 0");
    }
    EXPECT_FALSE(slot.has_value());

    mirot_test::write_bytes(dir.file("num_obs.bin"), u64_bytes(0));
    mirot::mirot_append_yvar_on_add(d, 1, slot, BlockView(v.data(), 3, 1));
    ASSERT_TRUE(slot.has_value());
    mirot::mirot_append_yvar_on_add(d, 1, slot, BlockView(v.data(), 2, 1));
    mirot::mirot_append_yvar_on_add(d, 1, slot, std::nullopt);
    EXPECT_EQ(slot->nrows(), 5u);
    EXPECT_EQ(slot->row(4)[0], 2.0);
}

TEST(ObservationFiles, ColumnLimitNamesTheField) {
    mirot::check_column_limit("num_dim", 100000);
    try {
        mirot::check_column_limit("num_metrics", 100001);
        ADD_FAILURE() << "no error";
    } catch (const MirotError& e) {
        EXPECT_EQ(e.message(), "num_metrics 100001 exceeds maximum 100000");
    }
}
