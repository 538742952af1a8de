#pragma once
// The index of one work directory kept in step with the rows appended to its x store:
// a forest of fragments over consecutive row runs, never rebuilding what is indexed.
// Each sync turns the rows not yet covered into exactly one new fragment, whose shape
// depends on how many rows there are, then compacts the forest and records the
// indexed row count.
//
// No lock of its own: notes and syncs need exclusive access to the value.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "mirot/matrix.h"
#include "mirot/mirot_index.h"
#include "mirot/sync_forest.h"

namespace mirot {

// Rows per leaf of a vector-leaf forest, and the largest sync built as one.
inline constexpr std::uint64_t kForestLeafRows = 256;
inline constexpr std::uint64_t kVectorForestMaxRows = 10000;

// A sync computed beside an index that stays readable meanwhile: the fragment list the
// sync leaves, each entry a position in the index's list at the start (a fragment kept
// as it is) or a fragment the sync built, and the bookkeeping after the sync.
struct ForestSync {
    std::vector<std::variant<std::size_t, MirotIndex>> fragments;
    std::size_t base_fragments = 0;  // fragments of the index the sync began from
    std::uint64_t indexed_rows = 0;
    std::vector<double> pending_sums;
    std::uint64_t pending_count = 0;
};

struct IncrementalIndex {
    // In row order; fragment i covers the run of rows after those of fragment i - 1.
    std::vector<MirotIndex> fragments;
    // The work directory's index subdirectory, given to every fragment built here.
    std::filesystem::path index_dir;
    // Per-column sums of the rows noted since the last reset (scaled when noted with a
    // scale); empty until the first note.
    std::vector<double> pending_sums;
    // Rows [0, indexed_rows) of the x store are covered by the fragments.
    std::uint64_t indexed_rows = 0;
    std::uint64_t pending_count = 0;

    IncrementalIndex() = default;
    explicit IncrementalIndex(std::filesystem::path dir) : index_dir(std::move(dir)) {}

    // Records a batch of appended rows (any layout); `scale`, when given, divides each
    // column and must have at least as many entries as the batch has columns.
    void note_pending_rows(const BlockView& rows, std::optional<std::span<const double>> scale);

    // Indexes rows [indexed_rows, total_rows) as one new fragment, compacts, and writes
    // indexed_rows.bin into the source's work directory. Nothing happens when
    // total_rows <= indexed_rows.
    void ensure_sync(const SyncSource& source, std::uint64_t total_rows);

    // What ensure_sync would make of this index, without changing it: only the new
    // fragment and the merged ones are built, the others are named. Writes
    // indexed_rows.bin as ensure_sync does. Shared access suffices.
    ForestSync sync_beside(const SyncSource& source, std::uint64_t total_rows) const;
    // Installs a sync computed beside this index, which must not have changed since.
    void install(ForestSync sync);

    // Merges fragments when there are clearly more than the row count calls for.
    void maybe_compact();

private:
    bool pending_in_use(std::uint64_t num_dim) const;
    void reset_pending(std::uint64_t num_dim);
    // The fragment over rows [indexed_rows, total_rows), after the checks; uses up the
    // pending sums. Leaves the fragments and indexed_rows alone.
    MirotIndex build_next_fragment(const SyncSource& source, std::uint64_t total_rows);
    MirotIndex build_id_leaf(const SyncSource& source, std::uint64_t total_rows);
    MirotIndex build_vector_forest(const SyncSource& source, std::uint64_t total_rows) const;
    MirotIndex build_range_forest(const SyncSource& source, std::uint64_t total_rows,
                                  std::uint64_t leaf_rows) const;
};

}  // namespace mirot
