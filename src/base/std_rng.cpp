#include "base/std_rng.h"

#include "base/chacha_block.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace qelbo {

namespace {

inline std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

StdRng StdRng::from_seed(const std::array<std::uint8_t, 32>& key) {
    StdRng rng;
    for (std::size_t i = 0; i < 8; ++i) rng.key_[i] = load_le32(key.data() + 4 * i);
    return rng;
}

StdRng StdRng::seed_from_u64(std::uint64_t seed) {
    constexpr std::uint64_t kMul = 6364136223846793005ull;
    constexpr std::uint64_t kInc = 11634580027462260723ull;
    std::array<std::uint8_t, 32> key{};
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < 8; ++i) {
        state = state * kMul + kInc;  // the output comes from the advanced state
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const int rot = static_cast<int>(state >> 59);
        const std::uint32_t out = std::rotr(xorshifted, rot);
        for (std::size_t b = 0; b < 4; ++b) key[4 * i + b] = static_cast<std::uint8_t>(out >> (8 * b));
    }
    return from_seed(key);
}

void StdRng::refill() {
    static_assert(kBufferWords == 64);
    chacha_blocks4<6>(key_, counter_, 0, results_.data());  // ChaCha12, stream 0
    counter_ += kBufferWords / 16;
    index_ = 0;
}

void StdRng::fill_bytes(std::uint8_t* dest, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        if (index_ >= kBufferWords) refill();
        const std::size_t available = 4 * (kBufferWords - index_);
        const std::size_t n = std::min(available, len - done);
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(dest + done, results_.data() + index_, n);
        } else {
            for (std::size_t b = 0; b < n; ++b) {
                dest[done + b] = static_cast<std::uint8_t>(results_[index_ + b / 4] >> (8 * (b % 4)));
            }
        }
        index_ += (n + 3) / 4;
        done += n;
    }
}

double StdRng::gen_range_f64(double low, double high) {
    if (!(low < high)) throw Panic("cannot sample empty range");
    const double scale = high - low;
    if (!std::isfinite(scale)) throw Panic("float range overflow: high - low is not finite");
    for (;;) {
        const double res = detail::unit_f64_52(next_u64()) * scale + low;
        if (res < high) return res;
    }
}

double StdRng::gen_range_inclusive_f64(double low, double high) {
    return Uniform<double>::new_inclusive(low, high).sample(*this);
}

}  // namespace qelbo
