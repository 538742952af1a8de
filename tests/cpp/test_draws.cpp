// Posterior function draws and the conditional (what-if) posterior.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model_test_util.h"
#include "qelbo/fit/conditional.h"
#include "qelbo/fit/draw.h"
#include "qelbo/fit/draw_compute.h"
#include "qelbo/core/error.h"
#include "qelbo/numerics/hash.h"
#include "qelbo/model/posterior.h"

using namespace qelbo;
using namespace qelbo::testing;

namespace {

Vantorix random_model(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t m) {
    std::mt19937_64 g(seed);
    return memory_model(gaussian(g, n, d), gaussian(g, n, m));
}

// The draw written out from its definition, one value at a time.
double reference_draw(const DrawInternals& in, std::int64_t seed, std::size_t i, std::size_t j) {
    const std::size_t k = in.w_normalized.d1;
    double acc = 0.0;
    for (std::size_t t = 0; t < k; ++t) acc += in.w_normalized(i, t, j) * hash_normal(seed, in.neighbor_indices(i, t), j);
    return in.mean(i, j) + acc * (in.total_std(i, j) / std::max(in.l2(i, j), 1e-12));
}

}  // namespace

TEST(FunctionDraw, WorkedExampleGivesTheQuotedValues) {
    Vantorix model = memory_model(mat(2, 1, {0.0, 1.0}), mat(2, 1, {0.0, 3.0}));
    const IndexArray2 idx = [] {
        IndexArray2 a(1, 2);
        a(0, 1) = 1;
        return a;
    }();
    const Array2 d2 = mat(1, 2, {0.0, 1.0}), y = mat(2, 1, {0.0, 3.0});
    const std::vector<double> ys{2.0};
    const DrawInternals in = compute_weighted_posterior(model, NeighborsView{idx, d2, y}, QELParams::make(2, 1.0, 1.0),
                                                        false, std::span<const double>(ys));
    EXPECT_NEAR(in.mean(0, 0), 1.0000000003, 1e-9);
    EXPECT_NEAR(in.total_std(0, 0), 1.63299316, 1e-8);
    EXPECT_NEAR(in.l2(0, 0), 0.745355992, 1e-9);
    const std::vector<std::int64_t> seeds{0, 1};
    const Array3 draws = draw_from_internals(1, in, seeds);
    EXPECT_DOUBLE_EQ(draws(0, 0, 0), -0.7395405638579025);
    EXPECT_DOUBLE_EQ(draws(1, 0, 0), 0.4740380680314453);
}

TEST(FunctionDraw, MatchesTheDefinitionOnRandomData) {
    Vantorix model = random_model(3, 300, 3, 2);
    std::mt19937_64 g(4);
    const Array2 q = gaussian(g, 40, 3);
    const PosteriorFlags flags{false, true, true};
    const QELParams p = QELParams::make(6, 0.8, 0.3);
    std::vector<std::int64_t> seeds;
    for (int s = 0; s < 37; ++s) seeds.push_back(s * 7919 - 100);
    const FunctionDraws fd = posterior_function_draw(model, view_of(q), p, seeds, flags);
    const DrawInternals in = compute_posterior_internals(model, view_of(q), p, flags);
    ASSERT_EQ(fd.draws.d0, seeds.size());
    ASSERT_EQ(fd.draws.d1, 40u);
    ASSERT_EQ(fd.draws.d2, 2u);
    EXPECT_EQ(fd.neighbor_indices.data, in.neighbor_indices.data);
    for (std::size_t f = 0; f < seeds.size(); ++f)
        for (std::size_t i = 0; i < 40; ++i)
            for (std::size_t j = 0; j < 2; ++j) ASSERT_EQ(fd.draws(f, i, j), reference_draw(in, seeds[f], i, j));
}

