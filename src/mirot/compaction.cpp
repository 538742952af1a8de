#include "mirot/compaction.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <numeric>

#include "base/panic.h"
#include "mirot/fragment_merge.h"

namespace mirot {

namespace {

constexpr std::uint64_t kLargeFragmentPenalty = std::numeric_limits<std::int64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t s = a + b;
    return s < a ? std::numeric_limits<std::uint64_t>::max() : s;
}

}  // namespace

std::uint64_t compaction_target(std::uint64_t indexed_rows, const MirotTuning& tuning) {
    if (indexed_rows < 1001) return 1;
    const std::uint64_t q = indexed_rows / tuning.index_compact_rows_per_fragment;
    return std::clamp<std::uint64_t>(q, 3, tuning.index_compact_fragment_max);
}

std::size_t choose_merge_window(std::span<const std::uint64_t> row_counts, std::size_t width,
                                std::uint64_t small_fragment_rows) {
    qelbo::expect(width >= 1 && width <= row_counts.size(), "choose_merge_window: bad width");
    std::size_t best = 0;
    std::uint64_t best_score = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t start = 0; start + width <= row_counts.size(); ++start) {
        std::uint64_t score = 0;
        bool large = false;
        for (std::size_t i = start; i < start + width; ++i) {
            score = saturating_add(score, row_counts[i]);
            large = large || row_counts[i] > small_fragment_rows;
        }
        if (large) score = saturating_add(score, kLargeFragmentPenalty);
        if (start == 0 || score < best_score) {
            best = start;
            best_score = score;
        }
    }
    return best;
}

namespace {

bool over_bounds(std::size_t fragments, std::uint64_t target) {
    return fragments > std::max(saturating_add(target, target), saturating_add(target, 1));
}

}  // namespace

std::vector<CompactionMerge> compaction_merges(std::vector<std::uint64_t> counts, std::uint64_t indexed_rows) {
    const MirotTuning tuning = current_tuning();
    const std::uint64_t target = compaction_target(indexed_rows, tuning);
    std::vector<CompactionMerge> merges;
    if (!over_bounds(counts.size(), target)) return merges;
    while (counts.size() > target) {
        const std::size_t m = counts.size();
        const std::size_t width =
            std::min<std::size_t>({std::max<std::size_t>(m - target, 2), m, 4});
        const std::size_t start = choose_merge_window(counts, width, tuning.small_fragment_merge_rows);
        merges.push_back({start, width});
        // A merged fragment holds the sum of its inputs' rows.
        auto first = counts.begin() + static_cast<std::ptrdiff_t>(start);
        const std::uint64_t sum = std::accumulate(first, first + static_cast<std::ptrdiff_t>(width), std::uint64_t{0});
        counts.erase(first, first + static_cast<std::ptrdiff_t>(width));
        counts.insert(counts.begin() + static_cast<std::ptrdiff_t>(start), sum);
    }
    return merges;
}

void compact_fragments(std::vector<MirotIndex>& fragments, std::uint64_t indexed_rows,
                       const std::filesystem::path& index_dir) {
    if (indexed_rows == 0) {
        if (over_bounds(fragments.size(), compaction_target(0, current_tuning()))) fragments.clear();
        return;
    }
    std::vector<std::uint64_t> counts;
    counts.reserve(fragments.size());
    for (const MirotIndex& f : fragments) counts.push_back(f.header.indexed_rows);
    for (const CompactionMerge& step : compaction_merges(std::move(counts), indexed_rows)) {
        auto first = fragments.begin() + static_cast<std::ptrdiff_t>(step.start);
        auto last = first + static_cast<std::ptrdiff_t>(step.width);
        std::vector<MirotIndex> window(std::make_move_iterator(first), std::make_move_iterator(last));
        fragments.erase(first, last);
        MirotIndex merged = concat_merge(std::move(window), index_dir);
        fragments.insert(fragments.begin() + static_cast<std::ptrdiff_t>(step.start), std::move(merged));
    }
}

}  // namespace mirot
