#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mirot/error.h"
#include "mirot/tuning.h"

using mirot::MirotError;
using mirot::MirotTuning;

TEST(MirotError, DebugFormsEscapeLikeStringLiterals) {
    EXPECT_EQ(MirotError::invalid_parameter("a \"b\" \\ c\t\r\n").debug(),
              "InvalidParameter(\"a \\\"b\\\" \\\\ c\\t\\r\\n\")");
    EXPECT_EQ(MirotError::invalid_parameter(std::string("x\0y\x01", 4)).debug(),
              "InvalidParameter(\"x\\0y\\u{1}\")");
    EXPECT_EQ(MirotError::invalid_parameter("caf\xc3\xa9").debug(), "InvalidParameter(\"caf\xc3\xa9\")");
    EXPECT_EQ(MirotError::invalid_shape({2, 3}, {4}).debug(), "InvalidShape { expected: [2, 3], got: [4] }");
    EXPECT_EQ(MirotError::invalid_shape({}, {}).debug(), "InvalidShape { expected: [], got: [] }");
    EXPECT_STREQ(MirotError::invalid_shape({1}, {2}).what(), "InvalidShape { expected: [1], got: [2] }");
}

TEST(MirotTuning, RulesAreCheckedInOrderAndFirstBrokenWins) {
    MirotTuning t;
    EXPECT_FALSE(t.validate());
    t.index_compact_fragment_max = 2;
    EXPECT_EQ(*t.validate(), "index_compact_fragment_max must be >= 3");

    t = MirotTuning{};
    t.pending_hard_flush_threshold = t.pending_flush_threshold;
    EXPECT_FALSE(t.validate());
    t.pending_hard_flush_threshold -= 1;
    EXPECT_EQ(*t.validate(), "pending_hard_flush_threshold must be >= pending_flush_threshold");

    t = MirotTuning{};
    t.skip_refinement_row_limit = t.exhaustive_search_row_limit;
    EXPECT_FALSE(t.validate());
    t.skip_refinement_row_limit = 0;
    t.exhaustive_search_row_limit = 0;
    EXPECT_EQ(*t.validate(), "exhaustive_search_row_limit must be >= 1");

    t = MirotTuning{};
    t.search_rows_per_fragment = 0;
    t.search_beam_width = 0;
    EXPECT_EQ(*t.validate(), "search_rows_per_fragment must be >= 1");

    t = MirotTuning{};
    t.build_seed = 0;
    EXPECT_FALSE(t.validate());
    t.build_seed = ~std::uint64_t{0};
    EXPECT_FALSE(t.validate());
}

// The provider slot is process-wide; this one test owns it in the test binary.
TEST(MirotTuning, ProviderRecordsAreSeenWholeOrReplacedByDefaults) {
    MirotTuning d = mirot::current_tuning();
    EXPECT_EQ(d, MirotTuning{});
    EXPECT_EQ(d.index_compact_rows_per_fragment, 10000u);
    EXPECT_FALSE(d.build_seed.has_value());
    EXPECT_EQ(d.skip_refinement_row_limit, 150000u);

    MirotTuning bad;
    bad.index_compact_fragment_max = 2;
    bad.search_beam_width = 7;
    mirot::set_tuning_provider([bad] { return bad; });
    EXPECT_EQ(mirot::current_tuning(), MirotTuning{});

    MirotTuning a, b;
    a.search_beam_width = 3;
    a.build_seed = 1;
    b.search_beam_width = 5;
    b.build_seed = 2;
    mirot::set_tuning_provider([a] { return a; });
    std::atomic<bool> stop{false}, mixed{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            while (!stop) {
                MirotTuning t = mirot::current_tuning();
                if (!(t == a || t == b)) mixed = true;
            }
        });
    for (int i = 0; i < 200; ++i) {
        MirotTuning next = i % 2 ? a : b;
        mirot::set_tuning_provider([next] { return next; });
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_FALSE(mixed);
    mirot::set_tuning_provider([] { return MirotTuning{}; });
}
