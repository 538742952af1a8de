// Ask/tell loops of the optimizer: construction, initial design, trust-region
// length rules, acquisitions over a scripted surrogate, MORBO, refused tells.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "qelbo/optimizer/morbo_trust_region.h"
#include "qelbo/optimizer/optimizer.h"
#include "base/std_rng.h"
#include "test_util.h"

using namespace qelbo;
using namespace qelbo::testing;

namespace {

Array2 unit_bounds(std::size_t d) {
    Array2 b(d, 2);
    for (std::size_t j = 0; j < d; ++j) b(j, 1) = 1.0;
    return b;
}

Optimizer make_opt(OptimizerConfig config, std::size_t d, std::uint64_t num_init, std::uint64_t seed = 42,
                   StrategyState strategy = {}) {
    if (strategy.num_init == 0 && strategy.phase == StrategyPhase::InitThenTrustRegion)
        strategy = StrategyState::init_then_trust_region(num_init);
    auto rng = StdRng::seed_from_u64(seed);
    return Optimizer::new_with_strategy(unit_bounds(d), std::move(config), strategy, rng);
}

// A surrogate with a known smooth response: metric j peaks at x = 0.3 + 0.2 j.
class ScriptedSurrogate : public Surrogate {
public:
    std::vector<double> xs, ys;
    std::size_t d = 0, m = 0, n = 0;
    int fit_calls = 0;
    int flush_schedules = 0;
    bool fail_next_fit = false;
    bool fail_after_append = false;  // the rows stay, as after a refit that failed

    static double f(std::span<const double> x, std::size_t j) {
        double s = 0;
        for (double v : x) s -= (v - 0.3 - 0.2 * j) * (v - 0.3 - 0.2 * j);
        return s;
    }

    void fit(MatView x, MatView y, std::optional<MatView>, StdRng& rng) override {
        xs.clear();
        ys.clear();
        n = 0;
        fit_append(x, y, std::nullopt, rng);
    }
    void fit_append(MatView x, MatView y, std::optional<MatView>, StdRng& rng) override {
        std::uint8_t key[32];
        rng.fill_bytes(key, 32);
        if (fail_next_fit) {
            fail_next_fit = false;
            throw QELError::invalid_parameter("scripted fit failure");
        }
        d = x.cols;
        m = y.cols;
        xs.insert(xs.end(), x.data, x.data + x.size());
        ys.insert(ys.end(), y.data, y.data + y.size());
        n += x.rows;
        ++fit_calls;
        if (fail_after_append) {
            fail_after_append = false;
            throw QELError::invalid_parameter("scripted refit failure");
        }
    }
    SurrogatePrediction predict(MatView x) override {
        if (n == 0) throw QELError::invalid_parameter("Surrogate not fitted");
        SurrogatePrediction p{Array2(x.rows, m), Array2(x.rows, m)};
        for (std::size_t i = 0; i < x.rows; ++i)
            for (std::size_t j = 0; j < m; ++j) {
                p.mu(i, j) = f(x.row_span(i), j);
                p.se(i, j) = 0.01 * x(i, 0);
            }
        return p;
    }
    Array3 sample(MatView x, std::size_t num_samples, StdRng& rng) override {
        const double base = static_cast<double>(rng.next_u64() % 1000);
        Array3 out(num_samples, x.rows, m);
        for (std::size_t a = 0; a < num_samples; ++a)
            for (std::size_t i = 0; i < x.rows; ++i)
                for (std::size_t j = 0; j < m; ++j)
                    out(a, i, j) = f(x.row_span(i), j) + 0.01 * std::sin(base + 7.0 * a + 13.0 * i + j);
        return out;
    }
    std::optional<std::vector<double>> lengthscales() const override { return std::nullopt; }
    std::optional<std::size_t> fitted_num_metrics() const override {
        return n ? std::optional<std::size_t>(m) : std::nullopt;
    }
    std::optional<std::size_t> observation_count() const override {
        return n ? std::optional<std::size_t>(n) : std::nullopt;
    }
    std::vector<double> observation_row_x(std::size_t i) const override {
        if (i >= n) throw QELError::invalid_parameter("row_x index out of range");
        return {xs.begin() + i * d, xs.begin() + (i + 1) * d};
    }
    std::vector<double> observation_row_y(std::size_t i) const override {
        if (i >= n) throw QELError::invalid_parameter("row_y index out of range");
        return {ys.begin() + i * m, ys.begin() + (i + 1) * m};
    }
    std::optional<Array2> observations_y() const override {
        if (!n) return std::nullopt;
        return Array2(n, m, ys);
    }
    std::optional<Array2> observations_x() const override {
        if (!n) return std::nullopt;
        return Array2(n, d, xs);
    }
    void schedule_background_flush() override { ++flush_schedules; }
    void wait_for_background_flush() override {}
    void release_observation_pages() override {}
};

// An optimizer whose surrogate is the scripted one (tracker as with a k = 10 surrogate).
Optimizer with_scripted(OptimizerConfig config, std::size_t d, std::uint64_t num_init, ScriptedSurrogate** out) {
    std::optional<SurrogateConfig> settings = config.surrogate;
    config.surrogate.reset();
    Optimizer opt = make_opt(config, d, num_init);
    opt.config.surrogate = settings;
    auto s = std::make_unique<ScriptedSurrogate>();
    *out = s.get();
    opt.surrogate = std::move(s);
    opt.tracker = IncrementalIncumbentTracker(10, opt.metric_count(), false);
    return opt;
}

Array2 evaluate(const Array2& x, std::size_t m) {
    Array2 y(x.rows, m);
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < m; ++j) y(i, j) = ScriptedSurrogate::f(x.row_span(i), j);
    return y;
}

