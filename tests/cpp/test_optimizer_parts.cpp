// Configuration, trust-region rules, MORBO scalarisation, incumbent tracker
// and candidate generators.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "qelbo/optimizer/candidates.h"
#include "qelbo/optimizer/config.h"
#include "qelbo/optimizer/incumbent_tracker.h"
#include "qelbo/optimizer/morbo_trust_region.h"
#include "qelbo/numerics/sobol_engine.h"
#include "base/std_rng.h"
#include "qelbo/optimizer/strategy.h"
#include "qelbo/optimizer/trust_region.h"
#include "test_util.h"

using namespace qelbo;
using namespace qelbo::testing;

// ---------------------------------------------------------------------------
// Configuration

TEST(OptimizerConfig, VariantsCarryTheirDefaults) {
    const auto qel = OptimizerConfig::turbo_qel(7);
    EXPECT_EQ(qel.num_candidates_factor, 1000.0);
    EXPECT_EQ(qel.min_candidates, 100u);
    EXPECT_EQ(qel.acquisition, Acquisition::ucb(2.0));
    ASSERT_TRUE(qel.surrogate);
    EXPECT_EQ(qel.surrogate->k, 7);
    EXPECT_EQ(qel.surrogate->num_fit_candidates, 30u);
    EXPECT_EQ(qel.surrogate->num_fit_samples, 10u);
    EXPECT_TRUE(qel.surrogate->infer_aleatoric_variance_scale);
    EXPECT_FALSE(qel.surrogate->scale_x);
    EXPECT_EQ(std::get<TurboConfig>(qel.trust_region), (TurboConfig{0.8, 0.0078125, 1.6}));

    const auto zero = OptimizerConfig::turbo_zero();
    EXPECT_FALSE(zero.surrogate);
    EXPECT_EQ(zero.acquisition.kind, Acquisition::Kind::Random);
    const auto lhd = OptimizerConfig::lhd_only();
    EXPECT_EQ(lhd.num_candidates_factor, 1.0);
    EXPECT_EQ(lhd.min_candidates, 1u);
    EXPECT_EQ(lhd.candidate_rv, CandidateRv::Uniform);
    EXPECT_FALSE(lhd.max_candidates || lhd.num_candidates_per_arm || lhd.noise_aware);
}

TEST(OptimizerConfig, MorboOverrideUsesDefaultsAndIgnoresOldLengths) {
    ConfigOverrides o;
    o.trust_region = "morbo";
    auto base = OptimizerConfig::turbo_zero();
    std::get<TurboConfig>(base.trust_region).length_init = 0.3;
    const auto c = o.apply_to(base);
    EXPECT_EQ(std::get<MorboConfig>(c.trust_region), MorboConfig{});
    EXPECT_EQ(std::get<MorboConfig>(c.trust_region).rescalarize, RescalarizePolicy::OnPropose);

    o.length_init = 0.5;
    o.rescalarize = "on_restart";
    o.noise_aware = true;
    const auto m = std::get<MorboConfig>(o.apply_to(base).trust_region);
    EXPECT_EQ(m.length_init, 0.5);
    EXPECT_EQ(m.length_min, 0.0078125);
    EXPECT_EQ(m.rescalarize, RescalarizePolicy::OnRestart);
    EXPECT_TRUE(m.noise_aware);
    EXPECT_TRUE(o.apply_to(base).noise_aware);

    o.rescalarize = "On_Restart";
    EXPECT_EQ(std::get<MorboConfig>(o.apply_to(base).trust_region).rescalarize, RescalarizePolicy::OnPropose);
}

TEST(OptimizerConfig, OtherRegionWordsLeaveRegionAndLengthsAlone) {
    for (const char* word : {"MORBO", "turbo", ""}) {
        ConfigOverrides o;
        o.trust_region = word;
        o.length_init = 0.5;
        const auto c = o.apply_to(OptimizerConfig::turbo_zero());
        EXPECT_EQ(std::get<TurboConfig>(c.trust_region).length_init, 0.8) << word;
    }
    ConfigOverrides o;
    o.length_max = 3.0;
    o.num_metrics = 3;
    o.rescalarize = "on_restart";
    const auto t = std::get<TurboConfig>(o.apply_to(OptimizerConfig::turbo_zero()).trust_region);
    EXPECT_EQ(t, (TurboConfig{0.8, 0.0078125, 3.0}));
}

