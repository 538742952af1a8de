#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "qelbo/optimizer/acquisition.h"
#include "qelbo/core/array.h"
#include "qelbo/core/error.h"
#include "test_util.h"
#include "base/std_rng.h"

namespace {

using qelbo::Array2;
using qelbo::ParetoAcquisition;
using qelbo::testing::kInf;
using qelbo::testing::kNaN;
using Idx = std::vector<std::size_t>;

// Every row in exactly one front, and no front empty.
void check_fronts(const Array2& y, const std::vector<Idx>& fronts) {
    std::vector<int> front_of(y.rows, -1);
    for (std::size_t f = 0; f < fronts.size(); ++f) {
        ASSERT_FALSE(fronts[f].empty());
        for (std::size_t c : fronts[f]) {
            ASSERT_EQ(front_of[c], -1) << "row " << c << " twice";
            front_of[c] = static_cast<int>(f);
        }
    }
    for (std::size_t i = 0; i < y.rows; ++i) ASSERT_NE(front_of[i], -1) << "row " << i << " lost";
}

TEST(NonDominSort, FrontsMatchBruteForcePeelingInTwoAndThreeObjectives) {
    std::mt19937_64 gen(2);
    for (std::size_t m : {2u, 3u}) {
        for (int trial = 0; trial < 100; ++trial) {
            const std::size_t n = gen() % 30;
            Array2 y(n, m);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < m; ++j) y(i, j) = static_cast<double>(gen() % 5);
            const auto fronts = ParetoAcquisition::non_domin_sort(y);
            check_fronts(y, fronts);
            // Peel by brute force: the first front of what is left, each time.
            std::vector<char> left(n, 1);
            for (const Idx& front : fronts) {
                std::set<std::size_t> want;
                for (std::size_t p = 0; p < n; ++p) {
                    if (!left[p]) continue;
                    bool dom = false;
                    for (std::size_t q = 0; q < n && !dom; ++q) {
                        if (!left[q] || q == p) continue;
                        bool ge = true, gt = false;
                        for (std::size_t j = 0; j < m; ++j) {
                            ge = ge && y(q, j) >= y(p, j);
                            gt = gt || y(q, j) > y(p, j);
                        }
                        dom = ge && gt;
                    }
                    if (!dom) want.insert(p);
                }
                EXPECT_EQ(std::set<std::size_t>(front.begin(), front.end()), want);
                for (std::size_t c : front) left[c] = 0;
            }
        }
    }
}

TEST(NonDominSort, IdenticalRowsShareTheFirstFront) {
    Array2 y(4, 3, 1.5);
    const auto fronts = ParetoAcquisition::non_domin_sort(y);
    ASSERT_EQ(fronts.size(), 1u);
    EXPECT_EQ(fronts[0], (Idx{0, 1, 2, 3}));
}

TEST(NonDominSort, EndsAndPlacesEveryRowWhenValuesAreNaNOrMinusInfinity) {
    // Two objectives: the sweep never accepts a NaN or -inf second value.
    Array2 y2(4, 2);
    const double rows2[4][2] = {{1, kNaN}, {2, -kInf}, {0, 1}, {kNaN, kNaN}};
    for (int i = 0; i < 4; ++i) y2(i, 0) = rows2[i][0], y2(i, 1) = rows2[i][1];
    const auto f2 = ParetoAcquisition::non_domin_sort(y2);
    check_fronts(y2, f2);
    EXPECT_EQ(f2.front(), (Idx{2}));
    EXPECT_EQ(f2.back(), (Idx{0, 1, 3}));
    // Three objectives: NaN makes a dominance cycle 0 -> 1 -> 2 -> 0.
    Array2 y3(4, 3);
    const double rows3[4][3] = {{1, kNaN, 0}, {0, 1, kNaN}, {kNaN, 0, 1}, {-5, -5, -5}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) y3(i, j) = rows3[i][j];
    check_fronts(y3, ParetoAcquisition::non_domin_sort(y3));
}

TEST(ArmsFromParetoFronts, NonFiniteInputIsAnErrorNotAPanic) {
    const std::vector<double> mu{1, kInf}, se{1, 1};
    try {
        qelbo::arms_from_pareto_fronts(mu, se, 1, 0);
        ADD_FAILURE();
    } catch (const qelbo::Panic&) {
        ADD_FAILURE() << "panic";
    } catch (const qelbo::CoreError& e) {
        EXPECT_STREQ(e.what(), "mu and se must be finite");
    }
}

TEST(ArgmaxRandomTie, TiesAreSplitByOneDrawAndEmptyInputDrawsNothing) {
    auto rng = qelbo::StdRng::seed_from_u64(7);
    auto ref = qelbo::StdRng::seed_from_u64(7);
    EXPECT_EQ(qelbo::argmax_random_tie({}, rng), 0u);
    const std::vector<double> v{1, 3, 3, kNaN};
    const std::size_t got = qelbo::argmax_random_tie(v, rng);
    EXPECT_EQ(got, 1 + ref.gen_range_usize(0, 2));
    const std::vector<double> nan2{kNaN, kNaN};
    EXPECT_EQ(qelbo::argmax_random_tie(nan2, rng), ref.gen_range_usize(0, 2));
    const std::vector<double> one{-1, 5, kNaN, 4};
    EXPECT_EQ(qelbo::argmax_random_tie(one, rng), 1u);
    EXPECT_EQ(rng.next_u64(), ref.next_u64());  // the single maximum took no draw
}

}  // namespace