Array2 column_of(std::initializer_list<double> v) { return Array2(v.size(), 1, std::vector<double>(v)); }

Array2 points(std::size_t n, std::size_t d, double v) { return Array2(n, d, v); }

}  // namespace

// ---------------------------------------------------------------------------
// Construction

TEST(Optimizer, ConstructionChecksBoundsAndDimension) {
    auto rng = StdRng::seed_from_u64(1);
    EXPECT_EQ(error_text([&] {
                  Optimizer::new_with_strategy(Array2(3, 4), OptimizerConfig::turbo_zero(), StrategyState{}, rng);
              }),
              "Invalid shape: expected [3, 2], got [3, 4]");
    EXPECT_EQ(error_text([&] {
                  Optimizer::new_with_strategy(Array2(0, 2), OptimizerConfig::turbo_zero(), StrategyState{}, rng);
              }),
              "Invalid parameter: Sobol dimension must be in 1..=21201, got 0");
    ConfigOverrides o;
    o.trust_region = "morbo";
    o.num_metrics = 1;
    EXPECT_EQ(error_text([&] { make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 4); }),
              "Invalid parameter: Invalid parameter: num_metrics must be >= 2 for MORBO, got 1");
}

TEST(Optimizer, ConstructionDrawsOneWordThenWeightsThenShift) {
    ConfigOverrides o;
    o.trust_region = "morbo";
    o.num_metrics = 3;
    const Optimizer opt = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 4, 5, 99);
    auto rng = StdRng::seed_from_u64(99);
    (void)rng.next_u64();
    auto weights = MorboTrustRegion::make(4, MorboConfig{3});
    weights.resample_weights(rng);
    EXPECT_EQ(opt.trust_region.morbo()->weights, weights.weights);
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(opt.sobol_shift[j], rng.gen_f64());
    EXPECT_EQ(opt.tracker.mode(), IncrementalIncumbentTracker::Mode::KeepAll);
    EXPECT_EQ(opt.tracker.num_metrics(), 3u);
}

// ---------------------------------------------------------------------------
// Initial design

