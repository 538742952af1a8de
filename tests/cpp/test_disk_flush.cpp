// The disk handle's background flush, the surrogate's disk paths, destruction, and
// several threads on one store.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "disk_test_util.h"
#include "mirot/io_fault.h"
#include "qelbo/fit/qel_surrogate.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/stored_rows.h"

using namespace qelbo;
using namespace qelbo::testing;
using mirot_test::TempDir;

namespace {

void set_thresholds(const Vantorix& m, std::uint64_t soft, std::uint64_t hard) {
    handle(m).write()->inner.set_flush_thresholds(soft, hard);
}
std::uint64_t pending(const Vantorix& m) { return handle(m).read()->inner.pending_rows(); }
std::uint64_t indexed(const Vantorix& m) { return handle(m).read()->inner.index().indexed_rows; }

// The store's own view of rows kept alive by the caller.
mirot::BlockView to_mirot_view(const Array2& a) { return mirot::BlockView{a.data.data(), a.rows, a.cols, static_cast<std::ptrdiff_t>(a.cols), 1}; }

Array2 ramp(std::size_t n, std::size_t d, double start = 0) {
    Array2 a(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) a(i, j) = start + static_cast<double>(i) + 0.25 * static_cast<double>(j);
    return a;
}

}  // namespace

TEST(DiskFlush, BackgroundSyncStartsAtTheSoftThresholdAndRunsOneAtATime) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(4, 2), ramp(4, 1));
    set_thresholds(m, 5, 100);
    handle(m).schedule_background_flush();
    EXPECT_FALSE(handle(m).has_job());
    m.add(ramp(1, 2, 10), ramp(1, 1), std::nullopt);
    handle(m).schedule_background_flush();
    EXPECT_TRUE(handle(m).has_job());
    handle(m).schedule_background_flush();  // a job sits in the slot: nothing more starts
    handle(m).wait_for_flush();
    EXPECT_FALSE(handle(m).has_job());
    EXPECT_EQ(pending(m), 0u);
    EXPECT_EQ(indexed(m), 5u);
}

TEST(DiskFlush, HardThresholdSyncsInTheCallersThread) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(3, 2), ramp(3, 1));
    set_thresholds(m, 5, 5);
    m.add(ramp(2, 2, 10), ramp(2, 1), std::nullopt);  // the append itself reaches the hard threshold
    EXPECT_EQ(pending(m), 0u);
    EXPECT_EQ(indexed(m), 5u);
    set_thresholds(m, 1000, 1000);
    m.add(ramp(4, 2, 20), ramp(4, 1), std::nullopt);
    set_thresholds(m, 2, 4);
    handle(m).schedule_background_flush();
    EXPECT_FALSE(handle(m).has_job());
    EXPECT_EQ(pending(m), 0u);
    EXPECT_EQ(indexed(m), 9u);
}

TEST(DiskFlush, BackgroundFailureIsReportedTwiceThenClears) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(4, 2), ramp(4, 1));
    set_thresholds(m, 1, 1000);
    // The sync records the indexed row count last; its rename fails.
    mirot::inject_io_fault(mirot::IoFault::Rename, EIO);
    handle(m).schedule_background_flush();
    ASSERT_TRUE(handle(m).has_job());
    const std::string text = "Invalid parameter: Input/output error (os error 5)";
    EXPECT_EQ(error_text([&] { handle(m).wait_for_flush(); }), text);
    mirot::clear_io_faults();
    EXPECT_EQ(error_text([&] { handle(m).schedule_background_flush(); }), text);
    EXPECT_EQ(error_text([&] { handle(m).schedule_background_flush(); }), text);
    EXPECT_EQ(error_text([&] { handle(m).wait_for_flush(); }), text);
    EXPECT_EQ(error_text([&] { handle(m).wait_for_flush(); }), "<no error>");
    // The old index stayed; the next flush catches up.
    EXPECT_EQ(indexed(m), 0u);
    handle(m).schedule_background_flush();
    handle(m).wait_for_flush();
    EXPECT_EQ(indexed(m), 4u);
}