TEST(FunctionDraw, EachSeedAndQueryIsIndependentOfTheBatch) {
    Vantorix model = random_model(5, 500, 2, 1);
    std::mt19937_64 g(6);
    const Array2 q = gaussian(g, 2000, 2);
    const QELParams p = QELParams::make(8, 1.0, 0.0);
    const PosteriorFlags flags{false, false, true};
    std::vector<std::int64_t> seeds(64);
    for (std::size_t s = 0; s < seeds.size(); ++s) seeds[s] = static_cast<std::int64_t>(s) + 1000;
    const FunctionDraws all = posterior_function_draw(model, view_of(q), p, seeds, flags);
    // One seed at a time takes the split-within-a-seed path; the values must not change.
    for (std::size_t f : {0u, 17u, 63u}) {
        const FunctionDraws one = posterior_function_draw(model, view_of(q), p, std::span(&seeds[f], 1), flags);
        for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ(one.draws(0, i, 0), all.draws(f, i, 0));
    }
    // A subset of the queries gets the same values as in the full call.
    const MatView tail{q.row(1500), 500, 2, 2, 1};
    const FunctionDraws part = posterior_function_draw(model, tail, p, seeds, flags);
    for (std::size_t f = 0; f < seeds.size(); ++f)
        for (std::size_t i = 0; i < 500; ++i) ASSERT_EQ(part.draws(f, i, 0), all.draws(f, 1500 + i, 0));
}

TEST(FunctionDraw, EmptyCasesKeepTheirShape) {
    Vantorix model = random_model(7, 20, 2, 3);
    std::mt19937_64 g(8);
    const Array2 q = gaussian(g, 4, 2);
    const QELParams p = QELParams::make(3, 1.0, 0.1);
    const FunctionDraws none = posterior_function_draw(model, view_of(q), p, {}, PosteriorFlags{});
    EXPECT_EQ(none.draws.d0, 0u);
    EXPECT_EQ(none.draws.d1, 4u);
    EXPECT_EQ(none.draws.d2, 3u);
    const Array2 no_queries(0, 2);
    const std::vector<std::int64_t> seeds{1, 2};
    const FunctionDraws empty_q = posterior_function_draw(model, view_of(no_queries), p, seeds, PosteriorFlags{});
    EXPECT_EQ(empty_q.draws.data.size(), 0u);
    EXPECT_EQ(empty_q.draws.d0, 2u);
    // A model without rows draws its posterior mean, 0.
    Vantorix empty = memory_model(Array2(0, 2), Array2(0, 3));
    const FunctionDraws flat = posterior_function_draw(empty, view_of(q), p, seeds, PosteriorFlags{});
    for (double v : flat.draws.data) EXPECT_EQ(v, 0.0);
    EXPECT_EQ(flat.draws.data.size(), 2u * 4u * 3u);
}

TEST(ConditionalPosterior, NoWhatIfRowsIsThePlainFullPosterior) {
    Vantorix model = random_model(10, 60, 2, 2);
    std::mt19937_64 g(11);
    const Array2 q = gaussian(g, 7, 2);
    const QELParams p = QELParams::make(4, 0.5, 0.1);
    const PosteriorFlags flags{true, true, true};
    const Array2 no_rows(0, 2), wrong_y(3, 5);
    const DrawInternals c = compute_conditional_posterior_internals(model, view_of(q), view_of(no_rows), view_of(wrong_y), p, flags);
    const DrawInternals plain = compute_posterior_internals(model, view_of(q), p, flags);
    EXPECT_EQ(c.neighbor_indices.data, plain.neighbor_indices.data);
    EXPECT_EQ(c.mean.data, plain.mean.data);
    EXPECT_EQ(c.total_std.data, plain.total_std.data);
    EXPECT_EQ(c.aleatoric_std.data, plain.aleatoric_std.data);
}

