#pragma once
// MirotBackend: the observation store of one work directory. It owns the row files of
// x, y and optional yvar, the memory-mapped row counter, the incremental page index over
// the x rows and the bookkeeping that decides when that index must catch up. It has no
// lock around itself: its owner gives shared access to reads, searches and background
// builds, exclusive access to everything that changes it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/poison_lock.h"
#include "mirot/matrix.h"
#include "mirot/mmap_store.h"
#include "mirot/forest_search.h"
#include "mirot/incremental_index.h"
#include "mirot/posix_file.h"
#include "mirot/sync_forest.h"

namespace mirot {

class MirotBackend {
public:
    static constexpr std::uint64_t kMaxDim = 100000;

    // Opens or creates the store in `work_dir`. Rows are written only into an empty store;
    // a store that holds rows keeps them (and refuses rows of other widths). Throws MirotError.
    static MirotBackend open(const std::filesystem::path& work_dir, const BlockView& x, const BlockView& y,
                             const std::optional<BlockView>& yvar, bool scale_x, std::vector<double> x_scale);

    MirotBackend(MirotBackend&& other) noexcept;
    MirotBackend& operator=(MirotBackend&&) = delete;

    const std::filesystem::path& work_dir() const { return work_dir_; }
    std::uint64_t num_obs() const { return x_store_.nrows(); }
    std::uint64_t num_dim() const { return num_dim_; }
    std::uint64_t num_metrics() const { return num_metrics_; }
    bool scale_x() const { return scale_x_; }
    const std::vector<double>& x_scale() const { return x_scale_; }
    bool has_yvar() const { return yvar_store_.has_value(); }
    const MmapColumnStore& x_store() const { return x_store_; }
    const MmapColumnStore& y_store() const { return y_store_; }
    // Nothing when no variances are stored.
    const MmapColumnStore* yvar_store() const { return yvar_store_ ? &*yvar_store_ : nullptr; }
    const IncrementalIndex& index() const { return index_; }

    std::uint64_t soft_flush_threshold() const { return soft_flush_threshold_; }
    std::uint64_t hard_flush_threshold() const { return hard_flush_threshold_; }
    void set_flush_thresholds(std::uint64_t soft, std::uint64_t hard);
    std::uint64_t pending_rows() const { return pending_rows_.load(); }
    bool index_dirty() const;

    // Row i of x, read in place. Throws MirotError "row i out of range [0, n)".
    std::span<const double> row_x(std::uint64_t i) const;
    struct YRows {
        std::span<const double> y;
        std::optional<std::span<const double>> yvar;
    };
    // Row i of y and, when variances are stored, of yvar, read in place.
    YRows mmap_row_y_and_yvar(std::uint64_t i) const;
    Matrix gather_x(std::span<const std::uint64_t> rows) const;
    Matrix gather_y(std::span<const std::uint64_t> rows) const;
    std::optional<Matrix> gather_yvar(std::span<const std::uint64_t> rows) const;

    // Appends rows to every row file and publishes the new row count last. Room is made
    // in all files before any row is copied, so a failure leaves every file and the
    // index as they were. Widths must match (checked by the caller). Exclusive access.
    void append(const BlockView& x, const BlockView& y, const std::optional<BlockView>& yvar);
    // Indexes the rows not yet indexed, then gives back the row files' resident pages.
    void ensure_index_sync();
    // Stores a new x scaling; a different one makes the whole index stale. Returns whether it changed.
    bool update_x_scaling(bool scale_x, std::span<const double> x_scale);
    // Drops the whole index: the next sync rebuilds it from row 0.
    void reset_index();

    // A sync of the index computed under shared access, and the reset count it was computed at.
    struct BuiltIndex {
        ForestSync sync;
        std::uint64_t generation = 0;
        std::uint64_t base_rows = 0;  // rows the index covered when the build began
    };
    // Nothing when the index already covers every row.
    std::optional<BuiltIndex> soft_sync_build() const;
    // Installs a built sync, unless the index was reset or synced since the build began
    // (the sync would be stale or behind then). Exclusive access.
    void soft_sync_publish(BuiltIndex built);

    SearchResult search(const BlockView& queries, std::int64_t search_k, bool exclude_nearest) const;

    // Remaps the row files so that their resident pages are given back.
    void release_resident_pages();

    // Syncs the index and writes it, one fragment, with the bookkeeping files; the row
    // files reach stable storage first. Writes nothing when the index is clean and the
    // files on disk already hold it. Exclusive access.
    void persist_index();

    // Sizes of the index files, counted once per fragment (every fragment records the index directory).
    std::uint64_t index_file_bytes() const;

private:
    MirotBackend(std::filesystem::path work_dir, std::uint64_t num_dim, std::uint64_t num_metrics,
                 MmapColumnStore x_store, MmapColumnStore y_store, std::optional<MmapColumnStore> yvar_store,
                 bool scale_x, std::vector<double> x_scale);

    SyncSource sync_source() const;
    void complete_short_answers(const BlockView& queries, std::uint64_t k, bool exclude_nearest,
                                SearchResult& res) const;
    void write_num_obs(std::uint64_t n);
    void set_index_dirty();
    bool index_files_match() const;
    void sync_row_files();

    std::filesystem::path work_dir_;
    std::uint64_t num_dim_;
    std::uint64_t num_metrics_;
    MmapColumnStore x_store_;
    MmapColumnStore y_store_;
    std::optional<MmapColumnStore> yvar_store_;
    IncrementalIndex index_;
    bool scale_x_;
    std::vector<double> x_scale_;
    std::uint64_t soft_flush_threshold_ = 250;
    std::uint64_t hard_flush_threshold_ = 3000;
    std::atomic<std::uint64_t> pending_rows_{0};
    // Counts resets, so that a background build started before one is not installed.
    std::uint64_t generation_ = 0;
    mutable qelbo::PoisonMutex index_dirty_mutex_;
    bool index_dirty_ = false;
    // The row counter file, mapped; its first 8 bytes hold the row count.
    FileMapping num_obs_map_;
    // Advisory lock on the work directory, held while this store lives.
    UniqueFd dir_lock_;
    mutable SmallNCache small_n_x_cache_;
};

}  // namespace mirot
