#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "qelbo/core/array.h"
#include "qelbo/core/error.h"
#include "qelbo/core/format.h"
#include "qelbo/core/params.h"

using namespace qelbo;

TEST(FormatF64, ShortestPositionalDigits) {
    EXPECT_EQ(format_f64(1.0), "1");
    EXPECT_EQ(format_f64(-1.0), "-1");
    EXPECT_EQ(format_f64(0.5), "0.5");
    EXPECT_EQ(format_f64(1e-7), "0.0000001");
    EXPECT_EQ(format_f64(1e-12), "0.000000000001");
    EXPECT_EQ(format_f64(1e20), "100000000000000000000");
    EXPECT_EQ(format_f64(0.0), "0");
    EXPECT_EQ(format_f64(-0.0), "-0");
    EXPECT_EQ(format_f64(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(format_f64(123.456), "123.456");
    EXPECT_EQ(format_f64(std::nan("")), "NaN");
    EXPECT_EQ(format_f64(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(format_f64(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_f64(5e-324).substr(0, 6), "0.0000");
    EXPECT_EQ(format_f64(5e-324).back(), '5');
}

TEST(ErrorTexts, DisplayTextsAreExact) {
    EXPECT_STREQ(QELError::invalid_shape({4, 2}, {3, 2}).what(), "Invalid shape: expected [4, 2], got [3, 2]");
    EXPECT_STREQ(QELError::invalid_shape({5}, {}).what(), "Invalid shape: expected [5], got []");
    EXPECT_STREQ(QELError::not_enough_observations(1, 2).what(), "Not enough observations: got 1, need at least 2");
    EXPECT_STREQ(QELError::invalid_parameter("x").what(), "Invalid parameter: x");
    EXPECT_STREQ(QELError::shape_error("bad").what(), "Shape error: bad");
    auto inner = IndexSearchError::invalid_shape(3, 2);
    EXPECT_STREQ(inner.what(), "Invalid shape: expected 3 dims, got 2");
    EXPECT_STREQ(QELError::index_error(inner).what(), "Index error: Invalid shape: expected 3 dims, got 2");
    EXPECT_STREQ(IndexSearchError::invalid_parameter("search_k must be > 0, got 0").what(),
                 "Invalid search parameter: search_k must be > 0, got 0");
    EXPECT_STREQ(HashError::invalid_num_metrics(-2).what(), "num_metrics must be positive, got -2");
    EXPECT_STREQ(HashError::dimension_mismatch("a").what(), "Dimension mismatch: a");
}

TEST(QELParamsValidation, FirstFailureInOrderKEpistemicAleatoric) {
    auto text = [](auto fn) {
        try {
            fn();
        } catch (const ParamsError& e) {
            return std::string(e.what());
        }
        return std::string("ok");
    };
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(text([] { QELParams::make(0, 1.0, 0.0); }), "k_num_neighbors must be > 0, got 0");
    EXPECT_EQ(text([&] { QELParams::make(-3, -1.0, nan); }), "k_num_neighbors must be > 0, got -3");
    EXPECT_EQ(text([] { QELParams::make(5, -0.5, 0.0); }), "epistemic_variance_scale must be >= 0 and finite, got -0.5");
    EXPECT_EQ(text([&] { QELParams::make(5, nan, 0.0); }), "epistemic_variance_scale must be >= 0 and finite, got NaN");
    EXPECT_EQ(text([&] { QELParams::make(5, 1.0, inf); }), "aleatoric_variance_scale must be >= 0 and finite, got inf");
    EXPECT_EQ(text([] { QELParams::make(5, -0.0, 0.0); }), "ok");
    auto p = QELParams::make(7, 0.5, 2.0);
    EXPECT_EQ(p.k_num_neighbors, 7);
    EXPECT_EQ(p.epistemic_variance_scale, 0.5);
    EXPECT_EQ(p.aleatoric_variance_scale, 2.0);
}

TEST(SizeErrors, OversizedShapesAreAllocationFailuresNotPanics) {
    constexpr std::size_t big = std::size_t{1} << 40;
    EXPECT_THROW(checked_mul(big, big), std::length_error);
    EXPECT_THROW(Array3(big, big, 2), std::length_error);
    EXPECT_THROW(Array2(big, big), std::length_error);
    EXPECT_THROW(IndexArray2(std::numeric_limits<std::size_t>::max(), 2), std::length_error);
    try {
        checked_mul(big, big);
    } catch (const Panic&) {
        ADD_FAILURE() << "a size overflow is not a broken invariant";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }
    // Sizes that come from arrays keep their own error value.
    EXPECT_THROW(checked_size(big, big), QELError);
    EXPECT_EQ(checked_mul(big, 4), big * 4);
}
