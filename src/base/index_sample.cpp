#include "base/index_sample.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <unordered_set>

#include "base/std_rng.h"

namespace qelbo {

namespace {

// Floyd's combination algorithm. Below 50 a repeat j takes the place of the
// drawn index in the list; from 50 on it is appended and the list shuffled.
std::vector<std::uint64_t> sample_floyd(StdRng& rng, std::uint32_t length, std::uint32_t amount) {
    const bool ordered_insert = amount < 50;
    std::vector<std::uint32_t> indices;
    indices.reserve(amount);
    for (std::uint32_t j = length - amount; j < length; ++j) {
        const std::uint32_t t = rng.gen_range_inclusive_u32(0, j);
        const auto found = std::find(indices.begin(), indices.end(), t);
        if (ordered_insert) {
            if (found != indices.end()) {
                indices.insert(found, j);
            } else {
                indices.push_back(t);
            }
        } else {
            indices.push_back(found != indices.end() ? j : t);
        }
    }
    if (!ordered_insert) {
        for (std::uint32_t i = amount - 1; i > 0; --i) {
            std::swap(indices[i], indices[rng.gen_range_inclusive_u32(0, i)]);
        }
    }
    return {indices.begin(), indices.end()};
}

// Partial Fisher-Yates from the front over 0 .. length-1.
std::vector<std::uint64_t> sample_inplace(StdRng& rng, std::uint32_t length, std::uint32_t amount) {
    std::vector<std::uint32_t> indices(length);
    std::iota(indices.begin(), indices.end(), std::uint32_t{0});
    for (std::uint32_t i = 0; i < amount; ++i) {
        std::swap(indices[i], indices[rng.gen_range_u32(i, length)]);
    }
    return {indices.begin(), indices.begin() + amount};
}

// Uniform draws (32- or 64-bit, after the index type), repeats drawn again.
template <class T>
std::vector<std::uint64_t> sample_rejection(StdRng& rng, T length, T amount) {
    const Uniform<T> dist(T{0}, length);
    std::unordered_set<T> taken;
    taken.reserve(amount);
    std::vector<std::uint64_t> indices;
    indices.reserve(amount);
    for (T i = 0; i < amount; ++i) {
        T pos = dist.sample(rng);
        while (!taken.insert(pos).second) pos = dist.sample(rng);
        indices.push_back(pos);
    }
    return indices;
}

}  // namespace

std::vector<std::uint64_t> index_sample(StdRng& rng, std::uint64_t length, std::uint64_t amount) {
    if (amount > length) throw Panic("index_sample: amount must be less than or equal to length");
    if (length > std::numeric_limits<std::uint32_t>::max()) return sample_rejection<std::uint64_t>(rng, length, amount);
    const auto len32 = static_cast<std::uint32_t>(length);
    const auto amount32 = static_cast<std::uint32_t>(amount);
    // Cost estimates in single precision: the crossover points depend on its rounding.
    const int j = len32 < 500000 ? 0 : 1;
    const float length_f = static_cast<float>(len32);
    const float amount_f = static_cast<float>(amount32);
    if (amount32 < 163) {
        constexpr float kQuadratic[2] = {1.6f, 8.0f / 45.0f};
        constexpr float kLinear[2] = {10.0f, 70.0f / 9.0f};
        const float quadratic = kQuadratic[j] * amount_f;
        if (amount32 > 11 && length_f < (kLinear[j] + quadratic) * amount_f) {
            return sample_inplace(rng, len32, amount32);
        }
        return sample_floyd(rng, len32, amount32);
    }
    constexpr float kInplace[2] = {270.0f, 330.0f / 9.0f};
    if (length_f < kInplace[j] * amount_f) return sample_inplace(rng, len32, amount32);
    return sample_rejection<std::uint32_t>(rng, len32, amount32);
}

}  // namespace qelbo
