#include <gtest/gtest.h>

#include <faiss/IndexFlat.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>

#include "model_test_util.h"
#include "qelbo/model/faiss_backend.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/knn.h"
#include "qelbo/model/model.h"
#include "qelbo/model/row_storage.h"

using namespace qelbo;
using namespace qelbo::testing;

TEST(RowStorage, AppendsAnyLayoutAndRejectsWrongWidth) {
    RowStorage s = RowStorage::from_array2(mat(2, 2, {1, 2, 3, 4}));
    EXPECT_GE(s.capacity(), (2 + 4096) * 2u);
    // A transposed (column-major) view is read element by element.
    const double colmajor[] = {5, 7, 6, 8};  // rows (5,6) and (7,8)
    s.push_rows(MatView{colmajor, 2, 2, 1, 2});
    EXPECT_EQ(s.row_vec(2), (std::vector<double>{5, 6}));
    EXPECT_EQ(s.row_vec(3), (std::vector<double>{7, 8}));
    s.push_rows(MatView{nullptr, 0, 2, 2, 1});
    EXPECT_EQ(s.nrows(), 4u);
    EXPECT_EQ(error_text([&] { s.push_rows(MatView{nullptr, 0, 3, 3, 1}); }),
              "Invalid shape: expected [4, 2], got [0, 3]");
    const std::size_t order[] = {3, 0, 3};
    Array2 g = s.gather_rows(order);
    EXPECT_EQ(g.data, (std::vector<double>{7, 8, 1, 2, 7, 8}));
}

TEST(RowStorage, GrowthKeepsAtLeast4096RowsOfHeadroom) {
    RowStorage s(3);
    std::vector<double> row(3, 1.0);
    s.push_rows(MatView::row_major(row.data(), 1, 3));
    const std::size_t cap = s.capacity();
    EXPECT_GE(cap, 4097u * 3u);
    for (int i = 0; i < 4000; ++i) s.push_rows(MatView::row_major(row.data(), 1, 3));
    EXPECT_EQ(s.capacity(), cap);
}

