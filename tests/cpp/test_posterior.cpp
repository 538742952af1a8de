#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "model_test_util.h"
#include "qelbo/model/batch_posterior.h"
#include "qelbo/model/index_search.h"
#include "qelbo/model/light.h"
#include "qelbo/model/neighbor.h"
#include "qelbo/model/posterior.h"

using namespace qelbo;
using namespace qelbo::testing;

namespace {

// Brute-force top-k by (exact distance, row index).
std::vector<std::int64_t> brute_top_k(const Array2& x, const double* q, std::size_t k) {
    std::vector<std::pair<double, std::int64_t>> all;
    for (std::size_t i = 0; i < x.rows; ++i) {
        double s = 0;
        for (std::size_t j = 0; j < x.cols; ++j) s += (q[j] - x(i, j)) * (q[j] - x(i, j));
        all.push_back({s, static_cast<std::int64_t>(i)});
    }
    std::sort(all.begin(), all.end());
    std::vector<std::int64_t> out;
    for (std::size_t j = 0; j < std::min(k, all.size()); ++j) out.push_back(all[j].second);
    return out;
}

// The worked example: neighbours of query 0 are rows 0 (d2 0, y 0) and 1 (d2 1, y 3); y scale 2.
Vantorix worked_example_model(std::optional<Array2> yvar = std::nullopt) {
    return memory_model(mat(5, 1, {0, 1, 100, 200, 300}), mat(5, 1, {0, 3, -3, -1, 1}), std::move(yvar));
}

const double kQuery0[] = {0.0};
const MatView kQ0 = MatView::row_major(kQuery0, 1, 1);

}  // namespace

TEST(NeighbourTies, TieBreakMatchesBruteForceOnIntegerGrid) {
    std::mt19937_64 rng(11);
    const Array2 x = integer_grid(rng, 400, 3, 5);
    // Enough queries for FAISS's matrix-product path and for several search blocks of unequal size.
    const Array2 q = integer_grid(rng, 517, 3, 5);
    Vantorix m = memory_model(x, Array2(400, 1, 0.0));
    for (std::int64_t k : {1, 3, 8, 40}) {
        for (bool excl : {false, true}) {
            SearchResult r = index_search(m, view_of(q), k, excl, true);
            ASSERT_EQ(r.indices.cols, static_cast<std::size_t>(excl ? k - 1 : k));
            for (std::size_t i = 0; i < q.rows; ++i) {
                std::vector<std::int64_t> want = brute_top_k(x, q.row(i), static_cast<std::size_t>(k));
                if (excl) want.erase(want.begin());
                std::vector<std::int64_t> got(r.indices.row(i), r.indices.row(i) + r.indices.cols);
                ASSERT_EQ(got, want) << "query " << i << " k " << k << " exclude " << excl;
            }
        }
    }
}

