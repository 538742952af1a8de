#include "mirot/error.h"

#include <cstdint>
#include <cstdio>

namespace mirot {

namespace {

std::string list_text(const std::vector<std::size_t>& values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(values[i]);
    }
    return out + "]";
}

// Decodes one UTF-8 code point starting at i; invalid bytes come back as themselves.
std::uint32_t next_code_point(const std::string& s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    int extra = b0 < 0x80 ? 0 : (b0 >> 5) == 6 ? 1 : (b0 >> 4) == 14 ? 2 : (b0 >> 3) == 30 ? 3 : -1;
    if (extra <= 0 || i + static_cast<std::size_t>(extra) >= s.size()) {
        ++i;
        return b0;
    }
    std::uint32_t cp = b0 & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        unsigned char b = byte(i + k);
        if ((b >> 6) != 2) {
            ++i;
            return b0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += extra + 1;
    return cp;
}

bool printable(std::uint32_t cp) {
    // Control characters (C0, DEL, C1) are the non-printable ones escaped here.
    return !(cp < 0x20 || (cp >= 0x7F && cp < 0xA0));
}

}  // namespace

std::string debug_quote(const std::string& text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::size_t start = i;
        std::uint32_t cp = next_code_point(text, i);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (printable(cp)) {
            out.append(text, start, i - start);
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    return out + "\"";
}

MirotError::MirotError(Kind kind, std::string message, std::vector<std::size_t> expected,
                       std::vector<std::size_t> got, std::string debug)
    : std::runtime_error(debug),
      kind_(kind),
      message_(std::move(message)),
      expected_(std::move(expected)),
      got_(std::move(got)),
      debug_(std::move(debug)) {}

MirotError MirotError::invalid_parameter(std::string message) {
    std::string debug = "InvalidParameter(" + debug_quote(message) + ")";
    return MirotError(Kind::InvalidParameter, std::move(message), {}, {}, std::move(debug));
}

MirotError MirotError::invalid_shape(std::vector<std::size_t> expected, std::vector<std::size_t> got) {
    std::string debug = "InvalidShape { expected: " + list_text(expected) + ", got: " + list_text(got) + " }";
    return MirotError(Kind::InvalidShape, {}, std::move(expected), std::move(got), std::move(debug));
}

}  // namespace mirot
