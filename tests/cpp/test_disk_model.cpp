// Disk-backed models: agreement with the in-memory model, reopening, and the store's
// guarantees (one live model per directory, widths kept, failed appends undone).
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "disk_test_util.h"
#include "mirot/io_fault.h"
#include "qelbo/fit/conditional.h"
#include "qelbo/fit/draw.h"
#include "qelbo/fit/fitter.h"
#include "qelbo/model/batch_posterior.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/posterior.h"

using namespace qelbo;
using namespace qelbo::testing;
using mirot_test::TempDir;

namespace {

Array2 rows_of(const Array2& a, std::size_t begin, std::size_t end) {
    Array2 out(end - begin, a.cols);
    std::copy(a.row(begin), a.row(begin) + (end - begin) * a.cols, out.data.begin());
    return out;
}

void expect_same(const NdArray& a, const NdArray& b, const char* what) {
    EXPECT_EQ(a.shape, b.shape) << what;
    EXPECT_EQ(a.data, b.data) << what;
}

void expect_same(const QELNormal& a, const QELNormal& b) {
    expect_same(a.mean, b.mean, "mean");
    expect_same(a.total_std, b.total_std, "total_std");
    expect_same(a.epistemic_std, b.epistemic_std, "epistemic_std");
    expect_same(a.aleatoric_std, b.aleatoric_std, "aleatoric_std");
    ASSERT_EQ(a.neighbor_indices.has_value(), b.neighbor_indices.has_value());
    if (a.neighbor_indices) {
        EXPECT_EQ(a.neighbor_indices->data, b.neighbor_indices->data);
    }
}

// Every query the model answers, compared between a memory model and a disk model that
// hold the same rows.
void expect_models_agree(const Vantorix& mem, const Vantorix& disk, const Array2& queries, std::uint64_t seed) {
    ASSERT_EQ(mem.num_obs(), disk.num_obs());
    EXPECT_EQ(mem.y_scale(), disk.y_scale());
    for (std::int64_t k : {1, 3, 8}) {
        for (bool exclude : {false, true}) {
            if (exclude && mem.num_obs() < 2) continue;
            const SearchResult a = index_search(mem, queries, k, exclude, true);
            const SearchResult b = index_search(disk, queries, k, exclude, true);
            const std::size_t w = std::min(a.indices.cols, b.indices.cols);
            EXPECT_EQ(a.indices.first_cols(w).data, b.indices.first_cols(w).data) << "k " << k;
            EXPECT_EQ(a.distances.first_cols(w).data, b.distances.first_cols(w).data) << "k " << k;
        }
    }
    const QELParams p = QELParams::make(3, 0.7, 0.2);
    for (bool noise : {false, true}) {
        for (bool exclude : {false, true}) {
            if (exclude && mem.num_obs() < 2) continue;
            const PosteriorFlags flags{exclude, noise, true};
            expect_same(posterior(mem, queries, p, flags), posterior(disk, queries, p, flags));
        }
    }
    const std::vector<QELParams> ps = {p, QELParams::make(1, 2.0, 0.0), QELParams::make(5, 0.1, 1.0)};
    expect_same(batch_posterior(mem, queries, ps, PosteriorFlags{}), batch_posterior(disk, queries, ps, PosteriorFlags{}));
    const std::vector<std::int64_t> seeds = {1, 2, 99};
    EXPECT_EQ(posterior_function_draw(mem, queries, p, seeds, PosteriorFlags{}).draws.data,
              posterior_function_draw(disk, queries, p, seeds, PosteriorFlags{}).draws.data);
    const Array2 wx = mat(2, queries.cols, std::vector<double>(2 * queries.cols, 1.0));
    const Array2 wy = mat(2, mem.num_metrics(), std::vector<double>(2 * mem.num_metrics(), 0.5));
    const DrawInternals ca = compute_conditional_posterior_internals(mem, queries, wx, wy, p, PosteriorFlags{});
    const DrawInternals cb = compute_conditional_posterior_internals(disk, queries, wx, wy, p, PosteriorFlags{});
    EXPECT_EQ(ca.neighbor_indices.data, cb.neighbor_indices.data);
    EXPECT_EQ(ca.mean.data, cb.mean.data);
    EXPECT_EQ(ca.total_std.data, cb.total_std.data);

    if (mem.num_obs() >= 2) {
        QELFitter fa(4, true), fb(4, true);
        const TrainRows ra = mem.backend().train_rows_at(std::vector<std::size_t>{0, mem.num_obs() - 1});
        fa.tell(ra.x, ra.y, std::nullopt);
        fb.tell(ra.x, ra.y, std::nullopt);
        StdRng ga = StdRng::seed_from_u64(seed), gb = StdRng::seed_from_u64(seed);
        const QELParams qa = fa.ask(mem, 6, 40, std::nullopt, ga);
        const QELParams qb = fb.ask(disk, 6, 40, std::nullopt, gb);
        EXPECT_EQ(qa.k_num_neighbors, qb.k_num_neighbors);
        EXPECT_EQ(qa.epistemic_variance_scale, qb.epistemic_variance_scale);
        EXPECT_EQ(qa.aleatoric_variance_scale, qb.aleatoric_variance_scale);
    }
}

}  // namespace

