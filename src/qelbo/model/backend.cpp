#include "qelbo/model/backend.h"

#include "qelbo/model/disk_backend.h"

namespace qelbo {

const InMemoryQelBackend* QelBackend::in_memory() const {
    const InMemory* p = std::get_if<InMemory>(&v_);
    return p ? p->get() : nullptr;
}

InMemoryQelBackend* QelBackend::in_memory() {
    InMemory* p = std::get_if<InMemory>(&v_);
    return p ? p->get() : nullptr;
}

namespace {
// Runs the in-memory or the disk form of one operation.
template <class Mem, class Disk>
decltype(auto) dispatch(const QelBackend& b, Mem&& mem, Disk&& disk) {
    if (const InMemoryQelBackend* m = b.in_memory()) return mem(*m);
    return disk(**b.disk());
}
}  // namespace

std::size_t QelBackend::n() const {
    return dispatch(*this, [](const InMemoryQelBackend& m) { return m.n(); },
                    [](const DiskBackendHandle& d) { return static_cast<std::size_t>(d.read()->inner.num_obs()); });
}
std::size_t QelBackend::num_dim() const {
    return dispatch(*this, [](const InMemoryQelBackend& m) { return m.num_dim(); },
                    [](const DiskBackendHandle& d) { return static_cast<std::size_t>(d.read()->inner.num_dim()); });
}
std::size_t QelBackend::num_metrics() const {
    return dispatch(*this, [](const InMemoryQelBackend& m) { return m.num_metrics(); },
                    [](const DiskBackendHandle& d) { return d.read()->num_metrics; });
}
std::vector<double> QelBackend::row_x(std::size_t i) const {
    return dispatch(*this, [&](const InMemoryQelBackend& m) { return m.row_x(i); },
                    [&](const DiskBackendHandle& d) { return d.row_x(i); });
}
std::vector<double> QelBackend::row_y(std::size_t i) const {
    return dispatch(*this, [&](const InMemoryQelBackend& m) { return m.row_y(i); },
                    [&](const DiskBackendHandle& d) { return d.row_y(i); });
}
std::optional<std::vector<double>> QelBackend::row_yvar(std::size_t i) const {
    return dispatch(*this, [&](const InMemoryQelBackend& m) { return m.row_yvar(i); },
                    [&](const DiskBackendHandle& d) { return d.row_yvar(i); });
}
TrainRows QelBackend::train_rows_at(std::span<const std::size_t> indices) const {
    return dispatch(*this, [&](const InMemoryQelBackend& m) { return m.train_rows_at(indices); },
                    [&](const DiskBackendHandle& d) { return d.train_rows_at(indices); });
}

bool QelBackend::stores_yvar() const {
    if (const InMemoryQelBackend* m = in_memory()) return m->n() > 0 && m->yvar() != nullptr;
    try {
        return row_yvar(0).has_value();
    } catch (const CoreError&) {
        return false;
    }
}

SearchResult QelBackend::search(const MatView& queries, std::int64_t search_k, bool drop_first) const {
    return dispatch(*this, [&](const InMemoryQelBackend& m) { return m.search(queries, search_k, drop_first); },
                    [&](const DiskBackendHandle& d) { return d.search(queries, search_k, drop_first); });
}

void QelBackend::ensure_index_sync(bool scale_x, std::span<const double> x_scale) const {
    dispatch(*this, [&](const InMemoryQelBackend& m) { m.ensure_index_sync(scale_x, x_scale); },
             [&](const DiskBackendHandle& d) { d.ensure_index_sync(scale_x, x_scale); });
}

void QelBackend::mark_index_stale() const {
    dispatch(*this, [](const InMemoryQelBackend& m) { m.mark_index_stale(); },
             [](const DiskBackendHandle& d) { d.mark_index_stale(); });
}

bool QelBackend::search_is_final() const {
    if (in_memory()) return false;
    try {
        return (*disk())->read()->search_is_final;
    } catch (const CoreError&) {
        return true;  // a store that cannot be read is still a disk store
    }
}

std::uint64_t QelBackend::index_memory_bytes() const {
    return dispatch(*this, [](const InMemoryQelBackend& m) { return m.index_memory_bytes(); },
                    [](const DiskBackendHandle& d) { return d.index_file_bytes(); });
}

void QelBackend::release_observation_pages() const {
    if (const Disk* d = disk()) (*d)->release_observation_pages();
}

}  // namespace qelbo