TEST(ConditionalPosterior, WhatIfNeighboursAreNumberedAfterTheStoredRows) {
    Vantorix model = memory_model(mat(3, 1, {0.0, 10.0, 20.0}), mat(3, 1, {1.0, 2.0, 3.0}));
    const Array2 q = mat(1, 1, {4.0});
    const Array2 xw = mat(2, 1, {30.0, 4.0}), yw = mat(2, 1, {9.0, 4.0});
    const QELParams p = QELParams::make(2, 1.0, 0.0);
    const DrawInternals c = compute_conditional_posterior_internals(model, view_of(q), view_of(xw), view_of(yw), p, PosteriorFlags{});
    ASSERT_EQ(c.neighbor_indices.cols, 2u);
    EXPECT_EQ(c.neighbor_indices(0, 0), 4);  // what-if row 1, distance 0
    EXPECT_EQ(c.neighbor_indices(0, 1), 0);
    // With exclude-nearest the what-if row is the dropped nearest candidate.
    const DrawInternals ex = compute_conditional_posterior_internals(model, view_of(q), view_of(xw), view_of(yw), p,
                                                                     PosteriorFlags{true, false, true});
    EXPECT_EQ(ex.neighbor_indices(0, 0), 0);
    EXPECT_EQ(ex.neighbor_indices(0, 1), 1);
    // A query equal to a stored and a what-if row: the stored row comes first and is the one dropped.
    const Array2 q10 = mat(1, 1, {10.0}), xw10 = mat(1, 1, {10.0}), yw10 = mat(1, 1, {0.0});
    const DrawInternals tie = compute_conditional_posterior_internals(model, view_of(q10), view_of(xw10), view_of(yw10), p,
                                                                      PosteriorFlags{true, false, true});
    EXPECT_EQ(tie.neighbor_indices(0, 0), 3);
    // k >= n + w: every row, by distance.
    const DrawInternals all = compute_conditional_posterior_internals(model, view_of(q), view_of(xw), view_of(yw),
                                                                      QELParams::make(10, 1.0, 0.0), PosteriorFlags{});
    EXPECT_EQ(all.neighbor_indices.data, (std::vector<std::int64_t>{4, 0, 1, 2, 3}));
}

TEST(ConditionalPosterior, MeanMatchesBruteForceOverStoredAndWhatIfRows) {
    std::mt19937_64 g(14);
    const Array2 x = gaussian(g, 50, 3), y = gaussian(g, 50, 1);
    Vantorix model = memory_model(x, y);
    // More queries than one block of products holds.
    const Array2 xw = gaussian(g, 30, 3), yw = gaussian(g, 30, 1), q = gaussian(g, 300, 3);
    const QELParams p = QELParams::make(7, 2.0, 0.1);
    const DrawInternals c = compute_conditional_posterior_internals(model, view_of(q), view_of(xw), view_of(yw), p,
                                                                    PosteriorFlags{false, false, true});
    for (std::size_t i = 0; i < q.rows; ++i) {
        std::vector<std::pair<double, std::size_t>> pool;
        for (std::size_t r = 0; r < 80; ++r) {
            const Array2& src = r < 50 ? x : xw;
            const std::size_t rr = r < 50 ? r : r - 50;
            double s = 0.0;
            for (std::size_t c2 = 0; c2 < 3; ++c2) s += (q(i, c2) - src(rr, c2)) * (q(i, c2) - src(rr, c2));
            pool.push_back({s, r});
        }
        std::sort(pool.begin(), pool.end());
        double W = 0.0, mu = 0.0;
        for (std::size_t t = 0; t < 7; ++t) {
            EXPECT_EQ(c.neighbor_indices(i, t), static_cast<std::int64_t>(pool[t].second));
            W += 1.0 / (0.1 + 2.0 * pool[t].first + 1e-9);
        }
        for (std::size_t t = 0; t < 7; ++t) {
            const std::size_t r = pool[t].second;
            mu += (1.0 / (0.1 + 2.0 * pool[t].first + 1e-9)) / W * (r < 50 ? y(r, 0) : yw(r - 50, 0));
        }
        EXPECT_NEAR(c.mean(i, 0), mu, 1e-12);
    }
}