TEST(DiskFlush, FailedCatchUpOfAnAppendIsTheNextWaitsErrorAndTheRowsStay) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(4, 2), ramp(4, 1));
    set_thresholds(m, 5, 5);
    mirot::inject_io_fault(mirot::IoFault::Rename, EIO);
    m.add(ramp(2, 2, 10), ramp(2, 1), std::nullopt);
    mirot::clear_io_faults();
    EXPECT_EQ(m.num_obs(), 6u);
    EXPECT_EQ(error_text([&] { handle(m).wait_for_flush(); }),
              "Invalid parameter: Input/output error (os error 5)");
    m.ensure_index_sync();
    EXPECT_EQ(indexed(m), 6u);
}

TEST(DiskFlush, BuildFromBeforeAResetIsNotInstalled) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(20, 2), ramp(20, 1));
    auto w = handle(m).write();
    std::optional<mirot::MirotBackend::BuiltIndex> built = w->inner.soft_sync_build();
    ASSERT_TRUE(built.has_value());
    w->inner.reset_index();
    w->inner.soft_sync_publish(std::move(*built));
    EXPECT_EQ(w->inner.index().indexed_rows, 0u);
    EXPECT_EQ(w->inner.pending_rows(), 20u);
    built = w->inner.soft_sync_build();
    w->inner.soft_sync_publish(std::move(*built));
    EXPECT_EQ(w->inner.index().indexed_rows, 20u);
    EXPECT_EQ(w->inner.pending_rows(), 0u);
}

TEST(DiskFlush, BuildOvertakenByASyncIsDroppedAndRowsAddedMeanwhileStayPending) {
    TempDir dir;
    Vantorix m = disk_model(dir.path(), ramp(20, 2), ramp(20, 1));
    auto w = handle(m).write();
    std::optional<mirot::MirotBackend::BuiltIndex> built = w->inner.soft_sync_build();
    w->inner.append(to_mirot_view(ramp(3, 2, 50)), to_mirot_view(ramp(3, 1)), std::nullopt);
    w->inner.ensure_index_sync();
    w->inner.soft_sync_publish(std::move(*built));  // would put 20 indexed rows back over 23
    EXPECT_EQ(w->inner.index().indexed_rows, 23u);
    EXPECT_EQ(w->inner.pending_rows(), 0u);

    built = w->inner.soft_sync_build();
    w->inner.append(to_mirot_view(ramp(4, 2, 60)), to_mirot_view(ramp(4, 1)), std::nullopt);
    w->inner.soft_sync_publish(std::move(*built));
    EXPECT_EQ(w->inner.index().indexed_rows, 23u);
    EXPECT_EQ(w->inner.pending_rows(), 4u);
    // Two more rows: the next small sync covers six rows, and its leaf centroid is
    // theirs, not that of the two whose running sums the installed copy kept.
    w->inner.append(to_mirot_view(ramp(2, 2, 70)), to_mirot_view(ramp(2, 1)), std::nullopt);
    w->inner.ensure_index_sync();
    const mirot::MirotIndex& last = w->inner.index().fragments.back();
    ASSERT_EQ(last.header.indexed_rows, 6u);
    const std::vector<float>& c = *last.pages.front().leaf()->centroid;
    EXPECT_FLOAT_EQ(c[0], (60 + 61 + 62 + 63 + 70 + 71) / 6.0f);
}

