#pragma once
// IEEE 754 totalOrder for doubles: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.

#include <bit>
#include <cstdint>

namespace qelbo {

inline std::int64_t total_order_key(double v) {
    auto bits = std::bit_cast<std::int64_t>(v);
    // Negative values have their magnitude bits flipped so that plain integer order applies.
    bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    return bits;
}

inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }
inline bool total_eq(double a, double b) { return total_order_key(a) == total_order_key(b); }
inline bool total_le(double a, double b) { return total_order_key(a) <= total_order_key(b); }

}  // namespace qelbo
