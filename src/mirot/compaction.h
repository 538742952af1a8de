#pragma once
// Keeping the number of fragments of a forest near a target that grows with the
// indexed rows: once the count exceeds about twice the target, windows of two to four
// adjacent fragments are concatenated, the window with the fewest rows first and
// windows holding an already large fragment last, until the target is reached.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "mirot/mirot_index.h"
#include "mirot/tuning.h"

namespace mirot {

// Fragments wanted for `indexed_rows` rows: 1 below 1001 rows, else rows per
// fragment clamped to [3, index_compact_fragment_max].
std::uint64_t compaction_target(std::uint64_t indexed_rows, const MirotTuning& tuning);

// Start of the window of `width` adjacent fragments with the smallest score (row sum,
// plus a large penalty when one of them holds more than `small_fragment_rows`);
// the leftmost wins ties. Needs 1 <= width <= row_counts.size().
std::size_t choose_merge_window(std::span<const std::uint64_t> row_counts, std::size_t width,
                                std::uint64_t small_fragment_rows);

// One merge step: `width` adjacent fragments from position `start` of the list as it
// stands before this step become one holding the sum of their rows.
struct CompactionMerge {
    std::size_t start;
    std::size_t width;
};

// The merges, in order, that bring fragments of these row counts to the target for a
// forest of `indexed_rows` > 0 rows; none while the count is within bounds. Depends on
// the row counts only, so that a sync can plan them without holding the fragments.
std::vector<CompactionMerge> compaction_merges(std::vector<std::uint64_t> row_counts, std::uint64_t indexed_rows);

// Merges windows of `fragments` in place as described above; `indexed_rows` is the
// rows the forest covers. With no rows and too many fragments, all are dropped.
void compact_fragments(std::vector<MirotIndex>& fragments, std::uint64_t indexed_rows,
                       const std::filesystem::path& index_dir);

}  // namespace mirot