TEST(DiskFlush, FailedPersistAtDestructionIsPrintedNotRaised) {
    TempDir dir;
    std::string metadata;
    ::testing::internal::CaptureStderr();
    {
        Vantorix m = disk_model(dir.path(), ramp(8, 2), ramp(8, 1));
        metadata = mirot_test::read_bytes(dir.file("metadata.json"));
        // The rows are made durable before anything that counts them: that fails first.
        mirot::inject_io_fault(mirot::IoFault::Fsync, EIO);
    }
    mirot::clear_io_faults();
    EXPECT_EQ(mirot_test::read_bytes(dir.file("metadata.json")), metadata);
    EXPECT_FALSE(std::filesystem::exists(dir.file("index/header.json")));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "qelbo: persist_index_to_disk on drop failed: Invalid parameter: Input/output error (os error 5)\n");
    EXPECT_EQ(reopen(dir.path()).num_obs(), 8u);
}

TEST(DiskSurrogate, LargeFirstBatchIsStoredWithoutFitAndDefaultsServeUntilTheNext) {
    TempDir dir;
    SurrogateConfig c;
    c.k = 4;
    c.num_fit_candidates = 4;
    c.num_fit_samples = 20;
    c.index_driver = IndexDriver::MiRotDisk;
    c.qel_storage = StorageMode::Disk;
    c.work_dir = dir.path();
    QELSurrogate s(c);
    std::mt19937_64 g(2);
    StdRng rng = StdRng::seed_from_u64(1);
    s.fit_append(gaussian(g, 5000, 2), gaussian(g, 5000, 1), std::nullopt, rng);
    EXPECT_FALSE(s.params().has_value());
    const Array2 q = gaussian(g, 3, 2);
    EXPECT_EQ(s.predict(q).mu.rows, 3u);
    EXPECT_EQ(s.sample(q, 2, rng).d0, 2u);  // draws with the default record, as predictions
    s.fit_append(gaussian(g, 1, 2), gaussian(g, 1, 1), std::nullopt, rng);
    ASSERT_TRUE(s.params().has_value());
    const QELParams fitted = *s.params();
    s.fit_append(gaussian(g, 10, 2), gaussian(g, 10, 1), std::nullopt, rng);
    EXPECT_EQ(s.params()->epistemic_variance_scale, fitted.epistemic_variance_scale);
    EXPECT_EQ(indexed(*s.model()), 5001u);  // ten rows wait for the backend's own flush
    s.fit_append(gaussian(g, 5000, 2), gaussian(g, 5000, 1), std::nullopt, rng);
    EXPECT_EQ(s.params()->epistemic_variance_scale, fitted.epistemic_variance_scale);
    EXPECT_EQ(indexed(*s.model()), 10011u);
    s.schedule_background_flush();
    s.wait_for_background_flush();
    s.release_observation_pages();
}

TEST(DiskSurrogate, SmallFirstBatchSyncsAndFits) {
    TempDir dir;
    SurrogateConfig c;
    c.k = 3;
    c.index_driver = IndexDriver::MiRotDisk;
    c.qel_storage = StorageMode::Disk;
    c.work_dir = dir.path();
    QELSurrogate s(c);
    std::mt19937_64 g(3);
    StdRng rng = StdRng::seed_from_u64(2);
    s.fit_append(gaussian(g, 4095, 2), gaussian(g, 4095, 1), std::nullopt, rng);
    EXPECT_TRUE(s.params().has_value());
    EXPECT_EQ(indexed(*s.model()), 4095u);
}

// Joins its threads however the test leaves its scope, so that a failure in the test's
// own thread is reported instead of ending the process.
class Workers {
public:
    explicit Workers(std::atomic<bool>& stop) : stop_(stop) {}
    ~Workers() { join(); }
    template <class Fn>
    void start(Fn body) {
        threads_.emplace_back([this, body] {
            try {
                body();
            } catch (const std::exception& e) {
                ++failures_;
                ADD_FAILURE() << e.what();
            }
        });
    }
    void join() {
        stop_ = true;
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }
    int failures() const { return failures_.load(); }

private:
    std::atomic<bool>& stop_;
    std::atomic<int> failures_{0};
    std::vector<std::thread> threads_;
};