TEST(Optimizer, FirstAskIsTheLatinHypercubeOfTheAskSeed) {
    for (auto config : {OptimizerConfig::lhd_only(), OptimizerConfig::turbo_zero()}) {
        Optimizer opt = make_opt(config, 3, 10, 42,
                                 config.num_candidates_factor == 1.0 ? StrategyState::init_only(10) : StrategyState{});
        auto rng = StdRng::seed_from_u64(7);
        EXPECT_EQ(opt.ask(6, 7).data, latin_hypercube(3, 6, rng).data);
        EXPECT_GE(opt.telemetry.dt_gen, 0.0);
    }
}

TEST(Optimizer, IncumbentIsTheLaterOfEqualMaxima) {
    Optimizer opt = make_opt(OptimizerConfig::turbo_zero(), 1, 10);
    opt.tell(Array2(3, 1, std::vector<double>{0.1, 0.2, 0.3}), column_of({1.0, 4.0, 4.0}), 0);
    EXPECT_EQ(opt.incumbent_index, 2u);
    EXPECT_EQ(*opt.incumbent_x, std::vector<double>{0.3});
    EXPECT_EQ(opt.tr_obs_count(), 3u);
    EXPECT_EQ(error_text([&] { opt.obs_row_y(3); }), "Invalid parameter: observation index 3 out of range");
}

TEST(Optimizer, NaNObjectiveNeverBecomesTheIncumbent) {
    Optimizer opt = make_opt(OptimizerConfig::turbo_zero(), 1, 2);
    opt.tell(Array2(2, 1, std::vector<double>{0.1, 0.2}), column_of({kNaN, kNaN}), 0);
    EXPECT_FALSE(opt.incumbent_index);
    opt.tell(Array2(2, 1, std::vector<double>{0.3, 0.4}), column_of({-5.0, kNaN}), 0);
    EXPECT_EQ(opt.incumbent_index, 2u);
    opt.tell(Array2(1, 1, std::vector<double>{0.5}), column_of({kNaN}), 0);
    EXPECT_EQ(opt.incumbent_index, 2u);
    // A NaN batch is no improvement: a failure, and the best value stays.
    EXPECT_EQ(opt.trust_region.head().best_value, -5.0);
    EXPECT_EQ(opt.trust_region.head().failure_count, 1);
    EXPECT_EQ(opt.trust_region.head().y_min, -5.0);
}

// ---------------------------------------------------------------------------
// Refused tells change nothing