TEST(DiskModel, AgreesWithMemoryModelOnIntegerGridUpToTheExactScanLimit) {
    for (std::size_t n : {1u, 2u, 57u, 700u, 4096u}) {
        std::mt19937_64 g(n);
        const Array2 x = integer_grid(g, n, 3, 6);
        const Array2 y = integer_grid(g, n, 2, 10);
        Array2 q = integer_grid(g, 12, 3, 7);
        q(0, 0) = 0.5;
        const Vantorix mem = memory_model(x, y);
        TempDir dir;
        // Built in pieces, so construction, appends and the background flush all take part.
        const std::size_t first = n / 3;
        Vantorix disk = disk_model(dir.path(), rows_of(x, 0, first), rows_of(y, 0, first));
        std::size_t at = first;
        for (std::size_t step = 1; at < n; step *= 3) {
            const std::size_t end = std::min(n, at + step);
            disk.add(rows_of(x, at, end), rows_of(y, at, end), std::nullopt);
            handle(disk).schedule_background_flush();
            at = end;
        }
        SCOPED_TRACE("n " + std::to_string(n));
        expect_models_agree(mem, disk, q, n);
    }
}

TEST(DiskModel, StoredVariancesReachEveryPosteriorAsInMemory) {
    // The neighbours' variances are read with their rows, in several pool tasks of queries,
    // from rows indexed at a sync and rows added after it.
    std::mt19937_64 g(9);
    const std::size_t n = 600;
    const Array2 x = integer_grid(g, n, 3, 6), y = gaussian(g, n, 2), yvar = integer_grid(g, n, 2, 3);
    const Array2 q = integer_grid(g, 300, 3, 7);
    TempDir dir;
    Vantorix disk = disk_model(dir.path(), rows_of(x, 0, 400), rows_of(y, 0, 400), rows_of(yvar, 0, 400));
    disk.ensure_index_sync();
    disk.add(rows_of(x, 400, n), rows_of(y, 400, n), rows_of(yvar, 400, n));
    expect_models_agree(memory_model(x, y, yvar), disk, q, n);
}

TEST(DiskModel, RandomDataNeighbourSetsAgreeWithExactSearchUpToTheScanLimit) {
    std::mt19937_64 g(5);
    const Array2 x = gaussian(g, 4096, 16), y = gaussian(g, 4096, 1), q = gaussian(g, 1000, 16);
    const Vantorix mem = memory_model(x, y);
    TempDir dir;
    const Vantorix disk = disk_model(dir.path(), x, y);
    const SearchResult a = index_search(mem, q, 10, false, false);
    const SearchResult b = index_search(disk, q, 10, false, false);
    std::size_t same = 0;
    for (std::size_t i = 0; i < q.rows; ++i) {
        std::vector<std::int64_t> ra(a.indices.row(i), a.indices.row(i) + 10), rb(b.indices.row(i), b.indices.row(i) + 10);
        std::sort(ra.begin(), ra.end());
        std::sort(rb.begin(), rb.end());
        same += ra == rb;
    }
    EXPECT_GE(same, 999u);
}