TEST(OptimizerConfig, SurrogateOverridesOnlyTouchVariantsWithASurrogate) {
    ConfigOverrides o;
    o.work_dir = "/tmp/w";
    o.num_fit_samples = 5;
    o.scale_x = true;
    EXPECT_FALSE(o.apply_to(OptimizerConfig::turbo_zero()).surrogate);
    EXPECT_FALSE(o.apply_to(OptimizerConfig::lhd_only()).surrogate);
    const auto s = *o.apply_to(OptimizerConfig::turbo_qel(10)).surrogate;
    EXPECT_EQ(s.work_dir, "/tmp/w");
    EXPECT_EQ(s.num_fit_samples, 5u);
    EXPECT_TRUE(s.scale_x);
    EXPECT_EQ(s.qel_storage, StorageMode::Memory);
    EXPECT_EQ(ConfigOverrides{}.apply_to(OptimizerConfig::turbo_qel(10)), OptimizerConfig::turbo_qel(10));
}

TEST(OptimizerConfig, SenselessOverridesAreRefusedNamingTheKey) {
    struct Case {
        std::function<void(ConfigOverrides&)> set;
        const char* text;
    };
    const std::vector<Case> cases = {
        {[](auto& o) { o.length_init = -0.1; }, "Invalid parameter: length_init must be finite and >= 0, got -0.1"},
        {[](auto& o) { o.length_min = kNaN; }, "Invalid parameter: length_min must be finite and >= 0, got NaN"},
        {[](auto& o) { o.length_max = kInf; }, "Invalid parameter: length_max must be finite and >= 0, got inf"},
        {[](auto& o) { o.num_candidates_factor = 0.0; },
         "Invalid parameter: num_candidates_factor must be finite and > 0, got 0"},
        {[](auto& o) { o.min_candidates = 0; }, "Invalid parameter: min_candidates must be > 0, got 0"},
        {[](auto& o) { o.max_candidates = 0; }, "Invalid parameter: max_candidates must be > 0, got 0"},
        {[](auto& o) { o.num_candidates_per_arm = 0; },
         "Invalid parameter: num_candidates_per_arm must be > 0, got 0"},
    };
    for (const auto& c : cases) {
        ConfigOverrides o;
        c.set(o);
        EXPECT_EQ(error_text([&] { o.validate(); }), c.text);
    }
    ConfigOverrides swapped;
    swapped.length_min = 2.0;
    EXPECT_EQ(error_text([&] { validate_config(swapped.apply_to(OptimizerConfig::turbo_zero())); }),
              "Invalid parameter: length_min must not exceed length_max, got 2 > 1.6");
    EXPECT_EQ(error_text([&] { validate_config(OptimizerConfig::turbo_qel(0)); }),
              "Invalid parameter: k must be > 0, got 0");
    EXPECT_EQ(error_text([] { validate_config(OptimizerConfig::turbo_qel(1)); }), "<no error>");
}

// ---------------------------------------------------------------------------
// TuRBO rules

TEST(TurboTrustRegion, FailureToleranceFollowsBatchAndDimension) {
    EXPECT_EQ(failure_tolerance_for(1, 10), 10);
    EXPECT_EQ(failure_tolerance_for(8, 2), 1);
    EXPECT_EQ(failure_tolerance_for(3, 2), 2);
    EXPECT_EQ(failure_tolerance_for(4, 10), 3);
    EXPECT_EQ(failure_tolerance_for(1, 2), 4);
    EXPECT_EQ(failure_tolerance_for(0, 2), std::numeric_limits<std::int32_t>::max());
}

TEST(TurboTrustRegion, SuccessNeedsToBeatBestByTheRangeMargin) {
    for (const auto& [v, success] : std::vector<std::pair<double, bool>>{{1.002, false}, {1.0021, true}}) {
        auto r = TurboTrustRegion::make(2, 0.8, 0.0078125, 1.6);
        r.best_value = 1.0;
        r.y_min = 0.0;
        r.y_max = 2.0;
        r.prev_num_obs = 5;
        const double told[] = {v};
        r.update_with_incumbent(v, told, 6);
        EXPECT_EQ(r.success_count, success ? 1 : 0) << v;
        EXPECT_EQ(r.failure_count, success ? 0 : 1) << v;
        EXPECT_EQ(r.prev_num_obs, 6u);
        EXPECT_EQ(r.best_value, v);
    }
}