TEST(Optimizer, RefusedTellLeavesEverythingAsItWas) {
    Optimizer opt = make_opt(OptimizerConfig::turbo_zero(), 2, 4);
    opt.tell(points(2, 2, 0.5), column_of({1, 2}), 0);
    struct Case {
        Array2 x, y;
        const char* text;
    };
    const std::vector<Case> cases = {
        {points(3, 2, 0.5), column_of({1, 2}), "Invalid shape: expected [3, 1], got [2, 1]"},
        {points(0, 2, 0.5), Array2(0, 1), "Invalid parameter: observation delta requires appended rows"},
        {points(2, 3, 0.5), column_of({1, 2}), "Invalid shape: expected [2, 2], got [2, 3]"},
        {points(2, 2, 0.5), Array2(2, 2), "Invalid parameter: Turbo TR expects 1 objective column, got 2"},
        {points(1, 2, 1.5), column_of({1}), "Invalid parameter: x must be finite and within [0, 1], got 1.5 at row 0, column 0"},
        {points(1, 2, kNaN), column_of({1}), "Invalid parameter: x must be finite and within [0, 1], got NaN at row 0, column 0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_text([&] { opt.tell(c.x, c.y, 0); }), c.text);
        EXPECT_EQ(opt.own_rows, 2u);
        EXPECT_EQ(opt.tracker.num_told(), 2u);
        EXPECT_EQ(opt.strategy.told, 2u);
        EXPECT_TRUE(opt.strategy.in_init);
    }
    opt.tell(points(2, 2, 0.25), column_of({5, 0}), 0);
    EXPECT_FALSE(opt.strategy.in_init);
    EXPECT_EQ(opt.incumbent_index, 2u);
    EXPECT_EQ(opt.ask(2, 0).rows, 2u);
}

TEST(Optimizer, SurrogateRunsRefuseNonFiniteYBeforeTheModelSeesIt) {
    ScriptedSurrogate* s = nullptr;
    Optimizer opt = with_scripted(OptimizerConfig::turbo_qel(10), 2, 4, &s);
    EXPECT_EQ(error_text([&] { opt.tell(points(1, 2, 0.5), column_of({kNaN}), 0); }),
              "Invalid parameter: y must contain only finite values");
    EXPECT_EQ(s->n, 0u);
    EXPECT_EQ(opt.strategy.told, 0u);
}

TEST(Optimizer, FailedFitDuringDesignStillCountsRows) {
    ScriptedSurrogate* s = nullptr;
    Optimizer opt = with_scripted(OptimizerConfig::turbo_qel(10), 2, 4, &s);
    s->fail_next_fit = true;
    EXPECT_EQ(error_text([&] { opt.tell(points(4, 2, 0.5), column_of({1, 2, 3, 4}), 0); }),
              "Invalid parameter: scripted fit failure");
    EXPECT_EQ(opt.strategy.told, 4u);
    EXPECT_TRUE(opt.strategy.in_init);
    opt.tell(points(1, 2, 0.5), column_of({1}), 0);
    EXPECT_FALSE(opt.strategy.in_init);
    EXPECT_EQ(opt.tracker.num_told(), 1u);  // rebuilt from the surrogate's rows
}

TEST(Optimizer, SurrogateFailureAfterTheRowsArrivedLeavesTheOptimizerUsable) {
    for (const bool morbo : {false, true}) {
        for (const int failing_step : {0, 2}) {
            ConfigOverrides o;
            if (morbo) {
                o.trust_region = "morbo";
                o.num_metrics = 2;
            }
            const std::size_t m = morbo ? 2 : 1;
            ScriptedSurrogate* s = nullptr;
            Optimizer opt = with_scripted(o.apply_to(OptimizerConfig::turbo_qel(10)), 2, 4, &s);
            const Array2 init = opt.ask(4, 0);
            opt.tell(init, evaluate(init, m), 0);
            std::size_t told = 4;
            for (int step = 0; step < 5; ++step) {
                const Array2 x = opt.ask(2, 10 + step);
                ASSERT_EQ(x.rows, 2u);
                Array2 y = evaluate(x, m);
                if (step == failing_step) {
                    y(0, 0) = 100.0;  // a range only the failed batch reaches
                    s->fail_after_append = true;
                    EXPECT_EQ(error_text([&] { opt.tell(x, y, 20 + step); }), "Invalid parameter: scripted refit failure");
                } else {
                    opt.tell(x, y, 20 + step);
                }
                told += 2;
                EXPECT_EQ(s->n, told);
                EXPECT_EQ(opt.tr_obs_count(), told);
                EXPECT_EQ(opt.trust_region.head().prev_num_obs, told);
            }
            if (morbo) {
                EXPECT_EQ((*opt.trust_region.morbo()->objective_maxima)[0], 100.0);
            } else {
                EXPECT_EQ(opt.trust_region.head().y_max, 100.0);
            }
            EXPECT_EQ(opt.ask(3, 99).rows, 3u);
        }
    }
}

// ---------------------------------------------------------------------------
// TuRBO length rules through scripted tells

TEST(Optimizer, ScriptedTellsMoveTheTurboLength) {
    Optimizer opt = make_opt(OptimizerConfig::turbo_zero(), 2, 4);
    opt.tell(opt.ask(4, 0), column_of({0, 0.5, 1, 0.2}), 0);
    auto tell_one = [&](double v) { opt.tell(opt.ask(1, 1), column_of({v}), 1); };
    const TurboTrustRegion& r = opt.trust_region.head();

    tell_one(0.9);  // first trust-region tell only takes the incumbent value
    EXPECT_EQ(r.best_value, 1.0);
    EXPECT_EQ(r.prev_num_obs, 5u);
    EXPECT_EQ(r.failure_tolerance, 4);
    for (double v : {2.0, 3.0}) tell_one(v);
    EXPECT_EQ(r.length, 0.8);
    tell_one(4.0);
    EXPECT_EQ(r.length, 1.6);
    tell_one(10.0);
    tell_one(20.0);
    tell_one(30.0);
    EXPECT_EQ(r.length, 1.6);  // capped at length_max

    const std::vector<double> expected = {0.8, 0.4, 0.2, 0.1, 0.05, 0.025, 0.0125};
    for (double want : expected) {
        for (int k = 0; k < 4; ++k) tell_one(0.0);
        EXPECT_EQ(r.length, want);
    }
    EXPECT_EQ(opt.restart_count, 0u);
    for (int k = 0; k < 4; ++k) tell_one(0.0);
    EXPECT_EQ(r.length, 0.8);  // 0.00625 < length_min restarts the region
    EXPECT_EQ(opt.restart_count, 1u);
    EXPECT_EQ(r.best_value, -std::numeric_limits<double>::infinity());
    tell_one(0.0);
    EXPECT_EQ(r.best_value, 30.0);  // the incumbent is still the best row
}

TEST(Optimizer, TrustRegionBoxIsCentredOnTheIncumbentAndCutAtTheFaces) {
    ConfigOverrides o;
    o.candidate_rv = CandidateRv::Sobol;
    Optimizer opt = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 1);
    opt.tell(Array2(1, 2, std::vector<double>{1.0, 0.5}), column_of({1}), 0);
    const Array2 x = opt.ask(50, 3);
    for (std::size_t i = 0; i < x.rows; ++i) {
        EXPECT_GE(x(i, 0), 0.6);
        EXPECT_LE(x(i, 0), 1.0);
        EXPECT_GE(x(i, 1), 0.1);
        EXPECT_LE(x(i, 1), 0.9);
    }
    EXPECT_EQ(opt.sobol.count(), 2000u);
}

