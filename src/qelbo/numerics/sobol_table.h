#pragma once
// The Joe-Kuo direction-number table, embedded in the library as gzip bytes and
// expanded once, on first use, into 53 left-aligned direction numbers per dimension.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qelbo {

// The embedded gzip stream of the text table.
std::span<const unsigned char> sobol_table_gz();

// Direction numbers, bit-major: word (bit, dim) at [bit * kSobolTableDims + dim],
// so one Gray-code step reads a contiguous run. Built on first use; concurrent
// first users wait for the one building it.
inline constexpr std::size_t kSobolTableDims = 21201;
inline constexpr std::size_t kSobolTableBits = 53;
const std::uint64_t* sobol_table();

}  // namespace qelbo
