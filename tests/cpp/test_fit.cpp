// Subsample log-likelihood and the stateful fitter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "model_test_util.h"
#include "qelbo/core/error.h"
#include "qelbo/fit/fit.h"
#include "qelbo/fit/fitter.h"
#include "base/std_rng.h"

using namespace qelbo;
using namespace qelbo::testing;

namespace {

struct Data {
    Array2 x, y;
};

Data fit_data(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t m) {
    std::mt19937_64 g(seed);
    Data out{gaussian(g, n, d), gaussian(g, n, m)};
    for (double& v : out.y.data) v = 3.0 * v + 1.0;
    return out;
}

// Leave-one-out log-likelihood computed pair by pair over all rows (distinct distances assumed).
double brute_force_loglik(const Data& data, const QELParams& p, const std::vector<double>& y_scale,
                          const std::vector<double>& sigma) {
    const std::size_t n = data.x.rows, d = data.x.cols, m = data.y.cols;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::pair<double, std::size_t>> pool;
        for (std::size_t r = 0; r < n; ++r) {
            if (r == i) continue;
            double s = 0.0;
            for (std::size_t c = 0; c < d; ++c) s += (data.x(i, c) - data.x(r, c)) * (data.x(i, c) - data.x(r, c));
            pool.push_back({s, r});
        }
        std::sort(pool.begin(), pool.end());
        const std::size_t k = std::min<std::size_t>(pool.size(), p.k_num_neighbors);
        for (std::size_t j = 0; j < m; ++j) {
            double W = 0.0, mu = 0.0;
            for (std::size_t t = 0; t < k; ++t) W += 1.0 / (p.aleatoric_variance_scale + p.epistemic_variance_scale * pool[t].first + 1e-9);
            for (std::size_t t = 0; t < k; ++t)
                mu += (1.0 / (p.aleatoric_variance_scale + p.epistemic_variance_scale * pool[t].first + 1e-9)) / W *
                      data.y(pool[t].second, j);
            const double var = std::max(1.0 / W + p.aleatoric_variance_scale, 1e-9);
            const double se = std::sqrt(var) * y_scale[j] / sigma[j];
            const double z = (data.y(i, j) - mu) / sigma[j];
            total += -0.5 * std::log(se * se * 2.0 * M_PI) - 0.5 * (z / se) * (z / se) * 1.0;
        }
    }
    return total;
}

}  // namespace

TEST(SingleLoglik, StandardNormalAtItsMeanIsHalfLogTwoPi) {
    const Array2 zero = mat(1, 1, {0.0}), one = mat(1, 1, {1.0});
    EXPECT_DOUBLE_EQ(compute_single_loglik(view_of(zero), view_of(zero), view_of(one)), -0.9189385332046727);
    EXPECT_EQ(compute_single_loglik(view_of(zero), view_of(zero), view_of(zero)), 0.0);
    const Array2 inf = mat(1, 1, {kInf}), neg = mat(1, 1, {-1.0});
    EXPECT_EQ(compute_single_loglik(view_of(zero), view_of(inf), view_of(one)), 0.0);
    EXPECT_EQ(compute_single_loglik(view_of(zero), view_of(zero), view_of(neg)), 0.0);
    const Array2 empty(0, 1);
    EXPECT_EQ(compute_single_loglik(view_of(empty), view_of(empty), view_of(empty)), 0.0);
    // A sum that overflows counts as no information.
    const Array2 huge = mat(1, 1, {1e300}), tiny = mat(1, 1, {1e-300});
    EXPECT_EQ(compute_single_loglik(view_of(huge), view_of(zero), view_of(tiny)), 0.0);
}