// ---------------------------------------------------------------------------
// Acquisitions and generators over the scripted surrogate

TEST(Optimizer, EveryAcquisitionAndGeneratorProposesDistinctPointsInTheCube) {
    const std::vector<Acquisition> acqs = {Acquisition::ucb(2.0), Acquisition::thompson(), Acquisition::random(),
                                           Acquisition::pareto()};
    for (const auto& acq : acqs) {
        for (CandidateRv rv : {CandidateRv::Sobol, CandidateRv::Uniform, CandidateRv::Raasp}) {
            ConfigOverrides o;
            o.acquisition = acq;
            o.candidate_rv = rv;
            ScriptedSurrogate* s = nullptr;
            Optimizer opt = with_scripted(o.apply_to(OptimizerConfig::turbo_qel(10)), 3, 6, &s);
            const Array2 init = opt.ask(6, 1);
            opt.tell(init, evaluate(init, 1), 1);
            const Array2 x = opt.ask(4, 2);
            ASSERT_EQ(x.rows, 4u);
            std::set<std::vector<double>> distinct;
            for (std::size_t i = 0; i < 4; ++i) {
                distinct.insert({x.row_span(i).begin(), x.row_span(i).end()});
                for (double v : x.row_span(i)) EXPECT_TRUE(v >= 0.0 && v <= 1.0);
            }
            EXPECT_EQ(distinct.size(), 4u);
            EXPECT_EQ(opt.telemetry.num_candidates, 3000u);
            opt.tell(x, evaluate(x, 1), 3);
            EXPECT_GT(opt.telemetry.dt_fit, 0.0);
        }
    }
}

