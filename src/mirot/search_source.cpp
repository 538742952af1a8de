#include "mirot/search_source.h"

#include <algorithm>
#include <string>

namespace mirot {

MirotError row_out_of_range(std::uint64_t r, std::uint64_t nrows) {
    return MirotError::invalid_parameter("row " + std::to_string(r) + " out of range [0, " + std::to_string(nrows) +
                                         ")");
}

void row_to_search_vector(const SearchSource& source, std::uint64_t r, std::vector<float>& out) {
    const MmapColumnStore& store = *source.x_store;
    if (r >= store.nrows()) throw row_out_of_range(r, store.nrows());
    const double* x = store.row(r);
    const std::size_t ncols = static_cast<std::size_t>(store.ncols());
    if (source.scale_x) {
        const std::size_t m = std::min(ncols, source.x_scale.size());
        out.resize(m);
        for (std::size_t j = 0; j < m; ++j) out[j] = static_cast<float>(x[j] / source.x_scale[j]);
    } else {
        out.resize(ncols);
        for (std::size_t j = 0; j < ncols; ++j) out[j] = static_cast<float>(x[j]);
    }
}

}  // namespace mirot
