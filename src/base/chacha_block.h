#pragma once
// The ChaCha block function in Bernstein's original layout: a 64-bit block
// counter in words 12-13 and a 64-bit stream id in words 14-15.

#include <array>
#include <bit>
#include <cstdint>

namespace qelbo {

namespace detail {

inline void chacha_quarter_round(std::uint32_t* s, int a, int b, int c, int d) {
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
    s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
    s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
}

}  // namespace detail

// Writes the 16 output words of one block. DoubleRounds is 6 for ChaCha12, 10 for ChaCha20.
template <int DoubleRounds>
inline void chacha_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                         std::uint32_t* out) {
    const std::uint32_t input[16] = {
        0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int r = 0; r < DoubleRounds; ++r) {
        detail::chacha_quarter_round(x, 0, 4, 8, 12);
        detail::chacha_quarter_round(x, 1, 5, 9, 13);
        detail::chacha_quarter_round(x, 2, 6, 10, 14);
        detail::chacha_quarter_round(x, 3, 7, 11, 15);
        detail::chacha_quarter_round(x, 0, 5, 10, 15);
        detail::chacha_quarter_round(x, 1, 6, 11, 12);
        detail::chacha_quarter_round(x, 2, 7, 8, 13);
        detail::chacha_quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

// Four consecutive blocks (counters counter .. counter+3, carried into the high
// word) written to out[0..64), block j at out[16j]. The four blocks run
// lane-interleaved so the compiler can keep them in vector registers.
template <int DoubleRounds>
inline void chacha_blocks4(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                           std::uint32_t* out) {
    constexpr int L = 4;
    std::uint32_t input[16][L];
    std::uint32_t x[16][L];
    for (int lane = 0; lane < L; ++lane) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(lane);
        const std::uint32_t words[16] = {
            0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
            key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
            static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(c >> 32),
            static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)};
        for (int i = 0; i < 16; ++i) input[i][lane] = words[i];
    }
    for (int i = 0; i < 16; ++i) {
        for (int lane = 0; lane < L; ++lane) x[i][lane] = input[i][lane];
    }
    auto qr = [&x](int a, int b, int c, int d) {
        for (int l = 0; l < L; ++l) { x[a][l] += x[b][l]; x[d][l] ^= x[a][l]; x[d][l] = (x[d][l] << 16) | (x[d][l] >> 16); }
        for (int l = 0; l < L; ++l) { x[c][l] += x[d][l]; x[b][l] ^= x[c][l]; x[b][l] = (x[b][l] << 12) | (x[b][l] >> 20); }
        for (int l = 0; l < L; ++l) { x[a][l] += x[b][l]; x[d][l] ^= x[a][l]; x[d][l] = (x[d][l] << 8) | (x[d][l] >> 24); }
        for (int l = 0; l < L; ++l) { x[c][l] += x[d][l]; x[b][l] ^= x[c][l]; x[b][l] = (x[b][l] << 7) | (x[b][l] >> 25); }
    };
    for (int r = 0; r < DoubleRounds; ++r) {
        qr(0, 4, 8, 12);
        qr(1, 5, 9, 13);
        qr(2, 6, 10, 14);
        qr(3, 7, 11, 15);
        qr(0, 5, 10, 15);
        qr(1, 6, 11, 12);
        qr(2, 7, 8, 13);
        qr(3, 4, 9, 14);
    }
    for (int lane = 0; lane < L; ++lane) {
        for (int i = 0; i < 16; ++i) out[16 * lane + i] = x[i][lane] + input[i][lane];
    }
}

}  // namespace qelbo