TEST(Optimizer, UcbPicksTheHighestScoringCandidates) {
    ScriptedSurrogate* s = nullptr;
    Optimizer opt = with_scripted(OptimizerConfig::turbo_qel(10), 2, 4, &s);
    const Array2 init = opt.ask(4, 1);
    opt.tell(init, evaluate(init, 1), 1);
    const Array2 x = opt.ask(3, 5);
    // Reproduce the candidate set and rank it by brute force.
    Optimizer twin = with_scripted(OptimizerConfig::turbo_qel(10), 2, 4, &s);
    twin.tell(init, evaluate(init, 1), 1);
    Telemetry t;
    twin.config.acquisition = Acquisition::random();
    twin.surrogate.reset();
    auto rng = StdRng::seed_from_u64(5);
    const auto& c = *opt.incumbent_x;
    CandidateBox box{std::vector<double>(2), std::vector<double>(2)};
    for (std::size_t j = 0; j < 2; ++j) {
        box.lo[j] = std::clamp(c[j] - 0.4, 0.0, 1.0);
        box.hi[j] = std::clamp(c[j] + 0.4, 0.0, 1.0);
    }
    const Array2 cands = generate_uniform(box.lo, box.hi, 2000, rng);
    std::vector<double> scores(2000);
    for (std::size_t i = 0; i < 2000; ++i) scores[i] = ScriptedSurrogate::f(cands.row_span(i), 0) + 2.0 * 0.01 * cands(i, 0);
    std::vector<double> sorted = scores;
    std::sort(sorted.rbegin(), sorted.rend());
    for (std::size_t i = 0; i < 3; ++i) {
        const double got = ScriptedSurrogate::f(x.row_span(i), 0) + 2.0 * 0.01 * x(i, 0);
        EXPECT_EQ(got, sorted[i]);
    }
}

TEST(Optimizer, AskWithoutCandidatesOrArmsIsClear) {
    ConfigOverrides o;
    o.num_candidates_factor = 1.0;
    o.min_candidates = 1;
    Optimizer opt = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 0);
    opt.tell(points(1, 2, 0.5), column_of({1}), 0);
    EXPECT_EQ(opt.ask(5, 0).rows, 2u);  // N = 2 < num_arms
    EXPECT_EQ(opt.ask(0, 0).rows, 0u);
    opt.config.min_candidates = std::size_t{1} << 50;
    EXPECT_NE(error_text([&] { opt.ask(1, 0); }).find("more memory than the machine has"), std::string::npos);
    opt.config.min_candidates = std::numeric_limits<std::size_t>::max();
    EXPECT_NE(error_text([&] { opt.ask(1, 0); }).find("array size overflows"), std::string::npos);
    EXPECT_EQ(opt.telemetry.num_candidates, std::numeric_limits<std::size_t>::max());
}

// ---------------------------------------------------------------------------
// MORBO

TEST(Optimizer, MorboRunsWithTwoAndThreeMetrics) {
    for (std::size_t m : {2u, 3u}) {
        for (const auto& acq : {Acquisition::ucb(1.0), Acquisition::thompson(), Acquisition::pareto()}) {
            ConfigOverrides o;
            o.trust_region = "morbo";
            o.num_metrics = m;
            o.acquisition = acq;
            o.rescalarize = "on_restart";
            ScriptedSurrogate* s = nullptr;
            Optimizer opt = with_scripted(o.apply_to(OptimizerConfig::turbo_qel(10)), 2, 6, &s);
            const Array2 init = opt.ask(6, 1);
            opt.tell(init, evaluate(init, m), 1);
            const MorboTrustRegion& region = *opt.trust_region.morbo();
            ASSERT_TRUE(opt.incumbent_y);
            ASSERT_TRUE(region.stored_incumbent_y);
            for (std::uint64_t k = 0; k < 5; ++k) {
                const Array2 x = opt.ask(3, 10 + k);
                ASSERT_EQ(x.rows, 3u);
                opt.tell(x, evaluate(x, m), 20 + k);
            }
            EXPECT_EQ(region.head.prev_num_obs, 21u);
            EXPECT_EQ(opt.incumbent_y->size(), m);
            EXPECT_EQ(region.objective_minima->size(), m);
        }
    }
}

