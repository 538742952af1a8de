// The number and string field readers over arbitrary text: no crash, and whatever
// they return must be backed by the text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mirot/observation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The key is everything before the first NUL, the text everything after it.
    std::size_t cut = input.find('\0');
    std::string_view key = cut == std::string_view::npos ? std::string_view("num_obs") : input.substr(0, cut);
    std::string_view text = cut == std::string_view::npos ? input : input.substr(cut + 1);

    std::string pattern = "\"" + std::string(key) + "\":";
    if (auto v = mirot::parse_json_usize_field(text, key)) {
        std::size_t at = text.find(pattern);
        if (at == std::string_view::npos) std::abort();
        if (text.find(std::to_string(*v), at + pattern.size()) == std::string_view::npos &&
            text.find('0', at + pattern.size()) == std::string_view::npos)
            std::abort();
    }
    if (auto s = mirot::parse_json_string_field(text, key)) {
        if (s->find('"') != std::string::npos) std::abort();
        if (text.find(pattern + "\"" + *s + "\"") == std::string_view::npos) std::abort();
    }
    (void)mirot::is_valid_utf8(text);
    return 0;
}