TEST(DiskModel, PageIndexAnswersAreDistinctStoredRowsNearestFirst) {
    std::mt19937_64 g(6);
    const std::size_t n = 6000;
    const Array2 x = gaussian(g, n, 8), y = gaussian(g, n, 1);
    TempDir dir;
    Vantorix disk = disk_model(dir.path(), rows_of(x, 0, 5000), rows_of(y, 0, 5000));
    disk.add(rows_of(x, 5000, n), rows_of(y, 5000, n), std::nullopt);
    const Array2 q = gaussian(g, 40, 8);
    for (bool exclude : {false, true}) {
        const SearchResult r = index_search(disk, q, 7, exclude, false);
        for (std::size_t i = 0; i < q.rows; ++i) {
            std::vector<std::int64_t> ids(r.indices.row(i), r.indices.row(i) + r.indices.cols);
            EXPECT_TRUE(std::is_sorted(r.distances.row(i), r.distances.row(i) + r.distances.cols));
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
            EXPECT_GE(ids.front(), 0);
            EXPECT_LT(ids.back(), static_cast<std::int64_t>(n));
        }
    }
}

TEST(DiskModel, ReopenGivesTheSameRowsVariancesAndSearches) {
    TempDir dir;
    std::mt19937_64 g(3);
    const Array2 x = integer_grid(g, 300, 4, 9), y = gaussian(g, 300, 2), yvar = integer_grid(g, 300, 2, 3);
    const Array2 q = integer_grid(g, 20, 4, 9);
    SearchResult before;
    {
        Vantorix m = disk_model(dir.path(), rows_of(x, 0, 100), rows_of(y, 0, 100), rows_of(yvar, 0, 100));
        m.add(rows_of(x, 100, 300), rows_of(y, 100, 300), rows_of(yvar, 100, 300));
        before = index_search(m, q, 6, true, false);
    }
    const Vantorix r = reopen(dir.path());
    ASSERT_EQ(r.num_obs(), 300u);
    EXPECT_EQ(r.num_dim(), 4u);
    EXPECT_EQ(r.num_metrics(), 2u);
    std::vector<std::size_t> all(300);
    std::iota(all.begin(), all.end(), std::size_t{0});
    const TrainRows rows = r.backend().train_rows_at(all);
    EXPECT_EQ(std::memcmp(rows.x.data.data(), x.data.data(), x.data.size() * 8), 0);
    EXPECT_EQ(std::memcmp(rows.y.data.data(), y.data.data(), y.data.size() * 8), 0);
    ASSERT_TRUE(rows.yvar.has_value());
    EXPECT_EQ(rows.yvar->data, yvar.data);
    const SearchResult after = index_search(r, q, 6, true, false);
    EXPECT_EQ(before.indices.data, after.indices.data);
    EXPECT_EQ(before.distances.data, after.distances.data);
    EXPECT_EQ(r.y_scale(), memory_model(x, y).y_scale());
}

TEST(DiskModel, PersistingTwiceWithoutChangeWritesNothing) {
    TempDir dir;
    std::mt19937_64 g(4);
    Vantorix m = disk_model(dir.path(), gaussian(g, 3000, 3), gaussian(g, 3000, 1));
    for (int i = 0; i < 5; ++i) {
        m.add(gaussian(g, 500, 3), gaussian(g, 500, 1), std::nullopt);
        handle(m).schedule_background_flush();
        handle(m).wait_for_flush();
    }
    handle(m).persist_index_to_disk();
    struct stat before[3], after[3];
    const char* names[] = {"index/pages.bin", "index/skip_edges.bin", "index/header.json"};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::stat(dir.file(names[i]).c_str(), &before[i]), 0);
    handle(m).persist_index_to_disk();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(::stat(dir.file(names[i]).c_str(), &after[i]), 0);
        EXPECT_EQ(before[i].st_ino, after[i].st_ino) << names[i];
        EXPECT_EQ(before[i].st_mtim.tv_nsec, after[i].st_mtim.tv_nsec) << names[i];
    }
}

TEST(DiskModel, SecondLiveModelOnOneDirectoryIsRefusedUntilTheFirstIsGone) {
    TempDir dir;
    const Array2 x = mat(2, 1, {0, 1}), y = mat(2, 1, {0, 1});
    {
        Vantorix first = disk_model(dir.path(), x, y);
        const std::string text = error_text([&] { reopen(dir.path()); });
        EXPECT_NE(text.find(dir.path()), std::string::npos) << text;
        EXPECT_NE(text.find("already open"), std::string::npos) << text;
    }
    EXPECT_EQ(reopen(dir.path()).num_obs(), 2u);
}