TEST(TurboTrustRegion, FirstUpdateTakesValueWithoutCounting) {
    auto r = TurboTrustRegion::make(2, 0.8, 0.0078125, 1.6);
    const double told[] = {3.0, -1.0, kNaN};
    r.update_with_incumbent(3.0, told, 15);
    EXPECT_EQ(r.best_value, 3.0);
    EXPECT_EQ(r.success_count + r.failure_count, 0);
    EXPECT_EQ(r.y_min, -1.0);
    EXPECT_EQ(r.y_max, 3.0);
}

TEST(TurboTrustRegion, LengthDoublesCapsHalvesAndRestarts) {
    auto r = TurboTrustRegion::make(2, 1.0, 0.0078125, 1.6);
    r.best_value = 0.0;
    for (int i = 1; i <= 3; ++i) r.count_and_resize(i, 0.0);
    EXPECT_EQ(r.length, 1.6);
    EXPECT_EQ(r.success_count, 0);

    r.length = 0.01;
    r.failure_tolerance = 1;
    r.count_and_resize(-5.0, 0.0);
    EXPECT_EQ(r.length, 0.005);
    ASSERT_TRUE(r.needs_restart());
    r.restart();
    EXPECT_EQ(r.length, 1.0);
    EXPECT_EQ(r.best_value, -kInf);
    EXPECT_EQ(r.y_min, kInf);
    EXPECT_EQ(r.y_max, -kInf);
}

TEST(TurboTrustRegion, NaNValueIsAFailureAndNeverTheBest) {
    auto r = TurboTrustRegion::make(2, 0.8, 0.0078125, 1.6);
    r.update_scalar_incumbent(3, kNaN);
    EXPECT_EQ(r.best_value, -kInf);
    r.best_value = 1.0;
    r.update_scalar_incumbent(4, kNaN);
    EXPECT_EQ(r.failure_count, 1);
    EXPECT_EQ(r.best_value, 1.0);
}

TEST(TurboTrustRegion, ScalarUpdateRefusesGoingBackwardsAndIgnoresRepeats) {
    auto r = TurboTrustRegion::make(2, 0.8, 0.0078125, 1.6);
    r.prev_num_obs = 7;
    EXPECT_EQ(error_text([&] { r.update_scalar_incumbent(5, 1.0); }),
              "Invalid state: num_obs went backwards: 5 < 7");
    r.update_scalar_incumbent(7, 1.0);
    r.update_scalar_incumbent(0, 1.0);
    EXPECT_EQ(r.best_value, -kInf);
    r.update_scalar_incumbent(8, 1.0);
    EXPECT_EQ(r.best_value, 1.0);
    EXPECT_EQ(r.prev_num_obs, 8u);
}

// ---------------------------------------------------------------------------
// MORBO

TEST(MorboTrustRegion, ScalarisationWorkedExamples) {
    const std::vector<double> lo{0, 0}, hi{2, 4}, w{0.5, 0.5};
    const double rows[] = {1, 1, 3, -1};
    const MatView y = MatView::row_major(rows, 2, 2);
    const auto clipped = scalarize_with_ranges(y, lo, hi, w, 2, true, 0.05);
    EXPECT_DOUBLE_EQ(clipped[0], 0.14375);
    EXPECT_DOUBLE_EQ(clipped[1], 0.025);
    EXPECT_DOUBLE_EQ(scalarize_with_ranges(y, lo, hi, w, 2, false, 0.05)[1], -0.09375);

    const std::vector<double> flat_hi{0, 4};
    const auto flat = scalarize_with_ranges(y, lo, flat_hi, w, 2, false, 0.0);
    EXPECT_DOUBLE_EQ(flat[0], 0.125);  // min(0.5 * 0.5, 0.25 * 0.5)

    const double wide[] = {1, 2, 3};
    EXPECT_EQ(error_text([&] { scalarize_with_ranges(MatView::row_major(wide, 1, 3), lo, hi, w, 2, true, 0.05); }),
              "Invalid parameter: shape mismatch: y [1, 3], y_min 2, y_max 2");
}