TEST(ModelErrors, ConstructorChecksRunInOrderWithExactTexts) {
    unsetenv("QEL_WORK_DIR");
    struct Case {
        std::function<Vantorix()> build;
        std::string text;
    };
    auto build = [](Array2 x, Array2 y, std::optional<Array2> yvar, bool scale_x, IndexDriver drv, StorageMode st,
                    std::optional<std::string> wd = std::nullopt) {
        return [=]() mutable {
            return Vantorix::new_with_storage(std::move(x), std::move(y), std::move(yvar), scale_x, drv, st, wd);
        };
    };
    const Array2 x3 = mat(3, 2, {0, 0, 1, 1, 2, 2});
    const Array2 y3 = mat(3, 1, {0, 1, 2});
    const auto M = StorageMode::Memory, D = StorageMode::Disk;
    const auto E = IndexDriver::Exact, R = IndexDriver::MiRotDisk;
    const std::vector<Case> cases = {
        {build(x3, mat(4, 1, {0, 1, 2, 3}), std::nullopt, true, R, D), "Invalid shape: expected [4, 2], got [3, 2]"},
        {build(x3, y3, mat(3, 2, {0, 0, 0, 0, 0, 0}), true, R, D), "Invalid shape: expected [3, 1], got [3, 2]"},
        {build(x3, y3, std::nullopt, true, R, M), "Invalid parameter: scale_x=True is not compatible with MIROT_DISK"},
        {build(x3, y3, std::nullopt, false, R, M),
         "Invalid parameter: IndexDriver::MiRotDisk is disk-only; use DiskMirotQelBackend"},
        {build(x3, y3, std::nullopt, false, E, D), "Invalid parameter: Disk storage requires IndexDriver::MiRotDisk"},
        {build(x3, y3, std::nullopt, false, R, D), "Invalid parameter: Disk storage requires work_dir or QEL_WORK_DIR"},
        {build(x3, y3, std::nullopt, false, R, D, std::string("/tmp/qel\0wd", 11)),
         "Invalid parameter: work_dir contains a NUL byte"},
        {build(mat(3, 0, {}), y3, std::nullopt, false, E, M), "Invalid parameter: x must have at least one column"},
        {build(x3, y3, mat(3, 1, {0.1, -0.5, 0.2}), false, E, M),
         "Invalid parameter: yvar must contain only finite, non-negative values"},
        {build(x3, y3, mat(3, 1, {0.1, NAN, 0.2}), false, E, M),
         "Invalid parameter: yvar must contain only finite, non-negative values"},
        {build(mat(3, 2, {0, 0, NAN, 1, 2, 2}), y3, std::nullopt, false, E, M),
         "Invalid parameter: x must contain only finite values"},
        {build(mat(3, 2, {0, 0, 1, 1, 2, -INFINITY}), y3, std::nullopt, true, E, M),
         "Invalid parameter: x must contain only finite values"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_text([&] { c.build(); }), c.text);
}

TEST(ModelErrors, RowReadsOutOfRangeNameOperationIndexAndCount) {
    Vantorix m = memory_model(mat(3, 1, {0, 1, 2}), mat(3, 1, {0, 1, 2}));
    const QelBackend& b = m.backend();
    EXPECT_EQ(error_text([&] { b.row_x(3); }), "Invalid parameter: row_x index 3 out of range [0, 3)");
    EXPECT_EQ(error_text([&] { b.row_y(7); }), "Invalid parameter: row_y index 7 out of range [0, 3)");
    EXPECT_FALSE(b.row_yvar(0).has_value());
    const std::size_t bad[] = {0, 7};
    EXPECT_EQ(error_text([&] { b.train_rows_at(bad); }),
              "Invalid parameter: train_rows_at index 7 out of range [0, 3)");
    Vantorix empty = memory_model(mat(0, 1, {}), mat(0, 1, {}));
    EXPECT_EQ(error_text([&] { empty.backend().row_yvar(0); }),
              "Invalid parameter: row_yvar index 0 out of range [0, 0)");
}

TEST(ModelErrors, AddChecksShapesAndVariancePresence) {
    Vantorix m = memory_model(mat(2, 2, {0, 0, 1, 1}), mat(2, 1, {0, 1}));
    std::vector<double> x53(15, 0.0), y51(5, 0.0);
    EXPECT_EQ(error_text([&] { m.add(MatView::row_major(x53.data(), 5, 3), MatView::row_major(y51.data(), 5, 1),
                                     std::nullopt); }),
              "Invalid shape: expected [5, 1], got [5, 3]");
    std::vector<double> x1{2, 2}, y1{2}, v1{0.5};
    EXPECT_EQ(error_text([&] { m.add(MatView::row_major(x1.data(), 1, 2), MatView::row_major(y1.data(), 1, 1),
                                     MatView::row_major(v1.data(), 1, 1)); }),
              "Invalid parameter: yvar provided but model has no existing yvar");

    Vantorix mv = memory_model(mat(2, 2, {0, 0, 1, 1}), mat(2, 1, {0, 1}), mat(2, 1, {0.1, 0.2}));
    // The variance rule applies before the zero-row shortcut.
    EXPECT_EQ(error_text([&] { mv.add(MatView::row_major(nullptr, 0, 2), MatView::row_major(nullptr, 0, 1),
                                      std::nullopt); }),
              "Invalid parameter: yvar must be provided if model has existing yvar");
    std::vector<double> bad{-1.0};
    EXPECT_EQ(error_text([&] { mv.add(MatView::row_major(x1.data(), 1, 2), MatView::row_major(y1.data(), 1, 1),
                                      MatView::row_major(bad.data(), 1, 1)); }),
              "Invalid parameter: yvar must contain only finite, non-negative values");
    EXPECT_EQ(mv.num_obs(), 2u);
    EXPECT_EQ(mv.backend().in_memory()->x().nrows(), 2u);
}

TEST(ModelErrors, NonFiniteCoordinatesAreRefusedBeforeAnythingIsStored) {
    Vantorix m = memory_model(mat(2, 2, {0, 0, 1, 1}), mat(2, 1, {0, 1}), std::nullopt, true);
    const std::vector<double> scale_before = m.x_scale();
    for (double bad : {kNaN, kInf, -kInf}) {
        std::vector<double> x{2, 2, bad, 0.5}, y{2, 100};
        EXPECT_EQ(error_text([&] { m.add(MatView::row_major(x.data(), 2, 2), MatView::row_major(y.data(), 2, 1),
                                         std::nullopt); }),
                  "Invalid parameter: x must contain only finite values");
        EXPECT_EQ(m.num_obs(), 2u);
        EXPECT_EQ(m.backend().in_memory()->x().nrows(), 2u);
        EXPECT_EQ(m.backend().in_memory()->y().nrows(), 2u);
        EXPECT_EQ(m.x_scale(), scale_before);
    }
    // y keeps its own rules: a NaN y is stored.
    std::vector<double> x{2, 2}, y{kNaN};
    m.add(MatView::row_major(x.data(), 1, 2), MatView::row_major(y.data(), 1, 1), std::nullopt);
    EXPECT_EQ(m.num_obs(), 3u);
}

TEST(ModelScales, RunningSumsGivePopulationStdAfterEachAdd) {
    std::mt19937_64 rng(7);
    Array2 x0 = gaussian(rng, 1, 3);
    Array2 y0 = gaussian(rng, 1, 2);
    Array2 all_x = x0, all_y = y0;
    Vantorix m = memory_model(x0, y0, std::nullopt, true);
    EXPECT_EQ(m.y_scale(), (std::vector<double>{1.0, 1.0}));
    EXPECT_EQ(m.x_scale(), (std::vector<double>{1.0, 1.0, 1.0}));
    for (std::size_t batch : {1u, 4u, 0u, 9u}) {
        Array2 xb = gaussian(rng, batch, 3);
        Array2 yb = gaussian(rng, batch, 2);
        m.add(view_of(xb), view_of(yb), std::nullopt);
        all_x.data.insert(all_x.data.end(), xb.data.begin(), xb.data.end());
        all_x.rows += batch;
        all_y.data.insert(all_y.data.end(), yb.data.begin(), yb.data.end());
        all_y.rows += batch;
        auto pop_std = [](const Array2& a, std::size_t j) {
            double s = 0, ss = 0;
            for (std::size_t i = 0; i < a.rows; ++i) {
                s += a(i, j);
                ss += a(i, j) * a(i, j);
            }
            const double mean = s / a.rows;
            return std::sqrt(std::max(ss / a.rows - mean * mean, 0.0));
        };
        for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(m.y_scale()[j], pop_std(all_y, j));
        for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(m.x_scale()[j], pop_std(all_x, j));
    }
    EXPECT_EQ(m.num_obs(), 15u);
}

TEST(ModelScales, DegenerateColumnsFallBackToOne) {
    Vantorix m = memory_model(mat(1, 1, {0}), mat(1, 2, {1, 5}), std::nullopt, true);
    std::vector<double> x{2e-11}, y{3, 5};
    m.add(MatView::row_major(x.data(), 1, 1), MatView::row_major(y.data(), 1, 2), std::nullopt);
    EXPECT_EQ(m.y_scale()[0], 1.0);  // y values 1 and 3: population std, not 1.414...
    EXPECT_EQ(m.y_scale()[1], 1.0);  // constant column
    EXPECT_NEAR(m.x_scale()[0], 1e-11, 1e-20);
    Vantorix tiny = memory_model(mat(2, 1, {0, 2e-13}), mat(2, 1, {0, 1}), std::nullopt, true);
    EXPECT_EQ(tiny.x_scale()[0], 1.0);
    Vantorix unscaled = memory_model(mat(2, 1, {0, 5}), mat(2, 1, {0, 1}));
    unscaled.add(MatView::row_major(x.data(), 1, 1), MatView::row_major(y.data(), 1, 1), std::nullopt);
    EXPECT_EQ(unscaled.x_scale()[0], 1.0);
}

TEST(InMemoryIndex, FollowsAppendedRowsAtTheNextSync) {
    Vantorix m = memory_model(mat(2, 1, {0, 10}), mat(2, 1, {0, 1}));
    std::vector<double> x{4, 5}, y{2, 3};
    m.add(MatView::row_major(x.data(), 2, 1), MatView::row_major(y.data(), 2, 1), std::nullopt);
    EXPECT_EQ(m.backend().in_memory()->index().knn().len(), 2u);
    m.ensure_index_sync();
    EXPECT_EQ(m.backend().in_memory()->index().knn().len(), 4u);
    EXPECT_EQ(m.backend().index_memory_bytes(), 16u);
    const double q[] = {4.4};
    SearchResult r = m.backend().search(MatView::row_major(q, 1, 1), 2, false);
    EXPECT_EQ(r.indices.data, (std::vector<std::int64_t>{2, 3}));
}

TEST(InMemoryIndex, ScaledModelRebuildsWithTheNewScale) {
    // Column 1 spans a much wider range; unscaled it would dominate the distance.
    Vantorix m = memory_model(mat(2, 2, {0, 0, 1, 100}), mat(2, 1, {0, 1}), std::nullopt, true);
    std::vector<double> x{0.5, 0, 0, 60}, y{0, 0};
    m.add(MatView::row_major(x.data(), 2, 2), MatView::row_major(y.data(), 2, 1), std::nullopt);
    const double q[] = {0.5, 40};
    SearchResult r = index_search(m, MatView::row_major(q, 1, 2), 4, false, true);
    std::vector<std::pair<double, std::int64_t>> brute;
    for (std::size_t i = 0; i < 4; ++i) {
        const double* row = m.backend().in_memory()->x().row(i);
        double s = 0;
        for (int j = 0; j < 2; ++j) {
            const double t = q[j] / m.x_scale()[j] - row[j] / m.x_scale()[j];
            s += t * t;
        }
        brute.push_back({s, static_cast<std::int64_t>(i)});
    }
    std::sort(brute.begin(), brute.end());
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(r.indices(0, j), brute[j].second);
        EXPECT_EQ(r.distances(0, j), brute[j].first);
    }
    EXPECT_EQ(m.backend().in_memory()->index().x_scale(), m.x_scale());
}

