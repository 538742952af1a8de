// The neighbour surrogate behind the optimizer's interface.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "model_test_util.h"
#include "qelbo/fit/draw.h"
#include "qelbo/core/error.h"
#include "qelbo/fit/qel_surrogate.h"
#include "base/std_rng.h"

using namespace qelbo;
using namespace qelbo::testing;

namespace {

StdRng advanced(StdRng r, std::size_t bytes) {
    std::vector<std::uint8_t> sink(bytes);
    r.fill_bytes(sink.data(), bytes);
    return r;
}

SurrogateConfig config(std::int32_t k = 4) {
    SurrogateConfig c;
    c.k = k;
    c.num_fit_candidates = 6;
    c.num_fit_samples = 15;
    return c;
}

struct Batch {
    Array2 x, y;
};

Batch batch(std::uint64_t seed, std::size_t n) {
    std::mt19937_64 g(seed);
    std::uniform_real_distribution<double> u;
    Batch b{Array2(n, 2), Array2(n, 1)};
    for (std::size_t i = 0; i < n; ++i) {
        b.x(i, 0) = u(g);
        b.x(i, 1) = u(g);
        b.y(i, 0) = std::sin(6.0 * b.x(i, 0)) + b.x(i, 1);
    }
    return b;
}

}  // namespace

TEST(QELSurrogate, EmptySurrogateIsNotFitted) {
    QELSurrogate s(config());
    const Array2 q(1, 2);
    StdRng rng = StdRng::seed_from_u64(0);
    EXPECT_EQ(error_text([&] { s.predict(q); }), "Invalid parameter: Surrogate not fitted");
    EXPECT_EQ(error_text([&] { s.sample(q, 2, rng); }), "Invalid parameter: Surrogate not fitted");
    EXPECT_EQ(error_text([&] { s.observation_row_x(0); }), "Invalid parameter: Surrogate not fitted");
    EXPECT_FALSE(s.observations_x().has_value());
    EXPECT_FALSE(s.observations_y().has_value());
    EXPECT_FALSE(s.observation_count().has_value());
    EXPECT_FALSE(s.fitted_num_metrics().has_value());
    EXPECT_FALSE(s.lengthscales().has_value());
    s.schedule_background_flush();
    s.wait_for_background_flush();
    s.release_observation_pages();
}

TEST(QELSurrogate, ConsumesThirtyTwoBytesPerFitAndEightPerSample) {
    QELSurrogate s(config());
    StdRng rng = StdRng::seed_from_u64(77);
    for (std::uint64_t b = 0; b < 3; ++b) {
        const Batch data = batch(b, 12);
        const StdRng before = rng;
        s.fit_append(data.x, data.y, std::nullopt, rng);
        EXPECT_TRUE(same_state(rng, advanced(before, 32)));
    }
    const Batch q = batch(9, 5);
    const StdRng before = rng;
    s.sample(q.x, 1000, rng);
    EXPECT_TRUE(same_state(rng, advanced(before, 8)));
    const StdRng before_fit = rng;
    s.fit(q.x, q.y, std::nullopt, rng);
    EXPECT_TRUE(same_state(rng, advanced(before_fit, 32)));
}

