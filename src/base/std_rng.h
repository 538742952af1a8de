#pragma once
// The random generator every seeded operation uses: ChaCha12 keystream read
// through a 64-word buffer, with the value mappings (standard floats, integer
// and float ranges) of rand 0.8. Outputs must match that library bit for bit,
// so every mapping below fixes exactly how many 32-bit words it consumes.
//
// One include gives the whole random layer: the uniform distributions
// (uniform.h), index sampling (index_sample.h) and slice shuffles
// (slice_random.h) are pulled in at the end of this header.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "base/panic.h"

namespace qelbo {

class StdRng {
public:
    static constexpr std::size_t kBufferWords = 64;  // four ChaCha blocks per refill

    // The 64-bit seed is expanded to the 32-byte key by a PCG32 output function.
    static StdRng seed_from_u64(std::uint64_t seed);
    // Key words are the little-endian 32-bit words of the key; counter and stream start at 0.
    static StdRng from_seed(const std::array<std::uint8_t, 32>& key);

    std::uint32_t next_u32() {
        if (index_ >= kBufferWords) refill();
        return results_[index_++];
    }

    // Two consecutive words, the first one as the low half (also across a refill).
    std::uint64_t next_u64() {
        if (index_ < kBufferWords - 1) {
            const std::uint64_t lo = results_[index_];
            const std::uint64_t hi = results_[index_ + 1];
            index_ += 2;
            return lo | (hi << 32);
        }
        const std::uint64_t lo = next_u32();
        const std::uint64_t hi = next_u32();
        return lo | (hi << 32);
    }

    // Consumes ceil(len / 4) words; the unused bytes of a cut last word are dropped.
    void fill_bytes(std::uint8_t* dest, std::size_t len);

    // Standard distributions.
    double gen_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }  // [0, 1), 53 bits
    float gen_f32() { return static_cast<float>(next_u32() >> 8) * 0x1.0p-24f; }    // [0, 1), 24 bits
    bool gen_bool() { return (next_u32() >> 31) != 0; }

    // Integer ranges: half-open [low, high) and inclusive [low, high]; a panic when empty.
    // Each draw is one word for 32-bit types and two for 64-bit types, with rejection.
    std::uint32_t gen_range_u32(std::uint32_t low, std::uint32_t high) { return range_exclusive(low, high); }
    std::uint64_t gen_range_u64(std::uint64_t low, std::uint64_t high) { return range_exclusive(low, high); }
    std::int32_t gen_range_i32(std::int32_t low, std::int32_t high) { return range_exclusive(low, high); }
    std::int64_t gen_range_i64(std::int64_t low, std::int64_t high) { return range_exclusive(low, high); }
    std::uint64_t gen_range_usize(std::uint64_t low, std::uint64_t high) { return range_exclusive(low, high); }
    std::uint32_t gen_range_inclusive_u32(std::uint32_t low, std::uint32_t high) { return range_inclusive(low, high); }
    std::uint64_t gen_range_inclusive_u64(std::uint64_t low, std::uint64_t high) { return range_inclusive(low, high); }
    std::int32_t gen_range_inclusive_i32(std::int32_t low, std::int32_t high) { return range_inclusive(low, high); }
    std::int64_t gen_range_inclusive_i64(std::int64_t low, std::int64_t high) { return range_inclusive(low, high); }
    std::uint64_t gen_range_inclusive_usize(std::uint64_t low, std::uint64_t high) { return range_inclusive(low, high); }

    // Float range [low, high): draws until low + u * (high - low) rounds below high.
    double gen_range_f64(double low, double high);
    // Float range [low, high]: one draw through Uniform<double>::new_inclusive.
    double gen_range_inclusive_f64(double low, double high);

    // One raw word of an integer type's range width (32 or 64 bits); shared with Uniform.
    template <class T>
    auto draw_word() {
        if constexpr (sizeof(T) <= 4) {
            return next_u32();
        } else {
            return next_u64();
        }
    }

private:
    StdRng() = default;
    void refill();

    template <class T>
    T range_exclusive(T low, T high) {
        if (!(low < high)) throw Panic("cannot sample empty range");
        return range_inclusive_unchecked(low, static_cast<T>(high - 1));
    }
    template <class T>
    T range_inclusive(T low, T high) {
        if (low > high) throw Panic("cannot sample empty range");
        return range_inclusive_unchecked(low, high);
    }
    template <class T>
    T range_inclusive_unchecked(T low, T high);

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, kBufferWords> results_{};
    std::size_t index_ = kBufferWords;  // empty: the first draw refills
};

namespace detail {

// Unsigned word type in which an integer type's range arithmetic is done.
template <class T>
using RangeWord = std::conditional_t<(sizeof(T) <= 4), std::uint32_t, std::uint64_t>;

// (v * range) split into high and low words.
inline void wide_mul(std::uint32_t v, std::uint32_t range, std::uint32_t& hi, std::uint32_t& lo) {
    const std::uint64_t p = static_cast<std::uint64_t>(v) * range;
    hi = static_cast<std::uint32_t>(p >> 32);
    lo = static_cast<std::uint32_t>(p);
}
inline void wide_mul(std::uint64_t v, std::uint64_t range, std::uint64_t& hi, std::uint64_t& lo) {
    const unsigned __int128 p = static_cast<unsigned __int128>(v) * range;
    hi = static_cast<std::uint64_t>(p >> 64);
    lo = static_cast<std::uint64_t>(p);
}

// Accepts draws whose low product word is <= zone; the result is low + high word,
// wrapping in the type (two's complement for signed types).
template <class T>
T sample_in_zone(StdRng& rng, T low, RangeWord<T> range, RangeWord<T> zone) {
    using W = RangeWord<T>;
    for (;;) {
        const W v = rng.draw_word<T>();
        W hi, lo;
        wide_mul(v, range, hi, lo);
        if (lo <= zone) return static_cast<T>(static_cast<W>(static_cast<W>(low) + hi));
    }
}

}  // namespace detail

template <class T>
T StdRng::range_inclusive_unchecked(T low, T high) {
    static_assert(std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8));
    using W = detail::RangeWord<T>;
    const W range = static_cast<W>(static_cast<W>(high) - static_cast<W>(low) + 1);
    if (range == 0) return static_cast<T>(draw_word<T>());  // the whole type
    // Range shifted up to the top bit, minus one: cheap to compute, rejects more than needed.
    const W zone = static_cast<W>(static_cast<W>(range << std::countl_zero(range)) - 1);
    return detail::sample_in_zone<T>(*this, low, range, zone);
}

}  // namespace qelbo

#include "base/index_sample.h"
#include "base/slice_random.h"
#include "base/uniform.h"
