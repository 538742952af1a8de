#pragma once
// Random operations on slices: shuffle, choose and partial shuffle. Index
// draws below 2^32 - 1 take one 32-bit word each (with rejection), larger
// ones two words.

#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "base/std_rng.h"

namespace qelbo {

namespace detail {

// A uniform index below ubound (ubound >= 1).
inline std::uint64_t gen_index(StdRng& rng, std::uint64_t ubound) {
    if (ubound <= std::numeric_limits<std::uint32_t>::max()) {
        return rng.gen_range_u32(0, static_cast<std::uint32_t>(ubound));
    }
    return rng.gen_range_usize(0, ubound);
}

}  // namespace detail

// Fisher-Yates from the back: entry i swaps with a draw from 0..=i, for i = len-1 down to 1.
template <class T>
void shuffle(StdRng& rng, std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) {
        std::swap(items[i - 1], items[detail::gen_index(rng, i)]);
    }
}

// A uniformly chosen element, or nullptr (and no draw) for an empty slice.
template <class T>
T* choose(StdRng& rng, std::span<T> items) {
    if (items.empty()) return nullptr;
    return &items[detail::gen_index(rng, items.size())];
}

// Shuffles the last `amount` entries into a random selection (the whole slice
// when amount >= size, including one wasted draw for entry 0). Returns
// (the selected tail, the untouched rest).
template <class T>
std::pair<std::span<T>, std::span<T>> partial_shuffle(StdRng& rng, std::span<T> items, std::size_t amount) {
    const std::size_t end = amount >= items.size() ? 0 : items.size() - amount;
    for (std::size_t i = items.size(); i > end; --i) {
        std::swap(items[i - 1], items[detail::gen_index(rng, i)]);
    }
    return {items.subspan(end), items.first(end)};
}

}  // namespace qelbo