TEST(DiskModel, RowsOfOtherWidthsAreRefusedBeforeAnyFileIsWritten) {
    TempDir dir;
    { disk_model(dir.path(), mat(2, 2, {0, 1, 2, 3}), mat(2, 1, {0, 1})); }
    const std::string before = mirot_test::read_bytes(dir.file("metadata.json"));
    const auto x_size = mirot_test::file_size(dir.file("train_x.bin"));
    EXPECT_NE(error_text([&] { disk_model(dir.path(), mat(1, 3, {0, 1, 2}), mat(1, 1, {0})); }).find("num_dim 2"),
              std::string::npos);
    EXPECT_NE(error_text([&] { disk_model(dir.path(), mat(1, 2, {0, 1}), mat(1, 2, {0, 1})); }).find("num_metrics 1"),
              std::string::npos);
    EXPECT_EQ(mirot_test::read_bytes(dir.file("metadata.json")), before);
    EXPECT_EQ(mirot_test::file_size(dir.file("train_x.bin")), x_size);
    EXPECT_EQ(reopen(dir.path()).num_obs(), 2u);
}

TEST(DiskModel, UnsoundPersistedIndexIsRebuiltFromTheRows) {
    std::mt19937_64 g(8);
    const Array2 x = gaussian(g, 5000, 3), y = gaussian(g, 5000, 1), q = gaussian(g, 30, 3);
    TempDir ref_dir;
    SearchResult expected;
    {
        Vantorix ref = disk_model(ref_dir.path(), x, y);
        ref.ensure_index_sync();
        expected = index_search(ref, q, 4, false, false);
    }
    auto damaged = [&](const std::function<void(const TempDir&)>& damage) {
        TempDir dir;
        { disk_model(dir.path(), x, y).ensure_index_sync(); }
        damage(dir);
        const Vantorix r = reopen(dir.path());
        EXPECT_EQ(index_search(r, q, 4, false, false).indices.data, expected.indices.data);
    };
    // Header claiming more rows than are stored.
    damaged([](const TempDir& d) {
        std::string h = mirot_test::read_bytes(d.file("index/header.json"));
        h.replace(h.find("\"indexed_rows\": 5000"), 20, "\"indexed_rows\": 9000");
        mirot_test::write_bytes(d.file("index/header.json"), h);
        mirot_test::write_bytes(d.file("indexed_rows.bin"), std::string("\x28\x23\0\0\0\0\0\0", 8));
    });
    // Pages cut short.
    damaged([](const TempDir& d) {
        std::string p = mirot_test::read_bytes(d.file("index/pages.bin"));
        mirot_test::write_bytes(d.file("index/pages.bin"), p.substr(0, p.size() / 2));
    });
    // A page record whose row ids point past the store.
    damaged([](const TempDir& d) {
        std::string h = mirot_test::read_bytes(d.file("index/header.json"));
        h.replace(h.find("\"indexed_rows\": 5000"), 20, "\"indexed_rows\": 4000");
        mirot_test::write_bytes(d.file("index/header.json"), h);
    });
}

TEST(DiskModel, FailedAppendLeavesEveryFileAndTheCountAsTheyWere) {
    TempDir dir;
    std::mt19937_64 g(9);
    Vantorix m = disk_model(dir.path(), gaussian(g, 64, 2), gaussian(g, 64, 1), integer_grid(g, 64, 1, 3));
    const std::string num_obs = mirot_test::read_bytes(dir.file("num_obs.bin"));
    const auto sizes = [&] {
        return std::vector<std::uintmax_t>{mirot_test::file_size(dir.file("train_x.bin")),
                                           mirot_test::file_size(dir.file("train_y.bin")),
                                           mirot_test::file_size(dir.file("train_yvar.bin"))};
    };
    const std::vector<double> y_scale = m.y_scale();
    // The y file cannot grow, then (x and y having room by then) the variance file: as if
    // the disk were full.
    for (unsigned skip : {1u, 0u}) {
        mirot::inject_io_fault(mirot::IoFault::Allocate, ENOSPC, skip);
        const std::string text =
            error_text([&] { m.add(gaussian(g, 10, 2), gaussian(g, 10, 1), integer_grid(g, 10, 1, 3)); });
        mirot::clear_io_faults();
        EXPECT_NE(text.find("No space left on device"), std::string::npos) << text;
        EXPECT_EQ(m.num_obs(), 64u);
        EXPECT_EQ(m.y_scale(), y_scale);
        EXPECT_EQ(mirot_test::read_bytes(dir.file("num_obs.bin")), num_obs);
        EXPECT_EQ(handle(m).read()->inner.num_obs(), 64u);
    }
    // The store works on afterwards.
    m.add(gaussian(g, 10, 2), gaussian(g, 10, 1), integer_grid(g, 10, 1, 3));
    EXPECT_EQ(m.num_obs(), 74u);
    EXPECT_GE(sizes()[2], 74u * 8);
}

