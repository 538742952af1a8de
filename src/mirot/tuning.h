#pragma once
// The index library's tuning values and the process-wide provider through which
// every index operation reads them at the moment it runs. The library never reads
// the configuration file; the core installs a provider built from it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace mirot {

struct MirotTuning {
    std::uint64_t index_compact_rows_per_fragment = 10000;
    std::uint64_t index_compact_fragment_max = 32;
    std::uint64_t search_rows_per_fragment = 80000;
    std::uint64_t small_fragment_merge_rows = 15000;
    std::uint64_t search_fragment_budget_max = 1;
    // Absent: a k-means build is seeded from its fragment's first row index.
    std::optional<std::uint64_t> build_seed;
    std::uint64_t pending_flush_threshold = 250;
    std::uint64_t pending_hard_flush_threshold = 3000;
    std::uint64_t structured_build_row_limit = 1024;
    std::uint64_t search_beam_width = 1;
    std::uint64_t exhaustive_search_row_limit = 2500;
    std::uint64_t skip_refinement_row_limit = 150000;

    // The first broken rule's message, or nothing when the record is valid.
    std::optional<std::string> validate() const;

    bool operator==(const MirotTuning&) const = default;
};

using TuningProvider = std::function<MirotTuning()>;

// The installed provider's record, or the defaults when none is installed or its
// record is invalid (a single bad field discards the whole record). Thread-safe.
MirotTuning current_tuning();

// Replaces the installed provider; the old one is destroyed under the slot's lock.
void set_tuning_provider(TuningProvider provider);

}  // namespace mirot
