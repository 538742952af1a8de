// One page record as it may sit in a damaged file: the reader must either refuse it
// with an error or return a page that writes back to bytes it reads the same way.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "mirot/error.h"
#include "mirot/page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    try {
        mirot::Page page = mirot::read_page_record(bytes);
        const std::uint32_t dim = static_cast<std::uint32_t>(data[9]) | static_cast<std::uint32_t>(data[10]) << 8 |
                                  static_cast<std::uint32_t>(data[11]) << 16 |
                                  static_cast<std::uint32_t>(data[12]) << 24;
        // Opening an index refuses larger dims before anything is written back.
        if (dim > 100000) return 0;
        std::vector<std::uint8_t> once = page.serialize(dim);
        if (once.size() != page.serialized_size(dim)) std::abort();
        // A record is never longer than the bytes it came from, apart from the
        // zero centroid an empty vector leaf gains.
        if (once.size() > size + 4ull * dim) std::abort();
        std::vector<std::uint8_t> twice = mirot::read_page_record(once).serialize(dim);
        if (once != twice) std::abort();
        (void)page.centroid();
    } catch (const mirot::MirotError&) {
    }
    return 0;
}