TEST(NeighbourTies, EquidistantRowsGoToSmallerIndex) {
    Vantorix m = memory_model(mat(3, 2, {1, 0, 0, 1, -1, 0}), mat(3, 1, {0, 0, 0}));
    const double q[] = {0, 0};
    SearchResult r = index_search(m, MatView::row_major(q, 1, 2), 2, false, true);
    EXPECT_EQ(r.indices.data, (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(r.distances.data, (std::vector<double>{1.0, 1.0}));
}

TEST(NeighbourTies, NoStoredRowIsLostOrRepeatedBeyondTheRowCount) {
    Vantorix m = memory_model(mat(2, 1, {1 + 1e-12, 1.0}), mat(2, 1, {0, 0}));
    SearchResult r = index_search(m, kQ0, 3, false, true);
    EXPECT_EQ(r.indices.data, (std::vector<std::int64_t>{1, 0, -1}));
    EXPECT_EQ(r.distances(0, 0), 1.0);
    EXPECT_TRUE(std::isinf(r.distances(0, 2)));
}

TEST(NeighbourTies, NonFiniteQueryIsRefusedNotAnsweredWithTheFirstRows) {
    Vantorix m = memory_model(mat(4, 2, {5, 5, 1, 1, 3, 3, 0, 0}), mat(4, 1, {1, 2, 3, 4}));
    const double q[] = {NAN, 1.0};
    const std::string refused = "Invalid parameter: x must contain only finite values";
    for (bool tie : {true, false})
        EXPECT_EQ(error_text([&] { index_search(m, MatView::row_major(q, 1, 2), 2, false, tie); }), refused);
    EXPECT_EQ(error_text([&] {
                  posterior(m, MatView::row_major(q, 1, 2), QELParams::make(2, 1.0, 0.0), {false, true, true});
              }),
              refused);
}

TEST(NeighbourTies, ExcludeNearestDropsTheQueryRowItself) {
    std::mt19937_64 rng(3);
    const Array2 x = gaussian(rng, 50, 2);
    Vantorix m = memory_model(x, gaussian(rng, 50, 1));
    SearchResult r = index_search(m, view_of(x), 4, true, true);
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < 3; ++j) EXPECT_NE(r.indices(i, j), static_cast<std::int64_t>(i));
    EXPECT_EQ(r.indices.cols, 3u);
}

TEST(NeighbourRetrieval, EmptyModelAndZeroK) {
    Vantorix empty = memory_model(mat(0, 1, {}), mat(0, 1, {}));
    SearchResult r = index_search(empty, kQ0, 3, false, true);
    EXPECT_EQ(r.indices.data, (std::vector<std::int64_t>{-1, -1, -1}));
    EXPECT_FALSE(get_neighbor_data(empty, kQ0, 3, false, true).has_value());
    Vantorix m = worked_example_model();
    EXPECT_EQ(index_search(m, kQ0, 0, false, true).indices.cols, 0u);
}

TEST(PosteriorWorkedExample, LightAndFullPathsGiveTheQuotedNumbers) {
    Vantorix m = worked_example_model();
    ASSERT_EQ(m.y_scale()[0], 2.0);
    const QELParams p = QELParams::make(2, 1.0, 1.0);
    const QELNormal light = posterior(m, kQ0, p, {false, false, true});
    EXPECT_EQ(light.mean.data[0], 1.0000000003333334);
    EXPECT_EQ(light.epistemic_std.data[0], 1.6329931625358658);
    EXPECT_EQ(light.total_std.data[0], 1.6329931625358658);
    EXPECT_EQ(light.aleatoric_std.data[0], 0.0);
    EXPECT_EQ(light.neighbor_indices->data, (std::vector<std::int64_t>{0, 1}));

    const DrawInternals full = compute_posterior_internals(m, kQ0, p, {false, false, true});
    EXPECT_EQ(full.mean(0, 0), 1.0000000003333334);
    EXPECT_EQ(full.epistemic_std(0, 0), 1.6329931625358658);
    EXPECT_EQ(full.total_std(0, 0), 1.6329931625358658);
    EXPECT_EQ(full.aleatoric_std(0, 0), 0.0);
    EXPECT_EQ(full.l2(0, 0), 0.7453559924502395);
    EXPECT_NEAR(full.w_normalized(0, 0, 0), 2.0 / 3.0, 1e-9);

    const QELNormal noisy = posterior(m, kQ0, p, {false, true, true});
    EXPECT_EQ(noisy.mean.data[0], 1.0000000003333334);
    EXPECT_EQ(noisy.aleatoric_std.data[0], 2.0);
    EXPECT_EQ(noisy.total_std.data[0], 2.5819888979019425);
    EXPECT_EQ(noisy.epistemic_std.data[0], 1.6329931625358658);
}

TEST(PosteriorFloors, ExactFloorValueAndBelowFloorOnBothPaths) {
    Vantorix m = worked_example_model();
    ASSERT_EQ(std::sqrt(1e-9), kStdFloor);
    // One neighbour at distance 0, a = 0: the variance is exactly 1e-9, not below the floor.
    const QELParams one = QELParams::make(1, 1.0, 0.0);
    EXPECT_EQ(posterior(m, kQ0, one, {false, false, true}).total_std.data[0], std::sqrt(1e-9) * 2.0);
    EXPECT_EQ(compute_posterior_internals(m, kQ0, one, {}).total_std(0, 0), std::sqrt(1e-9) * 2.0);
    // a = e = 0 with k = 3: variance 1/(3e9) is below the floor on both paths.
    const QELParams flat = QELParams::make(3, 0.0, 0.0);
    const DrawInternals full = compute_posterior_internals(m, kQ0, flat, {});
    EXPECT_EQ(full.total_std(0, 0), 2.0 * kStdFloor);
    EXPECT_EQ(full.epistemic_std(0, 0), 2.0 * kStdFloor);
    EXPECT_EQ(full.aleatoric_std(0, 0), 0.0);
    EXPECT_EQ(posterior(m, kQ0, flat, {false, false, true}).total_std.data[0], kStdFloor * 2.0);
}

TEST(PosteriorFloors, NaNTotalStaysNaNOnFullPathAndTakesFloorOnLightPath) {
    // An infinite distance times a zero epistemic scale makes the weights NaN.
    Vantorix m = memory_model(mat(2, 1, {0, 1}), mat(2, 1, {0, 2}));
    const double far[] = {1e200};
    const MatView q = MatView::row_major(far, 1, 1);
    const QELParams p = QELParams::make(2, 0.0, 1.0);
    const DrawInternals full = compute_posterior_internals(m, q, p, {});
    EXPECT_TRUE(std::isnan(full.total_std(0, 0)));
    EXPECT_TRUE(std::isnan(full.epistemic_std(0, 0)));
    const QELNormal light = posterior(m, q, p, {});
    EXPECT_EQ(light.total_std.data[0], kStdFloor * m.y_scale()[0]);
}

TEST(PosteriorEmptyModel, UnitStdsZeroMeanAndNoNeighbours) {
    Vantorix empty = memory_model(mat(0, 1, {}), mat(0, 2, {}));
    for (bool noise : {false, true}) {
        const QELNormal p = posterior(empty, kQ0, QELParams::make(3, 1.0, 1.0), {false, noise, true});
        EXPECT_EQ(p.mean.data, (std::vector<double>{0, 0}));
        EXPECT_EQ(p.total_std.data, (std::vector<double>{1, 1}));
        EXPECT_EQ(p.aleatoric_std.data, (std::vector<double>{0, 0}));
        EXPECT_EQ(p.neighbor_indices->rows, 1u);
        EXPECT_EQ(p.neighbor_indices->cols, 0u);
    }
}

TEST(PosteriorVariances, StoredVariancesLowerWeightsButAddNothingWithoutNoise) {
    Vantorix m = worked_example_model(mat(5, 1, {4.0, 0.0, 0, 0, 0}));
    const QELParams p = QELParams::make(2, 1.0, 1.0);
    const QELNormal r = posterior(m, kQ0, p, {false, false, true});
    // Row 0's variance 4 is 1 in standardised units: both weights are then 1/2.
    EXPECT_NEAR(r.mean.data[0], 1.5, 1e-8);
    EXPECT_EQ(r.aleatoric_std.data[0], 0.0);
    EXPECT_EQ(r.total_std.data[0], r.epistemic_std.data[0]);
    const QELNormal noisy = posterior(m, kQ0, p, {false, true, true});
    EXPECT_GT(noisy.total_std.data[0], noisy.epistemic_std.data[0]);
}

TEST(PosteriorErrors, WidthAndExcludeNearestTexts) {
    Vantorix m = worked_example_model();
    const double q2[] = {0, 0};
    const MatView wide = MatView::row_major(q2, 1, 2);
    const QELParams p = QELParams::make(2, 1.0, 0.0);
    const std::string width = "Invalid shape: expected [1, 1], got [1, 2]";
    EXPECT_EQ(error_text([&] { posterior(m, wide, p, {}); }), width);
    EXPECT_EQ(error_text([&] { posterior(m, wide, p, {false, true, false}); }), width);
    const QELParams ps[] = {p, QELParams::make(3, 1.0, 0.0)};
    EXPECT_EQ(error_text([&] { batch_posterior(m, wide, ps, {}); }), width);
    EXPECT_EQ(error_text([&] { batch_posterior(m, kQ0, std::span<const QELParams>(), {}); }),
              "Invalid parameter: paramss must be non-empty");

    Vantorix one = memory_model(mat(1, 1, {0}), mat(1, 1, {1}));
    const std::string excl = "Invalid parameter: exclude_nearest=True requires at least 2 observations, got 1";
    EXPECT_EQ(error_text([&] { posterior(one, kQ0, p, {true, false, true}); }), excl);
    EXPECT_EQ(error_text([&] { posterior(one, kQ0, p, {true, true, true}); }), excl);
    EXPECT_EQ(error_text([&] { batch_posterior(one, kQ0, std::span(ps, 1), {true, false, false}); }), excl);
}

TEST(PosteriorKLimits, LargestKIsCountedIn64Bits) {
    Vantorix m = worked_example_model();
    const QELParams p = QELParams::make(std::numeric_limits<std::int32_t>::max(), 1.0, 0.0);
    for (bool noise : {false, true}) {
        const QELNormal r = posterior(m, kQ0, p, {true, noise, true});
        EXPECT_EQ(r.neighbor_indices->cols, 4u);
    }
}

TEST(BatchPosterior, EverySliceEqualsThePosteriorOfItsRecord) {
    std::mt19937_64 rng(5);
    const Array2 x = gaussian(rng, 80, 3);
    const Array2 q = gaussian(rng, 25, 3);
    for (bool with_yvar : {false, true}) {
        Array2 yvar(80, 2);
        for (double& v : yvar.data) v = std::abs(gaussian(rng, 1, 1).data[0]);
        Vantorix m = memory_model(x, gaussian(rng, 80, 2), with_yvar ? std::optional(yvar) : std::nullopt);
        const std::vector<std::vector<QELParams>> lists = {
            {QELParams::make(5, 0.5, 0.1), QELParams::make(5, 2.0, 0.0), QELParams::make(5, 0.0, 1.0)},
            {QELParams::make(6, 0.5, 0.1), QELParams::make(3, 2.0, 0.3), QELParams::make(6, 1.0, 0.0)},
        };
        for (const auto& list : lists) {
            for (bool noise : {false, true}) {
                const PosteriorFlags flags{false, noise, true};
                const QELNormal b = batch_posterior(m, view_of(q), list, flags);
                ASSERT_EQ(b.mean.shape, (Shape{3, 25, 2}));
                EXPECT_FALSE(b.neighbor_indices.has_value());
                for (std::size_t p = 0; p < list.size(); ++p) {
                    const QELNormal s = posterior(m, view_of(q), list[p], flags);
                    const std::size_t slice = 25 * 2;
                    auto part = [&](const NdArray& a) {
                        return std::vector<double>(a.data.begin() + p * slice, a.data.begin() + (p + 1) * slice);
                    };
                    EXPECT_EQ(part(b.mean), s.mean.data);
                    EXPECT_EQ(part(b.total_std), s.total_std.data);
                    EXPECT_EQ(part(b.epistemic_std), s.epistemic_std.data);
                    EXPECT_EQ(part(b.aleatoric_std), s.aleatoric_std.data);
                }
            }
        }
    }
}
