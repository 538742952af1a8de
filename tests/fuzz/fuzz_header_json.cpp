// header.json as someone else left it: the parser refuses it with an error or
// returns a header whose pretty form parses back to the same header.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mirot/error.h"
#include "mirot/index_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const mirot::IndexHeader h = mirot::parse_index_header(text);
        if (mirot::parse_index_header(mirot::header_json_text(h)) != h) std::abort();
    } catch (const mirot::MirotError&) {
    }
    return 0;
}
