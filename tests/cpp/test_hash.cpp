#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "qelbo/core/error.h"
#include "qelbo/numerics/hash.h"

namespace {

using qelbo::hash_normal;
using qelbo::normal_hash_batch_multi_seed_fast;

TEST(HashNormal, ReproducesQuotedReferenceValues) {
    EXPECT_NEAR(hash_normal(0, 0, 0), -0.468020888681, 5e-12);
    EXPECT_NEAR(hash_normal(1, 2, 0), 0.798832411340, 5e-12);
    EXPECT_NEAR(hash_normal(1, 2, 1), -0.453820322406, 5e-12);
    EXPECT_NEAR(hash_normal(42, 7, 0), -1.28531404486, 5e-11);
}

TEST(HashNormal, NegativeSeedsAndIndicesWrapAsBitPatterns) {
    // (u + s * 1000003) * 1000003 wraps: s = -1, u = 1000003 gives h = 0, as s = 0, u = 0.
    EXPECT_EQ(hash_normal(-1, 1000003, 0), hash_normal(0, 0, 0));
    EXPECT_TRUE(std::isfinite(hash_normal(std::numeric_limits<std::int64_t>::min(), -5, 3)));
}

TEST(UniqueIndexInverse, SortsSignedAndMapsEveryPositionBack) {
    std::mt19937_64 gen(3);
    std::vector<std::int64_t> idx(500);
    for (auto& v : idx) v = static_cast<std::int64_t>(gen() % 60) - 30;
    idx.push_back(std::numeric_limits<std::int64_t>::min());
    idx.push_back(std::numeric_limits<std::int64_t>::max());
    const auto r = qelbo::unique_index_inverse(idx);
    ASSERT_EQ(r.inverse.size(), idx.size());
    for (std::size_t i = 1; i < r.unique.size(); ++i) EXPECT_LT(r.unique[i - 1], r.unique[i]);
    for (std::size_t p = 0; p < idx.size(); ++p) EXPECT_EQ(r.unique[r.inverse[p]], idx[p]);
    EXPECT_EQ(r.unique.front(), std::numeric_limits<std::int64_t>::min());
}

// Every value of the batch against the scalar generator, for layouts that take
// either the per-block or the per-seed table path.
TEST(HashBatch, EveryValueIsTheScalarNormalOfItsTriple) {
    std::mt19937_64 gen(11);
    for (std::size_t num_seeds : {0u, 1u, 3u, 64u}) {
        for (bool repeats : {false, true}) {
            std::vector<std::int64_t> seeds(num_seeds), idx(777);
            for (auto& s : seeds) s = static_cast<std::int64_t>(gen());
            for (std::size_t p = 0; p < idx.size(); ++p)
                idx[p] = repeats ? static_cast<std::int64_t>(gen() % 50) - 25 : static_cast<std::int64_t>(p) * 7 - 100;
            const std::int64_t m = 3;
            const auto out = normal_hash_batch_multi_seed_fast(seeds, idx, m);
            ASSERT_EQ(out.size(), num_seeds * idx.size() * m);
            for (std::size_t f = 0; f < num_seeds; ++f)
                for (std::size_t p = 0; p < idx.size(); ++p)
                    for (std::int64_t j = 0; j < m; ++j)
                        ASSERT_EQ(out[(f * idx.size() + p) * m + j], hash_normal(seeds[f], idx[p], j));
        }
    }
}

TEST(HashBatch, RepeatedIndicesGiveIdenticalValues) {
    const std::vector<std::int64_t> seeds{5, -5};
    const std::vector<std::int64_t> idx{7, 3, 7};
    const auto out = normal_hash_batch_multi_seed_fast(seeds, idx, 2);
    for (std::size_t f = 0; f < 2; ++f) {
        EXPECT_EQ(out[f * 6 + 0], out[f * 6 + 4]);
        EXPECT_EQ(out[f * 6 + 1], out[f * 6 + 5]);
    }
}

TEST(HashBatch, EmptyInputsGiveEmptyOutputAndHugeProductsAreRefused) {
    const std::vector<std::int64_t> seeds{1, 2}, none;
    EXPECT_TRUE(normal_hash_batch_multi_seed_fast(none, seeds, 4).empty());
    EXPECT_TRUE(normal_hash_batch_multi_seed_fast(seeds, none, 4).empty());
    EXPECT_THROW(normal_hash_batch_multi_seed_fast(seeds, seeds, std::numeric_limits<std::int64_t>::max()),
                 std::bad_alloc);
}

}  // namespace
