#include "mirot/tuning.h"

#include <memory>
#include <mutex>
#include <shared_mutex>

namespace mirot {

namespace {

struct ProviderSlot {
    std::shared_mutex lock;
    TuningProvider provider;
};

// Never destroyed: searches on pool threads may read it during process exit.
ProviderSlot& slot() {
    static ProviderSlot* s = new ProviderSlot();
    return *s;
}

}  // namespace

std::optional<std::string> MirotTuning::validate() const {
    if (index_compact_rows_per_fragment == 0) return "index_compact_rows_per_fragment must be >= 1";
    if (index_compact_fragment_max < 3) return "index_compact_fragment_max must be >= 3";
    if (search_rows_per_fragment == 0) return "search_rows_per_fragment must be >= 1";
    if (small_fragment_merge_rows == 0) return "small_fragment_merge_rows must be >= 1";
    if (search_fragment_budget_max == 0) return "search_fragment_budget_max must be >= 1";
    if (pending_flush_threshold == 0) return "pending_flush_threshold must be >= 1";
    if (pending_hard_flush_threshold == 0) return "pending_hard_flush_threshold must be >= 1";
    if (pending_hard_flush_threshold < pending_flush_threshold)
        return "pending_hard_flush_threshold must be >= pending_flush_threshold";
    if (structured_build_row_limit == 0) return "structured_build_row_limit must be >= 1";
    if (search_beam_width == 0) return "search_beam_width must be >= 1";
    if (exhaustive_search_row_limit == 0) return "exhaustive_search_row_limit must be >= 1";
    if (skip_refinement_row_limit < exhaustive_search_row_limit)
        return "skip_refinement_row_limit must be >= exhaustive_search_row_limit";
    return std::nullopt;
}

MirotTuning current_tuning() {
    MirotTuning tuning;
    {
        std::shared_lock guard(slot().lock);
        if (slot().provider) tuning = slot().provider();
    }
    if (tuning.validate()) return MirotTuning{};
    return tuning;
}

void set_tuning_provider(TuningProvider provider) {
    std::unique_lock guard(slot().lock);
    // The old provider dies here, under the lock.
    TuningProvider old = std::move(slot().provider);
    slot().provider = std::move(provider);
    old = nullptr;
}

}  // namespace mirot
