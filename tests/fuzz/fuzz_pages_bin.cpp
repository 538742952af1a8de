// pages.bin as someone else left it, read on its own and as part of an index
// directory. Whatever the reader accepts, a search over it must end without a
// crash: the raw page graph may hold cycles, shared children and missing pages;
// the opened one has been checked.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "mirot/error.h"
#include "mirot/index_files.h"
#include "mirot/mirot_index.h"
#include "mirot/mmap_store.h"
#include "mirot/page_search.h"

namespace {

// Three rows of two values: leaves naming other rows fail with the row error.
const mirot::MmapColumnStore& store() {
    static mirot::MmapColumnStore s = [] {
        auto st = mirot::mmap_open_or_create(fuzz::scratch_dir() + "/x.bin", 2, std::nullopt);
        const double rows[6] = {0.0, 1.0, 2.0, 3.0, -1.0, 0.5};
        st.mmap_append(mirot::BlockView(rows, 3, 2));
        return st;
    }();
    return s;
}

void search_all_ways(const mirot::MirotIndex& idx) {
    const mirot::SearchSource source{&store(), {}, false};
    const std::vector<float> query{0.5f, 0.5f};
    for (std::size_t beam : {1u, 3u, 1000u}) {
        try {
            auto got = mirot::search_index(idx, query, 10, beam, true, nullptr, source);
            if (got.size() > 10) std::abort();
        } catch (const mirot::MirotError&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    std::vector<std::uint32_t> dims;
    mirot::MirotIndex idx;
    try {
        idx.pages = mirot::read_pages_bin(bytes, &dims);
    } catch (const mirot::MirotError&) {
        return 0;
    }
    if (dims.size() != idx.pages.size()) std::abort();
    idx.page_map = mirot::build_page_map(idx.pages);
    if (!idx.pages.empty()) idx.header.root_page_id = idx.pages.front().page_id();
    idx.header.num_dim = dims.empty() ? 2 : dims.front();
    idx.header.indexed_rows = 3;
    search_all_ways(idx);

    // The same bytes in an index directory, opened with a header that fits them.
    const std::string dir = fuzz::scratch_dir() + "/index";
    static bool made = [&] {
        std::filesystem::create_directories(dir);
        return true;
    }();
    (void)made;
    fuzz::put_file(dir + "/pages.bin", data, size);
    const std::string header = mirot::header_json_text(idx.header);
    fuzz::put_file(dir + "/header.json", reinterpret_cast<const std::uint8_t*>(header.data()), header.size());
    try {
        mirot::MirotIndex opened = mirot::MirotIndex::open(dir);
        search_all_ways(opened);
    } catch (const mirot::MirotError&) {
    }
    return 0;
}
