#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "mirot/temp_dir.h"
#include "mirot/tuning.h"
#include "qelbo/model/config_file.h"

using mirot::MirotTuning;
using mirot_test::TempDir;
using qelbo::Config;
using qelbo::MirotConfig;

namespace {

// Points HOME at a fresh directory for one test and puts everything back after.
class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        save("HOME", home_);
        save("USERPROFILE", profile_);
        ::setenv("HOME", dir_.path().c_str(), 1);
        ::unsetenv("USERPROFILE");
        cwd_ = std::filesystem::current_path();
    }
    void TearDown() override {
        std::filesystem::current_path(cwd_);
        qelbo::set_config_path_override(std::nullopt);
        mirot::set_tuning_provider(nullptr);
        restore("HOME", home_);
        restore("USERPROFILE", profile_);
    }
    static void save(const char* name, std::optional<std::string>& slot) {
        if (const char* v = std::getenv(name)) slot = v;
    }
    static void restore(const char* name, const std::optional<std::string>& slot) {
        if (slot) {
            ::setenv(name, slot->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    MirotTuning load_text(const std::string& text) {
        std::string path = dir_.file("c.toml");
        mirot_test::write_bytes(path, text);
        return Config::load(path).to_tuning();
    }

    TempDir dir_;
    std::optional<std::string> home_, profile_;
    std::filesystem::path cwd_;
};

}  // namespace

TEST_F(ConfigFileTest, MissingFileIsCreatedWithTheDefaultTextAndDefaultsApply) {
    const std::string expected =
        "[mirot]\nindex_compact_rows_per_fragment = 10000\nindex_compact_fragment_max = 32\n"
        "search_rows_per_fragment = 80000\nsmall_fragment_merge_rows = 15000\nsearch_fragment_budget_max = 1\n"
        "pending_flush_threshold = 250\npending_hard_flush_threshold = 3000\nstructured_build_row_limit = 1024\n"
        "search_beam_width = 1\nexhaustive_search_row_limit = 2500\nskip_refinement_row_limit = 150000\n";
    EXPECT_EQ(qelbo::default_config_text(), expected);

    std::string path = dir_.file(".qelbo/config.toml");
    EXPECT_EQ(Config::path(), path);
    qelbo::install_mirot_tuning_from_config();
    EXPECT_EQ(mirot_test::read_bytes(path), expected);
    EXPECT_EQ(mirot::current_tuning(), MirotTuning{});
    // Nothing but the file is left in its directory.
    std::size_t entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir_.file(".qelbo"))) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST_F(ConfigFileTest, PathFollowsOverrideThenHomeThenUserProfileThenCurrentDirectory) {
    ::setenv("HOME", "", 1);
    EXPECT_EQ(Config::path(), ".qelbo/config.toml");
    ::unsetenv("HOME");
    ::setenv("USERPROFILE", "/users/q", 1);
    EXPECT_EQ(Config::path(), "/users/q/.qelbo/config.toml");
    ::unsetenv("USERPROFILE");
    EXPECT_EQ(Config::path(), "./.qelbo/config.toml");
    qelbo::set_config_path_override("~/x/settings.toml");
    EXPECT_EQ(Config::path(), "~/x/settings.toml");

    // A relative override (tilde included) is created below the current directory.
    std::filesystem::current_path(dir_.path());
    qelbo::install_mirot_tuning_from_config();
    EXPECT_EQ(mirot_test::read_bytes(dir_.file("~/x/settings.toml")), qelbo::default_config_text());
    qelbo::set_config_path_override(std::nullopt);
    EXPECT_EQ(Config::path(), "./.qelbo/config.toml");
}

TEST_F(ConfigFileTest, ExistingFilesAreNeverRewritten) {
    std::string path = dir_.file("c.toml");
    mirot_test::write_bytes(path, "");
    EXPECT_EQ(Config::load(path), Config::load(dir_.file("other.toml")));
    EXPECT_EQ(mirot_test::read_bytes(path), "");
    // A path that cannot be looked at is left alone, not recreated.
    std::string loop = dir_.file("loop.toml");
    std::filesystem::create_symlink(loop, loop);
    EXPECT_EQ(Config::load(loop).to_tuning(), MirotTuning{});
    EXPECT_TRUE(std::filesystem::is_symlink(loop));
    // A directory where the file should be, and an unwritable parent: defaults.
    std::filesystem::create_directory(dir_.file("d.toml"));
    EXPECT_EQ(Config::load(dir_.file("d.toml")).to_tuning(), MirotTuning{});
    mirot_test::write_bytes(dir_.file("plain"), "x");
    EXPECT_EQ(Config::load(dir_.file("plain/sub/c.toml")).to_tuning(), MirotTuning{});
    EXPECT_EQ(Config::load("").to_tuning(), MirotTuning{});
}