TEST(MorboTrustRegion, RangesIgnoreNaNAndScalarizeNeedsThem) {
    auto r = MorboTrustRegion::make(3, MorboConfig{});
    EXPECT_EQ(error_text([&] { r.scalarize(MatView{}, true); }),
              "Invalid state: scalarize called before observations");
    const double rows[] = {1, 5, 3, kNaN};
    r.update_ranges_incremental(MatView::row_major(rows, 2, 2));
    EXPECT_EQ(*r.objective_minima, (std::vector<double>{1, 5}));
    EXPECT_EQ(*r.objective_maxima, (std::vector<double>{3, 5}));
}

TEST(MorboTrustRegion, WeightsArePositiveSumToOneAndFollowTheSeed) {
    for (std::size_t m : {2u, 3u, 7u}) {
        MorboConfig c;
        c.num_metrics = m;
        auto a = MorboTrustRegion::make(2, c);
        auto b = MorboTrustRegion::make(2, c);
        auto ra = StdRng::seed_from_u64(m);
        auto rb = StdRng::seed_from_u64(m);
        a.resample_weights(ra);
        b.resample_weights(rb);
        EXPECT_EQ(a.weights, b.weights);
        double sum = 0;
        for (double w : a.weights) {
            EXPECT_GT(w, 0.0);
            sum += w;
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
        // Normalised exponentials of the generator's standard doubles.
        auto rc = StdRng::seed_from_u64(m);
        std::vector<double> e(m);
        double s = 0;
        for (auto& v : e) s += (v = -std::log(rc.gen_f64()));
        for (std::size_t j = 0; j < m; ++j) EXPECT_EQ(a.weights[j], e[j] / s);
    }
}

// ---------------------------------------------------------------------------
// Incumbent tracker

TEST(IncumbentTracker, BestWithTiesKeepsRowsOfTheBestValue) {
    IncrementalIncumbentTracker t(10, 1, false);
    const double v[] = {1.0, 3.0, 3.0, 2.0};
    for (std::size_t i = 0; i < 4; ++i) t.tell(i, std::span(&v[i], 1));
    EXPECT_EQ(t.best_value(), 3.0);
    EXPECT_EQ(t.candidate_rows(), (std::vector<std::size_t>{1, 2}));
}

TEST(IncumbentTracker, NaNNeverBecomesTheBestValue) {
    IncrementalIncumbentTracker t(10, 1, false);
    const double v[] = {kNaN, 5.0, kNaN};
    for (std::size_t i = 0; i < 3; ++i) t.tell(i, std::span(&v[i], 1));
    EXPECT_EQ(t.best_value(), 5.0);
    EXPECT_EQ(t.candidate_rows(), (std::vector<std::size_t>{1}));

    IncrementalIncumbentTracker top(2, 1, true);
    for (std::size_t i = 0; i < 3; ++i) top.tell(i, std::span(&v[i], 1));
    EXPECT_EQ(top.candidate_rows(), (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(top.top_rows()[0].row, 1u);
}

TEST(IncumbentTracker, TopListsKeepLowerRowsAmongEqualValues) {
    IncrementalIncumbentTracker t(2, 1, true);
    const double v[] = {1.0, 3.0, 3.0, 2.0};
    for (std::size_t i = 0; i < 4; ++i) t.tell(i, std::span(&v[i], 1));
    EXPECT_EQ(t.candidate_rows(), (std::vector<std::size_t>{1, 2}));

    IncrementalIncumbentTracker same(2, 1, true);
    for (std::size_t i = 0; i < 3; ++i) same.tell(i, std::span(&v[1], 1));
    EXPECT_EQ(same.candidate_rows(), (std::vector<std::size_t>{0, 1}));

    IncrementalIncumbentTracker zeros(1, 1, true);
    const double z[] = {-0.0, 0.0};
    zeros.tell(0, std::span(&z[0], 1));
    zeros.tell(1, std::span(&z[1], 1));
    EXPECT_EQ(zeros.candidate_rows(), (std::vector<std::size_t>{1}));
}

TEST(IncumbentTracker, PerMetricListsUnionTheirRows) {
    IncrementalIncumbentTracker t(1, 2, false);
    const double rows[][2] = {{1, 9}, {5, 0}, {2, 2}};
    for (std::size_t i = 0; i < 3; ++i) t.tell(i, rows[i]);
    EXPECT_EQ(t.per_metric_top_rows()[0][0].row, 1u);
    EXPECT_EQ(t.per_metric_top_rows()[1][0].row, 0u);
    EXPECT_EQ(t.candidate_rows(), (std::vector<std::size_t>{0, 1}));
}

TEST(IncumbentTracker, KeepAllResetsToNewRows) {
    IncrementalIncumbentTracker t(1'000'000'001, 1, false);
    EXPECT_EQ(t.mode(), IncrementalIncumbentTracker::Mode::KeepAll);
    const double v = 0;
    for (std::size_t i = 0; i < 5; ++i) t.tell(i, std::span(&v, 1));
    t.reset();
    for (std::size_t i = 0; i < 3; ++i) t.tell(i, std::span(&v, 1));
    EXPECT_EQ(t.candidate_rows(), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(t.num_told(), 3u);
}

TEST(IncumbentTracker, TopListMatchesBruteForceRanking) {
    auto rng = StdRng::seed_from_u64(3);
    for (std::size_t cap : {1u, 3u, 10u}) {
        IncrementalIncumbentTracker t(cap, 1, true);
        std::vector<IncrementalIncumbentTracker::Entry> all;
        for (std::size_t i = 0; i < 200; ++i) {
            // Coarse values make ties common.
            const double v = std::floor(rng.gen_f64() * 8.0);
            t.tell(i, std::span(&v, 1));
            all.push_back({i, v});
        }
        std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.value > b.value; });
        all.resize(cap);
        ASSERT_EQ(t.top_rows().size(), cap);
        for (std::size_t k = 0; k < cap; ++k) EXPECT_EQ(t.top_rows()[k].row, all[k].row);
    }
}

// ---------------------------------------------------------------------------
// Candidates

namespace {

// 64-bit unbiased draw in 0..=i straight from raw words (rand 0.8 sample_single_inclusive).
std::uint64_t reference_index(StdRng& rng, std::uint64_t i) {
    const std::uint64_t range = i + 1;
    const std::uint64_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
        const unsigned __int128 p = static_cast<unsigned __int128>(rng.next_u64()) * range;
        if (static_cast<std::uint64_t>(p) <= zone) return static_cast<std::uint64_t>(p >> 64);
    }
}

Array2 reference_lhd(std::uint64_t seed, std::size_t d, std::size_t n) {
    auto rng = StdRng::seed_from_u64(seed);
    Array2 x(n, d);
    for (std::size_t j = 0; j < d; ++j) {
        std::vector<std::uint64_t> p(n);
        for (std::size_t i = 0; i < n; ++i) p[i] = i;
        for (std::size_t i = n; i-- > 1;) std::swap(p[i], p[reference_index(rng, i)]);
        for (std::size_t r = 0; r < n; ++r) {
            const double u = static_cast<double>(rng.next_u64() >> 11) / 9007199254740992.0;
            x(r, j) = double(p[r]) / double(n) + u * (double(p[r] + 1) / double(n) - double(p[r]) / double(n));
        }
    }
    return x;
}

}  // namespace

TEST(Candidates, LatinHypercubeMatchesRawDrawsAndFillsEveryCell) {
    for (std::size_t n : {1u, 4u, 9u, 33u}) {
        auto rng = StdRng::seed_from_u64(42 + n);
        const Array2 x = latin_hypercube(3, n, rng);
        EXPECT_EQ(x.data, reference_lhd(42 + n, 3, n).data) << n;
        for (std::size_t j = 0; j < 3; ++j) {
            std::set<std::size_t> cells;
            for (std::size_t r = 0; r < n; ++r) cells.insert(static_cast<std::size_t>(std::floor(x(r, j) * n)));
            EXPECT_EQ(cells.size(), n);
        }
    }
    auto rng = StdRng::seed_from_u64(1);
    EXPECT_EQ(latin_hypercube(3, 0, rng).rows, 0u);
    EXPECT_EQ(rng.next_u64(), StdRng::seed_from_u64(1).next_u64());  // nothing drawn
}

TEST(Candidates, UniformDrawsStayInTheirBoxAndDegenerateDimsTakeLow) {
    auto rng = StdRng::seed_from_u64(5);
    const std::vector<double> lo{0.2, 0.5, 0.0}, hi{0.4, 0.5, 1.0};
    const Array2 x = generate_uniform(lo, hi, 500, rng);
    for (std::size_t i = 0; i < x.rows; ++i) {
        EXPECT_GE(x(i, 0), 0.2);
        EXPECT_LT(x(i, 0), 0.4);
        EXPECT_EQ(x(i, 1), 0.5);
    }
    // Row-major draw order with the Uniform distribution's scale.
    auto r1 = StdRng::seed_from_u64(9);
    auto r2 = StdRng::seed_from_u64(9);
    const Array2 a = generate_uniform(std::vector<double>{0.1, 0.3}, std::vector<double>{0.2, 0.9}, 3, r1);
    const Uniform<double> u0(0.1, 0.2), u1(0.3, 0.9);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(a(i, 0), u0.sample(r2));
        EXPECT_EQ(a(i, 1), u1.sample(r2));
    }
}

TEST(Candidates, FirstSobolCandidateIsTheShiftMappedIntoTheBox) {
    SobolEngine engine(2);
    const std::vector<double> shift{0.25, 0.75};
    const CandidateBox box{{0.1, 0.0}, {0.5, 0.5}};
    const Array2 x = sobol_candidates(engine, shift, box, 4);
    EXPECT_DOUBLE_EQ(x(0, 0), 0.1 + 0.25 * 0.4);
    EXPECT_DOUBLE_EQ(x(0, 1), 0.75 * 0.5);
    // Second point is (0.5, 0.5): shifted modulo 1.
    EXPECT_DOUBLE_EQ(x(1, 0), 0.1 + 0.75 * 0.4);
    EXPECT_DOUBLE_EQ(x(1, 1), 0.25 * 0.5);
    EXPECT_EQ(engine.count(), 4u);
}

TEST(Candidates, RaaspChangesOnlyChosenCoordinatesInsideTheBox) {
    auto rng = StdRng::seed_from_u64(11);
    const std::vector<double> center(30, 0.5);
    CandidateBox box{std::vector<double>(30, 0.4), std::vector<double>(30, 0.6)};
    const Array2 x = raasp_candidates(center, box, std::nullopt, 200, rng);
    for (std::size_t i = 0; i < x.rows; ++i) {
        int changed = 0;
        for (std::size_t j = 0; j < 30; ++j) {
            EXPECT_GE(x(i, j), 0.4);
            EXPECT_LT(x(i, j), 0.6);
            changed += x(i, j) != 0.5;
        }
        EXPECT_GE(changed, 1);
        EXPECT_LE(changed, 20);
    }
    auto one = StdRng::seed_from_u64(12);
    const Array2 y = raasp_candidates(std::vector<double>{0.9}, CandidateBox{{0.8}, {1.0}}, std::nullopt, 50, one);
    for (std::size_t i = 0; i < y.rows; ++i) EXPECT_TRUE(y(i, 0) >= 0.8 && y(i, 0) < 1.0);
}

TEST(Candidates, CountFollowsFactorCapsAndPerArmRule) {
    auto config = OptimizerConfig::turbo_qel(10);
    EXPECT_EQ(candidate_count(config, 3, 1), 3000u);
    EXPECT_EQ(candidate_count(config, 1, 1), 1000u);
    config.num_candidates_factor = 0.01;
    EXPECT_EQ(candidate_count(config, 5, 1), 100u);
    config.num_candidates_factor = 1000.0;
    config.max_candidates = 500;
    EXPECT_EQ(candidate_count(config, 10, 1), 10000u);  // cap only at factor 100
    config.num_candidates_factor = 100.0;
    EXPECT_EQ(candidate_count(config, 10, 1), 500u);
    config.max_candidates.reset();
    config.num_candidates_factor = 1000.0;
    config.num_candidates_per_arm = 300;
    EXPECT_EQ(candidate_count(config, 1, 4), 1200u);
    config.max_candidates = 50;
    EXPECT_EQ(candidate_count(config, 1, 4), 1200u);

    auto lhd = OptimizerConfig::lhd_only();
    lhd.max_candidates = 50;
    lhd.min_candidates = 50;
    EXPECT_EQ(candidate_count(lhd, 77, 3), 50u);

    config.num_candidates_per_arm = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_EQ(error_text([&] { candidate_count(config, 1, 4); }).rfind("Invalid parameter: candidate count overflows", 0),
              0u);
}
