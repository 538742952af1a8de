#pragma once
// Concatenating fragments under a new root without re-clustering: pages are copied,
// renumbered densely (root 0, stored last; the inputs' pages 1, 2, ... in order) and
// their skip edges carried over.

#include <filesystem>
#include <vector>

#include "mirot/mirot_index.h"

namespace mirot {

// One fragment comes back unchanged but for its persist directory; none is
// InvalidParameter. The header's dim, leaf capacity and skip neighbours are the
// first fragment's; its row count is the sum.
MirotIndex concat_merge(std::vector<MirotIndex> fragments, std::filesystem::path persist_dir);

}  // namespace mirot
