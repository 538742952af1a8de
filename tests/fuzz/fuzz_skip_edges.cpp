// skip_edges.bin as someone else left it: reading never fails, and what it yields
// writes back to bytes that read as the same map.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "mirot/index_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const mirot::SkipEdges edges = mirot::read_skip_edges(std::span<const std::uint8_t>(data, size));
    std::size_t ids = 0;
    for (const auto& [id, list] : edges) ids += 2 + list.size();
    // Every id read took 4 bytes of input.
    if (4 * ids + (size >= 4 ? 4 : 0) > size) std::abort();
    const auto bytes = mirot::skip_edges_bytes(edges);
    if (mirot::read_skip_edges(bytes) != edges) std::abort();
    return 0;
}