TEST(Optimizer, MorboWithoutSurrogateRestartsAndRebuildsRanges) {
    ConfigOverrides o;
    o.trust_region = "morbo";
    o.num_metrics = 2;
    o.length_init = 0.02;
    o.rescalarize = "on_restart";
    Optimizer opt = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 2);
    opt.tell(points(2, 2, 0.5), Array2(2, 2, std::vector<double>{1, 2, 3, 0}), 0);
    const auto weights = opt.trust_region.morbo()->weights;
    std::size_t steps = 0;
    while (opt.restart_count == 0 && steps++ < 50) {
        const Array2 x = opt.ask(4, steps);
        opt.tell(x, Array2(4, 2, 0.0), steps);
    }
    ASSERT_EQ(opt.restart_count, 1u);
    const MorboTrustRegion& region = *opt.trust_region.morbo();
    EXPECT_EQ(region.head.length, 0.02);
    EXPECT_NE(region.weights, weights);
    EXPECT_EQ(*region.objective_minima, (std::vector<double>{0, 0}));
    EXPECT_EQ(*region.objective_maxima, (std::vector<double>{3, 2}));
    EXPECT_FALSE(region.stored_incumbent_y);
    EXPECT_EQ(error_text([&] { opt.tell(points(1, 2, 0.5), column_of({1}), 0); }),
              "Invalid parameter: y has 1 metric columns but the trust region expects 2");
}

TEST(Optimizer, MorboRowWithANaNMetricNeverBecomesTheIncumbent) {
    ConfigOverrides o;
    o.trust_region = "morbo";
    o.num_metrics = 2;
    Optimizer opt = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 3);
    // Metric 0 has one finite value, so its range is degenerate and scores every row 0.5.
    const Array2 x(3, 2, std::vector<double>{0.1, 0.1, 0.2, 0.2, 0.3, 0.3});
    opt.tell(x, Array2(3, 2, std::vector<double>{kNaN, 3, 5, 1, 5, 2}), 0);
    EXPECT_EQ(opt.incumbent_index, 2u);
    EXPECT_EQ(*opt.incumbent_y, (std::vector<double>{5, 2}));
    // With only NaN rows there is no incumbent.
    Optimizer all_nan = make_opt(o.apply_to(OptimizerConfig::turbo_zero()), 2, 3);
    all_nan.tell(points(2, 2, 0.5), Array2(2, 2, std::vector<double>{kNaN, 3, 4, kNaN}), 0);
    EXPECT_FALSE(all_nan.incumbent_index);
}

TEST(Optimizer, ObservationsComeFromTheSurrogateWhenThereIsOne) {
    ScriptedSurrogate* s = nullptr;
    Optimizer opt = with_scripted(OptimizerConfig::turbo_qel(10), 2, 4, &s);
    EXPECT_FALSE(opt.x_obs());
    EXPECT_EQ(opt.tr_obs_count(), 0u);
    opt.tell(points(3, 2, 0.25), column_of({1, 2, 3}), 0);
    EXPECT_EQ(opt.tr_obs_count(), 3u);
    EXPECT_EQ(opt.x_obs()->rows, 3u);
    EXPECT_EQ(opt.own_rows, 0u);
    EXPECT_EQ(s->flush_schedules, 1);
    opt.tell(points(64, 2, 0.25), Array2(64, 1, 0.0), 0);
    EXPECT_EQ(s->flush_schedules, 1);  // 64-row batches schedule no flush
}
