#include <gtest/gtest.h>

// If the compiler contracted a*b+c into a fused multiply-add, the product's rounding
// error would survive and results would depend on the build.
namespace {
[[gnu::noinline]] double mul_add(double a, double b, double c) { return a * b + c; }
}  // namespace

TEST(BuildFlags, NoFusedMultiplyAddContraction) {
    const double a = 1.0 + 0x1p-30;
    // a*a = 1 + 2^-29 + 2^-60; rounding drops 2^-60, so a*a - (1 + 2^-29) is exactly 0
    // with separate rounding and 2^-60 with a fused multiply-add.
    volatile double x = a, c = -(1.0 + 0x1p-29);
    EXPECT_EQ(mul_add(x, x, c), 0.0);
}