TEST(BackendSearch, PadsBeyondStoredRowsAndDropsFirst) {
    Vantorix m = memory_model(mat(3, 1, {0, 1, 3}), mat(3, 1, {0, 0, 0}));
    const double q[] = {0.1};
    const MatView qv = MatView::row_major(q, 1, 1);
    SearchResult r = m.backend_search(qv, 5, false);
    EXPECT_EQ(r.indices.data, (std::vector<std::int64_t>{0, 1, 2, 2, 2}));
    EXPECT_TRUE(std::isinf(r.distances(0, 3)) && std::isinf(r.distances(0, 4)));
    EXPECT_EQ(m.backend_search(qv, 1, true).indices.cols, 0u);
    EXPECT_EQ(error_text([&] { m.backend_search(qv, 0, false); }),
              "Invalid parameter: Invalid search parameter: search_k must be > 0, got 0");
    const double q2[] = {0, 0};
    EXPECT_EQ(error_text([&] { m.backend_search(MatView::row_major(q2, 1, 2), 1, false); }),
              "Invalid parameter: Invalid shape: expected 1 dims, got 2");
    Vantorix empty = memory_model(mat(0, 1, {}), mat(0, 1, {}));
    SearchResult e = empty.backend_search(qv, 3, true);
    EXPECT_EQ(e.indices.cols, 2u);
    EXPECT_EQ(e.indices.data, (std::vector<std::int64_t>{0, 0}));
}