TEST(ConditionalPosterior, WhatIfRowsActAsStoredRowsWithoutVariance) {
    std::mt19937_64 g(21);
    const Array2 x = gaussian(g, 40, 2), y = gaussian(g, 40, 1), yvar = integer_grid(g, 40, 1, 4);
    const Array2 xw = gaussian(g, 10, 2), yw = gaussian(g, 10, 1), q = gaussian(g, 100, 2);
    auto stacked = [](const Array2& a, const Array2& b) {
        Array2 out(a.rows + b.rows, a.cols);
        std::copy(b.data.begin(), b.data.end(), std::copy(a.data.begin(), a.data.end(), out.data.begin()));
        return out;
    };
    const Vantorix combined = memory_model(stacked(x, xw), stacked(y, yw), stacked(yvar, Array2(10, 1, 0.0)));
    const QELParams p = QELParams::make(6, 1.5, 0.2);
    const PosteriorFlags flags{false, true, true};
    const DrawInternals c = compute_conditional_posterior_internals(memory_model(x, y, yvar), view_of(q), view_of(xw),
                                                                    view_of(yw), p, flags);
    const DrawInternals r = compute_posterior_internals(combined, view_of(q), p, flags);
    ASSERT_EQ(c.neighbor_indices.data, r.neighbor_indices.data);
    for (std::size_t i = 0; i < q.rows; ++i) {
        EXPECT_NEAR(c.mean(i, 0), r.mean(i, 0), 1e-12);
        EXPECT_NEAR(c.total_std(i, 0), r.total_std(i, 0), 1e-12);
    }
}

TEST(ConditionalScale, PopulationStdOverStoredThenWhatIfRows) {
    const Array2 stored = mat(4, 2, {1, 5, 2, 5, 3, 5, 4, 5}), whatif = mat(2, 2, {2.5, 5, 2.5, 5});
    const std::vector<double> s = compute_scale_for_conditional(view_of(stored), view_of(whatif));
    // Column 0: mean 2.5, squared deviations 2.25 + 0.25 + 0.25 + 2.25 over 6 rows.
    EXPECT_NEAR(s[0], std::sqrt(5.0 / 6.0), 1e-15);
    EXPECT_EQ(s[1], 1.0);  // constant column
    EXPECT_LT(s[0], std::sqrt(5.0 / 4.0));  // what-if rows at the mean shrink the scale
    const Array2 none(0, 2), one = mat(1, 2, {3, 4});
    EXPECT_EQ(compute_scale_for_conditional(view_of(none), view_of(one)), (std::vector<double>{1.0, 1.0}));
}

TEST(ConditionalPosterior, ErrorTextsInOrder) {
    Vantorix model = random_model(15, 10, 2, 1);
    const QELParams p = QELParams::make(2, 1.0, 0.0);
    const Array2 q = mat(1, 2, {0, 0}), q_nan_wide = mat(1, 3, {kNaN, 0, 0}), q_wide = mat(1, 3, {0, 0, 0});
    const Array2 xw = mat(2, 2, {0, 1, 1, 0}), xw_wide = mat(2, 3, {0, 0, 0, 0, 0, 0});
    const Array2 yw = mat(2, 1, {1, 2}), yw_wide = mat(2, 2, {1, 2, 3, 4}), yw_short = mat(1, 1, {1}), yw_nan = mat(2, 1, {1, kNaN});
    const Array2 far = mat(1, 2, {1e200, 1e200});
    struct Case {
        const Array2 &x, &xw, &yw;
        const char* text;
    } cases[] = {
        {q_nan_wide, xw, yw, "Invalid parameter: NaN or Inf not allowed in x, x_whatif, or y_whatif"},
        {q, xw, yw_nan, "Invalid parameter: NaN or Inf not allowed in x, x_whatif, or y_whatif"},
        {q_wide, xw, yw, "Invalid shape: expected [1, 2], got [1, 3]"},
        {q, xw_wide, yw, "Invalid shape: expected [2, 2], got [2, 3]"},
        {q, xw, yw_wide, "Invalid shape: expected [2, 1], got [2, 2]"},
        {q, xw, yw_short, "Invalid parameter: x_whatif and y_whatif must have same number of rows"},
        {q, far, yw_short, "Invalid parameter: NaN or Inf in distance computation (check x, x_whatif for invalid values)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(error_text([&] {
                      compute_conditional_posterior_internals(model, view_of(c.x), view_of(c.xw), view_of(c.yw), p, PosteriorFlags{});
                  }),
                  c.text);
}