// Searches, row reads, appends, background flushes and persists on one store at once.
// The ThreadSanitizer build runs this group.
class DiskConcurrency : public ::testing::TestWithParam<std::size_t> {};

// Both search paths: the exact scan of a small store and the page index of a large one.
INSTANTIATE_TEST_SUITE_P(StoreSizes, DiskConcurrency, ::testing::Values(200, 4200));

TEST_P(DiskConcurrency, ReadersWritersAndFlushesShareOneStore) {
    TempDir dir;
    std::mt19937_64 g(11);
    Vantorix m = disk_model(dir.path(), gaussian(g, GetParam(), 4), gaussian(g, GetParam(), 1));
    set_thresholds(m, 30, 400);
    const DiskBackendHandle& h = handle(m);
    const Array2 q = gaussian(g, 16, 4);
    std::atomic<bool> stop{false};
    Workers workers(stop);
    for (int r = 0; r < 3; ++r) {
        workers.start([&, r] {
            while (!stop.load()) {
                const SearchResult res = h.search(q, 5 + r, r == 1);
                EXPECT_EQ(res.indices.rows, q.rows);
                // The neighbours' rows through one view, read on the pool while the files grow and remap.
                Array2 d2, y;
                read_neighbor_rows(StoredRows(m.backend()), q, res.indices, nullptr, {.dist2 = &d2, .y = &y});
                EXPECT_EQ(y(0, 0), h.row_y(static_cast<std::size_t>(res.indices(0, 0)))[0]);
                const std::size_t n = h.read()->inner.num_obs();
                h.row_x(n - 1);
                h.row_y(n / 2);
                h.train_rows_at(std::vector<std::size_t>{0, n - 1});
            }
        });
    }
    workers.start([&] {
        while (!stop.load()) {
            h.persist_index_to_disk();
            h.release_observation_pages();
            std::this_thread::yield();
        }
    });
    std::mt19937_64 wg(12);
    for (int i = 0; i < 40; ++i) {
        const Array2 x = gaussian(wg, 1 + i % 17, 4), y = gaussian(wg, x.rows, 1);
        h.append(x, y, std::nullopt);
        h.schedule_background_flush();
        if (i % 20 == 19) h.ensure_index_sync(false, std::vector<double>(4, 1.0));
    }
    workers.join();
    EXPECT_EQ(workers.failures(), 0);
    h.wait_for_flush();
    h.persist_index_to_disk();
    EXPECT_EQ(h.read()->inner.index().indexed_rows, h.read()->inner.num_obs());
}

// A waiter joins a job outside the job slot, so a scheduler may start the next job
// while the last still runs; the two must not build at once.
TEST(DiskConcurrency, SchedulersAndWaitersNeverRunTwoBuildsAtOnce) {
    TempDir dir;
    std::mt19937_64 g(13);
    Vantorix m = disk_model(dir.path(), gaussian(g, 50, 3), gaussian(g, 50, 1));
    set_thresholds(m, 1, 1u << 30);
    const DiskBackendHandle& h = handle(m);
    std::atomic<bool> stop{false};
    Workers workers(stop);
    for (int t = 0; t < 4; ++t) {
        workers.start([&, t] {
            while (!stop.load()) {
                if (t % 2 == 0) {
                    h.schedule_background_flush();
                } else {
                    h.wait_for_flush();
                }
            }
        });
    }
    std::mt19937_64 wg(14);
    for (int i = 0; i < 300; ++i) h.append(gaussian(wg, 1 + i % 5, 3), gaussian(wg, 1 + i % 5, 1), std::nullopt);
    workers.join();
    EXPECT_EQ(workers.failures(), 0);
    h.wait_for_flush();
    h.ensure_index_sync(false, std::vector<double>(3, 1.0));
    EXPECT_EQ(h.read()->inner.index().indexed_rows, h.read()->inner.num_obs());
}