// Blocks on the pool and norms kept from each add must give exactly the answers of FAISS's own
// search of all the queries at once: below its product threshold, at it, and over many blocks.
TEST(FaissSearch, BlockedSearchGivesTheIndexsOwnAnswers) {
    // The reference search on one thread: an OpenMP team spinning beside a loaded pool is slow.
    const int saved_threads = omp_get_max_threads();
    omp_set_num_threads(1);
    for (std::size_t d : {3u, 16u}) {
        std::mt19937_64 rng(d);
        // Integer coordinates give many equal distances, Gaussian ones norms that round; the
        // second add tests appended norms. 4100 queries pass the chunk FAISS multiplies at once.
        const Array2 first = integer_grid(rng, 3000, d, 6), second = gaussian(rng, 2000, d);
        const Array2 q = gaussian(rng, 4100, d);
        FaissBackend backend = FaissBackend::make_index(d, IndexDriver::Exact, view_of(first));
        backend.add(view_of(second));
        faiss::IndexFlatL2 plain(static_cast<int>(d));
        const std::vector<float> f1 = arr2_rows_to_f32(view_of(first)), f2 = arr2_rows_to_f32(view_of(second));
        plain.add(3000, f1.data());
        plain.add(2000, f2.data());
        const std::vector<float> qf = arr2_rows_to_f32(view_of(q));
        for (std::size_t nq : {1u, 7u, 19u, 20u, 57u, 1100u, 4100u}) {
            for (std::size_t k : {1u, 6u}) {
                std::vector<float> got_d(nq * k), want_d(nq * k);
                std::vector<std::int64_t> got_i(nq * k);
                std::vector<faiss::Index::idx_t> want_i(nq * k);
                backend.search(nq, qf.data(), k, got_d.data(), got_i.data());
                plain.search(static_cast<faiss::Index::idx_t>(nq), qf.data(), static_cast<faiss::Index::idx_t>(k),
                             want_d.data(), want_i.data());
                EXPECT_EQ(got_d, want_d) << "d " << d << " nq " << nq << " k " << k;
                EXPECT_TRUE(std::equal(got_i.begin(), got_i.end(), want_i.begin())) << "d " << d << " nq " << nq;
            }
        }
    }
    omp_set_num_threads(saved_threads);
}
