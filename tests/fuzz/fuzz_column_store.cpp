// Opening a column file of any length with any recorded row count: either a clean
// error or a store whose every row in use can be read, gathered and appended after.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "mirot/mmap_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 10) return 0;
    const std::string path = fuzz::scratch_dir() + "/train_x.bin";
    // Byte 0: column count (small, so growth stays cheap); byte 1: whether a row
    // count is known; bytes 2..9: that count; the rest is the file.
    std::uint64_t ncols = data[0] % 17;
    std::optional<std::uint64_t> known;
    if (data[1] & 1) {
        std::uint64_t n;
        std::memcpy(&n, data + 2, 8);
        // Mostly small counts, sometimes anything at all.
        known = (data[1] & 2) ? n : n % 1024;
    }
    fuzz::put_file(path, data + 10, size - 10);
    try {
        auto store = mirot::mmap_open_or_create(path, ncols, known);
        double sum = 0;
        for (std::uint64_t r = 0; r < store.nrows() && ncols > 0; ++r)
            for (std::uint64_t j = 0; j < ncols; ++j) sum += store.row(r)[j];
        if (store.nrows() > 0) {
            std::vector<std::uint64_t> inside = {store.nrows() - 1, 0};
            mirot::Matrix got = store.mmap_gather(inside);
            if (ncols > 0 && std::memcmp(got.row(0), store.row(store.nrows() - 1), ncols * 8) != 0) std::abort();
        }
        std::vector<std::uint64_t> outside = {store.nrows()};
        bool refused = false;
        try {
            (void)store.mmap_gather(outside);
        } catch (const mirot::MirotError&) {
            refused = true;
        }
        if (!refused) std::abort();
        std::vector<double> row(ncols, sum);
        std::uint64_t before = store.nrows();
        try {
            store.mmap_append(mirot::BlockView(row.data(), 1, ncols));
            if (store.nrows() != before + 1) std::abort();
            if (ncols > 0 && std::memcmp(store.row(before), row.data(), ncols * 8) != 0) std::abort();
        } catch (const mirot::MirotError&) {
            if (store.nrows() != before) std::abort();
        }
        store.release_resident_pages();
    } catch (const mirot::MirotError&) {
    }
    return 0;
}