TEST(DiskModel, RelativeWorkDirIsFixedAtConstruction) {
    TempDir base;
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(base.path().c_str()), 0);
    std::filesystem::create_directory(base.file("elsewhere"));
    {
        Vantorix m = disk_model("wd", mat(1, 1, {0}), mat(1, 1, {0}));
        ASSERT_EQ(::chdir("elsewhere"), 0);
        m.add(mat(1, 1, {1}), mat(1, 1, {1}), std::nullopt);
    }
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_TRUE(std::filesystem::exists(base.file("wd/metadata.json")));
    EXPECT_FALSE(std::filesystem::exists(base.file("elsewhere/wd")));
    EXPECT_EQ(reopen(base.file("wd")).num_obs(), 2u);
}

TEST(DiskModel, WorkDirThroughASymlinkAndDotDotIsTheDirectoryTheSystemNames) {
    // "link/.." is the parent of the link's target, not the directory holding the link.
    TempDir base;
    std::filesystem::create_directories(base.file("real/sub"));
    std::filesystem::create_directory_symlink(base.file("real/sub"), base.file("link"));
    { disk_model(base.file("link/../wd"), mat(1, 1, {0}), mat(1, 1, {0})); }
    EXPECT_TRUE(std::filesystem::exists(base.file("real/wd/metadata.json")));
    EXPECT_FALSE(std::filesystem::exists(base.file("wd")));
}

TEST(DiskModel, VariancesBelongOnlyToTheRowsTheyWereStoredWith) {
    // Rows stored without variances, then a construction bringing rows and variances:
    // refused, and the given ones (variances included) are not written.
    TempDir dir;
    { disk_model(dir.path(), mat(3, 1, {0, 1, 2}), mat(3, 1, {0, 1, 2})); }
    EXPECT_NE(error_text([&] { disk_model(dir.path(), mat(2, 1, {5, 6}), mat(2, 1, {5, 6}), mat(2, 1, {1, 1})); })
                  .find("already holds 3 rows"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("train_yvar.bin")));
    EXPECT_EQ(reopen(dir.path()).num_obs(), 3u);

    // A first add with variances that fails leaves no variance file behind, so rows added
    // later without variances are never paired with stale ones.
    TempDir empty;
    Vantorix m = disk_model(empty.path(), Array2(0, 1), Array2(0, 1));
    mirot::inject_io_fault(mirot::IoFault::Allocate, ENOSPC, 2);
    EXPECT_NE(error_text([&] { m.add(mat(100, 1, std::vector<double>(100, 1.0)), mat(100, 1, std::vector<double>(100, 1.0)),
                                     mat(100, 1, std::vector<double>(100, 0.5))); }),
              "<no error>");
    mirot::clear_io_faults();
    EXPECT_FALSE(std::filesystem::exists(empty.file("train_yvar.bin")));
    m.add(mat(2, 1, {1, 2}), mat(2, 1, {1, 2}), std::nullopt);
    EXPECT_FALSE(m.backend().stores_yvar());
}

TEST(DiskModel, ReopenRefusesRecordedWidthsBeyondTheColumnLimitBeforeSizingAnything) {
    TempDir dir;
    std::mt19937_64 g(5);
    { Vantorix m = disk_model(dir.path(), integer_grid(g, 10, 2, 9), gaussian(g, 10, 1)); }
    std::string meta = mirot_test::read_bytes(dir.file("metadata.json"));
    const std::size_t at = meta.find("\"num_dim\":2");
    ASSERT_NE(at, std::string::npos);
    meta.replace(at, 11, "\"num_dim\":1099511627776");
    {
        std::ofstream out(dir.file("metadata.json"), std::ios::binary | std::ios::trunc);
        out << meta;
    }
    try {
        reopen(dir.path());
        FAIL() << "reopen accepted num_dim 2^40";
    } catch (const QELError& e) {
        EXPECT_STREQ(e.what(), "Invalid parameter: num_dim 1099511627776 exceeds maximum 100000");
    }
}
