#pragma once
// Uniform distributions built once and sampled many times. Integer
// distributions reject with a tighter zone than StdRng's gen_range (the
// largest multiple of the range), so their values and the words they consume
// differ from gen_range on the same generator. Float distributions lower
// their scale until the largest draw stays in range, then take one draw per
// sample without rejection.
//
// Uniform<T> exists for T = std::uint32_t, std::uint64_t (also for usize
// indices), std::int32_t, std::int64_t and double.

#include <cstdint>
#include <limits>
#include <type_traits>

#include "base/std_rng.h"

namespace qelbo {

namespace detail {

// The top 52 bits of a 64-bit draw as a double in [0, 1 - 2^-52].
inline double unit_f64_52(std::uint64_t v) {
    return std::bit_cast<double>((v >> 12) | (std::uint64_t{1023} << 52)) - 1.0;
}

// Largest value unit_f64_52 can return.
inline constexpr double kMaxRand52 = 1.0 - 0x1.0p-52;

}  // namespace detail

template <class T>
class Uniform {
    static_assert(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t> ||
                      std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t>,
                  "Uniform<T> is provided for 32- and 64-bit integers and double");
    using W = detail::RangeWord<T>;

public:
    // Values in [low, high); a panic when low >= high.
    Uniform(T low, T high) : Uniform(checked_exclusive(low, high)) {}
    // Values in [low, high]; a panic when low > high.
    static Uniform new_inclusive(T low, T high) {
        if (low > high) throw Panic("Uniform: cannot sample empty range");
        const W range = static_cast<W>(static_cast<W>(high) - static_cast<W>(low) + 1);
        // Draws at or above the largest multiple of range below 2^W are rejected.
        const W reject = range == 0 ? W{0} : static_cast<W>(static_cast<W>(0 - range) % range);
        return Uniform(Parts{low, range, reject});
    }

    T sample(StdRng& rng) const {
        if (range_ == 0) return static_cast<T>(rng.draw_word<T>());  // the whole type
        return detail::sample_in_zone<T>(rng, low_, range_, static_cast<W>(std::numeric_limits<W>::max() - reject_));
    }

    T low() const { return low_; }
    // Width of the range in the unsigned word; 0 stands for the whole type.
    W range() const { return range_; }

private:
    struct Parts {
        T low;
        W range;
        W reject;
    };
    explicit Uniform(Parts p) : low_(p.low), range_(p.range), reject_(p.reject) {}
    static Uniform checked_exclusive(T low, T high) {
        if (!(low < high)) throw Panic("Uniform: cannot sample empty range");
        return new_inclusive(low, static_cast<T>(high - 1));
    }
    T low_;
    W range_;
    W reject_;
};

template <>
class Uniform<double> {
public:
    // Values in [low, high): scale = high - low, lowered ulp by ulp while
    // low + scale * (1 - 2^-52) would reach high. Panics unless low < high and
    // high - low is finite.
    Uniform(double low, double high);
    // Values in [low, high]: scale = (high - low) / (1 - 2^-52), lowered while
    // the largest draw would exceed high. Panics unless low <= high and the
    // scale is finite.
    static Uniform new_inclusive(double low, double high);

    // One 64-bit draw, no rejection: u * scale + low, rounded after each step.
    double sample(StdRng& rng) const { return detail::unit_f64_52(rng.next_u64()) * scale_ + low_; }

    double low() const { return low_; }
    double scale() const { return scale_; }

private:
    struct Parts {
        double low;
        double scale;
    };
    explicit Uniform(Parts p) : low_(p.low), scale_(p.scale) {}
    double low_;
    double scale_;
};

}  // namespace qelbo
