#include "qelbo/core/format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace qelbo {

std::string format_f64(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Shortest digits come from the scientific form; we then lay them out positionally.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    std::string out;
    std::size_t pos = 0;
    if (sci[0] == '-') {
        out += '-';
        pos = 1;
    }
    const std::size_t e_at = sci.find('e');
    std::string digits;
    for (std::size_t i = pos; i < e_at; ++i)
        if (sci[i] != '.') digits += sci[i];
    const int exponent = std::atoi(sci.c_str() + e_at + 1);
    if (digits == "0") {
        out += '0';
        return out;
    }
    // The value is 0.d1d2d3... * 10^(exponent + 1).
    const int point = exponent + 1;
    const int n = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace qelbo
