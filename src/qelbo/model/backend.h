#pragma once
// QelBackend: where a model's rows live and how its neighbours are searched.
// Two variants: rows in memory with an exact FAISS index, or a disk work directory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "qelbo/model/in_memory.h"

namespace qelbo {

// Handle of a disk work directory (rows in column files, page index); defined by the disk backend.
struct DiskBackendHandle;

class QelBackend {
public:
    using InMemory = std::unique_ptr<InMemoryQelBackend>;
    using Disk = std::shared_ptr<DiskBackendHandle>;

    explicit QelBackend(InMemory backend) : v_(std::move(backend)) {}
    explicit QelBackend(Disk handle) : v_(std::move(handle)) {}

    bool is_disk() const { return std::holds_alternative<Disk>(v_); }
    // The in-memory variant, or nullptr for a disk backend.
    const InMemoryQelBackend* in_memory() const;
    InMemoryQelBackend* in_memory();
    const Disk* disk() const { return std::get_if<Disk>(&v_); }

    // Stored row count.
    std::size_t n() const;
    std::size_t num_dim() const;
    std::size_t num_metrics() const;

    std::vector<double> row_x(std::size_t i) const;
    std::vector<double> row_y(std::size_t i) const;
    // Nothing when no variances are stored.
    std::optional<std::vector<double>> row_yvar(std::size_t i) const;
    TrainRows train_rows_at(std::span<const std::size_t> indices) const;
    // Whether the backend stores observation variances (row_yvar(0) gives a row; a failed read counts as no).
    bool stores_yvar() const;

    SearchResult search(const MatView& queries, std::int64_t search_k, bool drop_first) const;
    void ensure_index_sync(bool scale_x, std::span<const double> x_scale) const;
    void mark_index_stale() const;
    // Set for disk storage: its search answer is the final neighbour list.
    bool search_is_final() const;
    // In memory the index's vector bytes; on disk the index files' sizes.
    std::uint64_t index_memory_bytes() const;
    // Gives back the resident pages of a disk store's row files; nothing in memory.
    void release_observation_pages() const;

private:
    std::variant<InMemory, Disk> v_;
};

}  // namespace qelbo
