#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qelbo/core/error.h"
#include "qelbo/numerics/sobol_engine.h"

namespace {

using qelbo::QELError;
using qelbo::SobolEngine;

std::string dimension_error(std::size_t d) {
    try {
        SobolEngine engine(d);
    } catch (const QELError& e) {
        EXPECT_EQ(e.kind(), QELError::Kind::InvalidParameter);
        return e.what();
    }
    return "no error";
}

TEST(SobolEngine, DimensionOutsideTableIsRefusedWithItsValue) {
    EXPECT_EQ(dimension_error(0), "Invalid parameter: Sobol dimension must be in 1..=21201, got 0");
    EXPECT_EQ(dimension_error(21202), "Invalid parameter: Sobol dimension must be in 1..=21201, got 21202");
    EXPECT_NO_THROW(SobolEngine(21201));
    EXPECT_NO_THROW(SobolEngine(1));
}

TEST(SobolEngine, GrayCodeStepsAgreeWithRandomAccessXor) {
    // Point n is the XOR of the direction numbers at the set bits of n ^ (n >> 1).
    const std::size_t dims = 40;
    SobolEngine engine(dims);
    std::vector<double> p(dims);
    for (std::uint64_t n = 0; n < 3000; ++n) {
        ASSERT_TRUE(engine.next_into(p.data()));
        const std::uint64_t g = n ^ (n >> 1);
        for (std::size_t d = 0; d < dims; ++d) {
            std::uint64_t w = 0;
            for (std::size_t j = 0; j < SobolEngine::kBits; ++j) {
                if ((g >> j) & 1) w ^= qelbo::sobol_direction_number(d, j);
            }
            ASSERT_EQ(p[d], static_cast<double>(w) * 0x1p-64) << "n " << n << " d " << d;
        }
    }
    EXPECT_EQ(engine.count(), 3000u);
}

TEST(SobolEngine, ConcurrentFirstUsersShareOneTable) {
    std::vector<std::thread> threads;
    std::vector<double> seen(8, -1.0);
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            SobolEngine e(21201);
            e.next();
            seen[t] = e.next()->back();
        });
    }
    for (auto& th : threads) th.join();
    for (double v : seen) EXPECT_EQ(v, 0.5);
}

}  // namespace