TEST(SubsampleLoglik, ArgumentErrorsInOrder) {
    Data data = fit_data(1, 5, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    const Array2 y4(4, 1);
    const std::vector<QELParams> one{QELParams::make(2, 1.0, 0.1)};
    StdRng rng = StdRng::seed_from_u64(0);
    struct Case {
        MatView y;
        std::size_t p;
        std::vector<QELParams> params;
        const char* text;
    } cases[] = {
        {view_of(y4), 3, one, "Invalid parameter: x and y must have same number of rows: 5 vs 4"},
        {view_of(data.y), 0, one, "Invalid parameter: P (num_samples) must be > 0"},
        {view_of(data.y), 3, {}, "Invalid parameter: paramss must be non-empty"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_text([&] { subsample_loglik(model, view_of(data.x), c.y, c.params, c.p, rng, std::nullopt); }),
                  c.text);
}

TEST(SubsampleLoglik, MatchesLeaveOneOutBruteForce) {
    Data data = fit_data(7, 40, 3, 2);
    Vantorix model = memory_model(data.x, data.y);
    const std::vector<QELParams> params{QELParams::make(3, 0.5, 0.2), QELParams::make(5, 2.0, 0.0),
                                        QELParams::make(1, 0.01, 1.5)};
    StdRng rng = StdRng::seed_from_u64(3);
    const std::vector<double> ll =
        subsample_loglik(model, view_of(data.x), view_of(data.y), params, 100, rng, std::nullopt);
    ASSERT_EQ(ll.size(), 3u);
    std::vector<double> sigma(2);
    for (std::size_t j = 0; j < 2; ++j) {
        double mean = 0.0, ss = 0.0;
        for (std::size_t i = 0; i < 40; ++i) mean += data.y(i, j) / 40.0;
        for (std::size_t i = 0; i < 40; ++i) ss += (data.y(i, j) - mean) * (data.y(i, j) - mean);
        sigma[j] = std::sqrt(ss / 40.0);
    }
    for (std::size_t s = 0; s < 3; ++s) {
        const double ref = brute_force_loglik(data, params[s], model.y_scale(), sigma);
        // Without tie-breaking the index's f32 distances stand, hence the tolerance.
        EXPECT_NEAR(ll[s], ref, 1e-6 * std::abs(ref)) << "record " << s;
    }
    // A given y_std replaces the computed one; unusable entries count as 1.0.
    const std::vector<double> bad{0.0, kNaN}, ones{1.0, 1.0};
    const auto a = subsample_loglik(model, view_of(data.x), view_of(data.y), params, 100, rng, std::span<const double>(bad));
    const auto b = subsample_loglik(model, view_of(data.x), view_of(data.y), params, 100, rng, std::span<const double>(ones));
    EXPECT_EQ(a, b);
    EXPECT_NEAR(a[0], brute_force_loglik(data, params[0], model.y_scale(), ones), 1e-6 * std::abs(a[0]));
}

TEST(SubsampleLoglik, AllRowsFittingLeavesTheGeneratorAlone) {
    Data data = fit_data(2, 12, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    const std::vector<QELParams> params{QELParams::make(3, 1.0, 0.1)};
    StdRng r1 = StdRng::seed_from_u64(1), r2 = StdRng::seed_from_u64(2);
    const StdRng r1_before = r1;
    const auto a = subsample_loglik(model, view_of(data.x), view_of(data.y), params, 12, r1, std::nullopt);
    const auto b = subsample_loglik(model, view_of(data.x), view_of(data.y), params, 50, r2, std::nullopt);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(same_state(r1, r1_before));
    // With more rows than P the subsample is drawn and the generator moves.
    const auto c = subsample_loglik(model, view_of(data.x), view_of(data.y), params, 5, r1, std::nullopt);
    EXPECT_FALSE(same_state(r1, r1_before));
    EXPECT_NE(c, a);
}

TEST(SubsampleLoglik, DegenerateDataGivesZerosWithoutDrawing) {
    const std::vector<QELParams> params{QELParams::make(1, 1.0, 0.0), QELParams::make(2, 1.0, 0.0)};
    StdRng rng = StdRng::seed_from_u64(9);
    const StdRng before = rng;
    Vantorix one_row = memory_model(mat(1, 1, {0.5}), mat(1, 1, {2.0}));
    Data data = fit_data(4, 30, 2, 1);
    EXPECT_EQ(subsample_loglik(one_row, view_of(data.x), view_of(data.y), params, 3, rng, std::nullopt),
              std::vector<double>(2, 0.0));
    Vantorix model = memory_model(data.x, data.y);
    Array2 y_nan = data.y;
    y_nan(17, 0) = kNaN;
    EXPECT_EQ(subsample_loglik(model, view_of(data.x), view_of(y_nan), params, 3, rng, std::nullopt),
              std::vector<double>(2, 0.0));
    EXPECT_TRUE(same_state(rng, before));
}

TEST(SubsampleLoglik, MetricCountUnlikeTheModelIsAShapeError) {
    Data data = fit_data(5, 20, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    Data wide = fit_data(6, 20, 2, 2);
    const std::vector<QELParams> params(3, QELParams::make(2, 1.0, 0.0));
    StdRng rng = StdRng::seed_from_u64(0);
    EXPECT_EQ(error_text([&] { subsample_loglik(model, view_of(data.x), view_of(wide.y), params, 10, rng, std::nullopt); }),
              "Invalid shape: expected [3, 10, 2], got [3, 10, 1]");
    const std::vector<double> short_std{1.0};
    EXPECT_EQ(error_text([&] {
                  subsample_loglik(model, view_of(wide.x), view_of(wide.y), params, 10, rng, std::span<const double>(short_std));
              }),
              "Invalid parameter: y_std must have one entry per column of y: 1 vs 2");
}

TEST(FitterTell, ErrorTextsAndNoChangeOnFailure) {
    QELFitter f(3, true);
    const Array2 x2 = mat(2, 1, {0.0, 1.0}), y2 = mat(2, 1, {1.0, 3.0}), y3(3, 1), x_nan = mat(2, 1, {kNaN, 0.0});
    const Array2 y_inf = mat(2, 1, {kInf, 0.0}), v_nan = mat(2, 1, {kNaN, 0.0}), v3(3, 1), v22(2, 2);
    struct Case {
        MatView x, y;
        std::optional<MatView> yvar;
        const char* text;
    } cases[] = {
        {view_of(x_nan), view_of(y_inf), std::nullopt, "Invalid parameter: x must contain only finite values"},
        {view_of(x2), view_of(y_inf), std::nullopt, "Invalid parameter: y must contain only finite values"},
        {view_of(x2), view_of(y3), std::nullopt, "Invalid parameter: x and y must have same number of rows: 2 vs 3"},
        {view_of(x2), view_of(y2), view_of(v_nan), "Invalid parameter: yvar must contain only finite values"},
        {view_of(x2), view_of(y2), view_of(v3), "Invalid parameter: yvar and y must have same number of rows: 3 vs 2"},
        {view_of(x2), view_of(y2), view_of(v22), "Invalid parameter: yvar and y must have same number of columns: 2 vs 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(error_text([&] { f.tell(c.x, c.y, c.yvar); }), c.text);
    EXPECT_EQ(f.num_obs(), 0u);
    EXPECT_EQ(f.y_std(), std::vector<double>{1.0});

    f.tell(view_of(x2), view_of(y2), std::nullopt);
    EXPECT_EQ(f.y_std(), std::vector<double>{1.0});  // rows 1 and 3: population std 1
    const Array2 empty_x(0, 1), empty_y(0, 4);
    f.tell(view_of(empty_x), view_of(empty_y), std::nullopt);
    EXPECT_EQ(f.num_metrics(), 1u);
    // The sums are per column, so a later batch of another width is refused.
    const Array2 y22 = mat(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(error_text([&] { f.tell(view_of(x2), view_of(y22), std::nullopt); }),
              "Invalid parameter: y must have as many columns as the rows told before: 2 vs 1");
    EXPECT_EQ(f.num_obs(), 2u);
}

TEST(FitterAsk, ErrorTexts) {
    Data data = fit_data(12, 20, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    StdRng rng = StdRng::seed_from_u64(0);
    QELFitter fresh(3, true);
    EXPECT_EQ(error_text([&] { fresh.ask(model, 5, 10, std::nullopt, rng); }),
              "Invalid parameter: tell must be called before ask to initialize incremental y statistics");
    fresh.tell(view_of(data.x), view_of(data.y), std::nullopt);
    EXPECT_EQ(error_text([&] { fresh.ask(model, 0, 10, std::nullopt, rng); }),
              "Invalid parameter: paramss must be non-empty");
    const QELParams bad_warm{-1.0, 0.0, 3};
    EXPECT_EQ(error_text([&] { fresh.ask(model, 5, 10, bad_warm, rng); }),
              "Invalid parameter: Invalid warm-start params: epistemic_variance_scale must be >= 0 and finite, got -1");
    EXPECT_FALSE(fresh.last_params().has_value());

    // A fitter told another metric count than the model's is refused before any draw.
    QELFitter wide(3, true);
    Data two = fit_data(13, 20, 2, 2);
    wide.tell(view_of(two.x), view_of(two.y), std::nullopt);
    const StdRng before = rng;
    EXPECT_EQ(error_text([&] { wide.ask(model, 5, 10, std::nullopt, rng); }),
              "Invalid parameter: fitter was told 2 metrics but the model has 1");
    EXPECT_TRUE(same_state(rng, before));
}

TEST(FitterAsk, InvalidKFailsAfterTheCandidateDraws) {
    Data data = fit_data(14, 20, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    for (bool infer : {true, false}) {
        QELFitter f(0, infer);
        f.tell(view_of(data.x), view_of(data.y), std::nullopt);
        StdRng rng = StdRng::seed_from_u64(5), expected = rng;
        EXPECT_EQ(error_text([&] { f.ask(model, 6, 10, std::nullopt, rng); }),
                  "Invalid parameter: Failed to create default params: k_num_neighbors must be > 0, got 0");
        for (int i = 0; i < (infer ? 12 : 6); ++i) expected.next_u64();
        EXPECT_TRUE(same_state(rng, expected));
    }
}

TEST(FitterAsk, CandidatesComeFromTheStreamAndTheBestIsKept) {
    Data data = fit_data(15, 60, 2, 1);
    Vantorix model = memory_model(data.x, data.y);
    QELFitter f(5, true);
    f.tell(view_of(data.x), view_of(data.y), std::nullopt);
    StdRng rng = StdRng::seed_from_u64(21), replay = rng;
    const QELParams chosen = f.ask(model, 8, 30, std::nullopt, rng);

    // Replay the generator: 8 epistemic, 8 aleatoric draws, then the row sample.
    std::vector<QELParams> cands;
    std::vector<double> epi(8), ale(8);
    for (double& v : epi) v = std::pow(10.0, static_cast<double>(replay.next_u64() >> 12) * 0x1.0p-52 * 6.000000000000002 - 3.0);
    for (double& v : ale) v = std::pow(10.0, static_cast<double>(replay.next_u64() >> 12) * 0x1.0p-52 * 6.000000000000002 - 3.0);
    for (std::size_t i = 0; i < 8; ++i) cands.push_back({epi[i], ale[i], 5});
    const std::vector<std::uint64_t> rows = index_sample(replay, 60, 30);
    EXPECT_TRUE(same_state(rng, replay));
    Array2 xs(30, 2), ys(30, 1);
    for (std::size_t r = 0; r < 30; ++r) {
        xs(r, 0) = data.x(rows[r], 0);
        xs(r, 1) = data.x(rows[r], 1);
        ys(r, 0) = data.y(rows[r], 0);
    }
    StdRng unused = StdRng::seed_from_u64(0);
    const std::vector<double> sigma = f.y_std();
    const auto ll = subsample_loglik(model, view_of(xs), view_of(ys), cands, 30, unused, std::span<const double>(sigma));
    const std::size_t best = static_cast<std::size_t>(std::max_element(ll.begin(), ll.end()) - ll.begin());
    EXPECT_NEAR(chosen.epistemic_variance_scale, cands[best].epistemic_variance_scale, 1e-12 * cands[best].epistemic_variance_scale);
    EXPECT_NEAR(chosen.aleatoric_variance_scale, cands[best].aleatoric_variance_scale, 1e-12 * cands[best].aleatoric_variance_scale);
    EXPECT_EQ(chosen.k_num_neighbors, 5);
}

TEST(FitterChoice, NaNNeverWinsAndTiesGoToTheLast) {
    EXPECT_EQ(best_score_index({1.0, kNaN}), 0u);
    EXPECT_EQ(best_score_index({kNaN, -1e300}), 1u);
    EXPECT_EQ(best_score_index({2.0, 5.0, 5.0, 1.0}), 2u);
    EXPECT_EQ(best_score_index({0.0, 0.0, 0.0}), 2u);
    EXPECT_EQ(best_score_index({kNaN, kNaN}), 1u);
    EXPECT_EQ(best_score_index({-kInf, -5.0}), 1u);
}