TEST(QELSurrogate, EachAppendRefitsFromAKeyedGeneratorWithTheLastParamsAsWarmStart) {
    const SurrogateConfig c = config();
    QELSurrogate s(c);
    StdRng rng = StdRng::seed_from_u64(31);
    const Batch first = batch(3, 25), second = batch(4, 9);
    Array2 both_x(34, 2), both_y(34, 1);
    for (std::size_t i = 0; i < 34; ++i) {
        const Batch& b = i < 25 ? first : second;
        const std::size_t r = i < 25 ? i : i - 25;
        both_x(i, 0) = b.x(r, 0);
        both_x(i, 1) = b.x(r, 1);
        both_y(i, 0) = b.y(r, 0);
    }

    // The reference: a fitter told the same rows, asked with a generator keyed by the
    // next 32 bytes of the caller's stream.
    StdRng replay = rng;
    auto next_key = [&] {
        std::array<std::uint8_t, 32> key{};
        replay.fill_bytes(key.data(), key.size());
        return StdRng::from_seed(key);
    };
    QELFitter ref(c.k, c.infer_aleatoric_variance_scale);
    ref.tell(first.x, first.y, std::nullopt);
    StdRng g1 = next_key();
    const QELParams p1 = ref.ask(memory_model(first.x, first.y), c.num_fit_candidates, c.num_fit_samples,
                                 std::nullopt, g1);
    ref.tell(second.x, second.y, std::nullopt);
    StdRng g2 = next_key();
    const QELParams p2 = ref.ask(memory_model(both_x, both_y), c.num_fit_candidates, c.num_fit_samples, p1, g2);

    auto same = [](const QELParams& a, const QELParams& b) {
        return a.epistemic_variance_scale == b.epistemic_variance_scale &&
               a.aleatoric_variance_scale == b.aleatoric_variance_scale && a.k_num_neighbors == b.k_num_neighbors;
    };
    s.fit_append(first.x, first.y, std::nullopt, rng);
    EXPECT_TRUE(same(*s.params(), p1));
    s.fit_append(second.x, second.y, std::nullopt, rng);
    EXPECT_TRUE(same(*s.params(), p2));
    EXPECT_EQ(s.observation_count(), 34u);
}

TEST(QELSurrogate, SampleSeedsAreBasePlusIndex) {
    QELSurrogate s(config());
    StdRng rng = StdRng::seed_from_u64(5);
    const Batch data = batch(1, 30);
    s.fit_append(data.x, data.y, std::nullopt, rng);
    ASSERT_TRUE(s.params().has_value());
    const Batch q = batch(2, 8);
    StdRng peek = rng;
    const std::uint64_t base = peek.next_u64();
    const Array3 draws = s.sample(q.x, 3, rng);
    ASSERT_EQ(draws.d0, 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::int64_t seed = static_cast<std::int64_t>(base + i);
        const FunctionDraws one = posterior_function_draw(*s.model(), q.x, *s.params(),
                                                          std::span(&seed, 1), PosteriorFlags{});
        for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(draws(i, j, 0), one.draws(0, j, 0));
    }
}

TEST(QELSurrogate, RejectedAppendLeavesEverythingAsItWas) {
    QELSurrogate s(config());
    StdRng rng = StdRng::seed_from_u64(10);
    const Batch first = batch(5, 20);
    s.fit_append(first.x, first.y, std::nullopt, rng);
    const QELParams before = *s.params();
    Batch bad = batch(6, 4);
    bad.y(2, 0) = std::numeric_limits<double>::infinity();
    EXPECT_EQ(error_text([&] { s.fit_append(bad.x, bad.y, std::nullopt, rng); }),
              "Invalid parameter: y must contain only finite values");
    EXPECT_EQ(s.observation_count(), 20u);
    EXPECT_EQ(s.fitter()->num_obs(), 20u);
    EXPECT_EQ(s.params()->epistemic_variance_scale, before.epistemic_variance_scale);
    const Array2 wide(3, 3);
    const Array2 y3(3, 1);
    EXPECT_NE(error_text([&] { s.fit_append(wide, y3, std::nullopt, rng); }), "<no error>");
    EXPECT_EQ(s.observation_count(), 20u);
    EXPECT_EQ(s.fitter()->num_obs(), 20u);
}

TEST(QELSurrogate, DefaultRecordNeedsAPositiveK) {
    QELSurrogate s(config(0));
    StdRng rng = StdRng::seed_from_u64(12);
    const Batch first = batch(9, 1);
    // One row: the fitter returns its default record, which k = 0 cannot form.
    EXPECT_EQ(error_text([&] { s.fit_append(first.x, first.y, std::nullopt, rng); }),
              "Invalid parameter: Failed to create default params: k_num_neighbors must be > 0, got 0");
    EXPECT_EQ(error_text([&] { s.predict(first.x); }),
              "Invalid parameter: Failed to create default params: k_num_neighbors must be > 0, got 0");
}
