#include "qelbo/numerics/sobol_table.h"

#include <charconv>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <zlib.h>

#include "qelbo/core/error.h"

// The gzip table is assembled into read-only data so the library never reads a
// file at run time.
#ifndef QEL_DATA_DIR
#error "QEL_DATA_DIR must name the directory holding new-joe-kuo-6.21201.gz"
#endif
__asm__(
    ".pushsection .rodata.qel_sobol_table_gz,\"a\",@progbits\n"
    ".balign 16\n"
    ".hidden qel_sobol_table_gz_begin\n"
    ".globl qel_sobol_table_gz_begin\n"
    "qel_sobol_table_gz_begin:\n"
    ".incbin \"" QEL_DATA_DIR "/new-joe-kuo-6.21201.gz\"\n"
    ".hidden qel_sobol_table_gz_end\n"
    ".globl qel_sobol_table_gz_end\n"
    "qel_sobol_table_gz_end:\n"
    ".popsection\n");

extern "C" const unsigned char qel_sobol_table_gz_begin[];
extern "C" const unsigned char qel_sobol_table_gz_end[];

namespace qelbo {
namespace {

std::string gunzip(std::span<const unsigned char> gz) {
    z_stream strm{};
    // 16 + MAX_WBITS: expect a gzip wrapper.
    expect(inflateInit2(&strm, 16 + MAX_WBITS) == Z_OK, "sobol table: inflateInit2 failed");
    std::string out;
    out.resize(4u << 20);
    strm.next_in = const_cast<Bytef*>(gz.data());
    strm.avail_in = static_cast<uInt>(gz.size());
    std::size_t produced = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (produced == out.size()) out.resize(out.size() * 2);
        strm.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        strm.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&strm, Z_NO_FLUSH);
        produced = out.size() - strm.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END) {
            inflateEnd(&strm);
            throw Panic("sobol table: embedded data is not a valid gzip stream");
        }
    }
    inflateEnd(&strm);
    out.resize(produced);
    return out;
}

// Reads the next unsigned number on the current line; false at the end of the line.
bool next_number(const char*& p, const char* line_end, std::uint64_t& value) {
    while (p < line_end && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
    if (p == line_end) return false;
    auto [ptr, ec] = std::from_chars(p, line_end, value);
    expect(ec == std::errc() && ptr != p, "sobol table: malformed number");
    p = ptr;
    return true;
}

void build_table(std::vector<std::uint64_t>& table) {
    constexpr std::size_t D = kSobolTableDims;
    constexpr std::size_t B = kSobolTableBits;
    table.assign(D * B, 0);
    auto at = [&](std::size_t bit, std::size_t dim) -> std::uint64_t& { return table[bit * D + dim]; };

    // Dimension 1 has every initial number equal to 1.
    for (std::size_t j = 0; j < B; ++j) at(j, 0) = std::uint64_t{1} << (63 - j);

    const std::string text = gunzip(sobol_table_gz());
    const char* p = text.data();
    const char* end = p + text.size();
    auto line_end_of = [&](const char* from) {
        const char* e = from;
        while (e < end && *e != '\n') ++e;
        return e;
    };
    p = line_end_of(p);  // header line
    std::size_t dim = 1;  // 0-based; line k after the header is dimension k + 2 (1-based)
    std::uint64_t m[B];
    while (p < end) {
        ++p;  // past '\n'
        const char* le = line_end_of(p);
        std::uint64_t d = 0, s = 0, a = 0;
        if (!next_number(p, le, d)) {  // blank line
            p = le;
            continue;
        }
        expect(dim < D, "sobol table: too many dimensions");
        expect(next_number(p, le, s) && next_number(p, le, a), "sobol table: short line");
        std::size_t count = 0;
        std::uint64_t v = 0;
        while (next_number(p, le, v)) {
            expect(count < B, "sobol table: too many initial numbers");
            m[count++] = v;
        }
        expect(d == dim + 1 && s == count && s >= 1, "sobol table: inconsistent line");
        expect(s == 1 ? a == 0 : a < (std::uint64_t{1} << (s - 1)), "sobol table: bad polynomial");
        for (std::size_t j = 0; j < B; ++j) {
            std::uint64_t w;
            if (j < s) {
                // m_j is odd and below 2^(j+1), so the shifted word keeps every bit.
                expect((m[j] & 1) == 1 && m[j] < (std::uint64_t{2} << j), "sobol table: bad initial number");
                w = m[j] << (63 - j);
            } else {
                const std::uint64_t back = at(j - s, dim);
                w = back ^ (back >> s);
                for (std::size_t k = 1; k < s; ++k) {
                    if ((a >> (s - 1 - k)) & 1) w ^= at(j - k, dim);
                }
            }
            at(j, dim) = w;
        }
        ++dim;
        p = le;
    }
    expect(dim == D, "sobol table: missing dimensions");
}

}  // namespace

std::span<const unsigned char> sobol_table_gz() {
    return {qel_sobol_table_gz_begin, static_cast<std::size_t>(qel_sobol_table_gz_end - qel_sobol_table_gz_begin)};
}

const std::uint64_t* sobol_table() {
    static std::once_flag once;
    static std::vector<std::uint64_t> table;
    // A throw leaves the flag unset, so a later caller retries rather than reading a half-built table.
    std::call_once(once, [] { build_table(table); });
    return table.data();
}

}  // namespace qelbo