TEST_F(ConfigFileTest, PartialFilesMergeOverTheDefaults) {
    MirotTuning t = load_text("[mirot]\npending_flush_threshold = 5000\n");
    MirotTuning expected;
    expected.pending_flush_threshold = 5000;
    expected.pending_hard_flush_threshold = 5000;
    EXPECT_EQ(t, expected);

    t = load_text("[mirot]\npending_flush_threshold = 10\n");
    EXPECT_EQ(t.pending_flush_threshold, 10u);
    EXPECT_EQ(t.pending_hard_flush_threshold, 3000u);

    // Unknown keys and other tables are ignored; dotted and inline forms are the same table.
    t = load_text("top = 1\n[mirot]\nsearch_beam_width = 4\nnot_a_key = \"x\"\n[other]\na = 1\n");
    EXPECT_EQ(t.search_beam_width, 4u);
    EXPECT_EQ(load_text("mirot.search_beam_width = 5\n").search_beam_width, 5u);
    EXPECT_EQ(load_text("mirot = { search_beam_width = 6, build_seed = 7 }\n").build_seed, 7u);
    EXPECT_FALSE(load_text("[mirot]\n").build_seed.has_value());
    EXPECT_EQ(load_text("[mirot]\nbuild_seed = 9223372036854775807\n").build_seed, 9223372036854775807u);

    // The loaded record keeps an unset hard threshold unset.
    mirot_test::write_bytes(dir_.file("p.toml"), "[mirot]\npending_flush_threshold = 10\n");
    EXPECT_FALSE(Config::load(dir_.file("p.toml")).pending_hard_flush_threshold.has_value());
    EXPECT_EQ(Config::load(dir_.file("none.toml")).pending_hard_flush_threshold, 3000u);
}

TEST_F(ConfigFileTest, AnyBadValueDiscardsTheWholeFile) {
    const MirotTuning defaults;
    for (const char* text : {
             "[mirot]\npending_hard_flush_threshold = 100\n",  // below the soft threshold
             "[mirot]\nsearch_beam_width = 4\nindex_compact_fragment_max = \"8\"\n",
             "[mirot]\nsearch_beam_width = -1\n",
             "[mirot]\nsearch_beam_width = 4.0\n",
             "[mirot]\nsearch_beam_width = 4\nsearch_beam_width = 5\n",
             "[mirot]\nsearch_beam_width = 1979-05-27\n",
             "[mirot]\nsearch_beam_width = 4\nindex_compact_fragment_max = 2\n",
             "mirot = 3\n",
             "mirot = \"x\"\n",
             "mirot = [1, 2]\n",
             "[mirot\nsearch_beam_width = 4\n",
             "[mirot]\nsearch_beam_width = 99999999999999999999\n",
             "[mirot]\nsearch_beam_width = 4 # \xff\n",
         }) {
        EXPECT_EQ(load_text(text), defaults) << text;
    }
}

TEST_F(ConfigFileTest, InstallingAgainReplacesTheTuningForEveryone) {
    std::string path = dir_.file("live.toml");
    mirot_test::write_bytes(path, "[mirot]\nsearch_beam_width = 3\n");
    qelbo::set_config_path_override(path);
    qelbo::install_mirot_tuning_from_config();
    EXPECT_EQ(mirot::current_tuning().search_beam_width, 3u);
    // Editing the file changes nothing until the next installation.
    mirot_test::write_bytes(path, "[mirot]\nsearch_beam_width = 8\n");
    EXPECT_EQ(mirot::current_tuning().search_beam_width, 3u);
    qelbo::install_mirot_tuning_from_config();
    EXPECT_EQ(mirot::current_tuning().search_beam_width, 8u);
}
