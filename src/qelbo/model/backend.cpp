#include "qelbo/model/backend.h"

namespace qelbo {

void disk_storage_unavailable() { throw QELError::invalid_parameter("disk storage is not available yet"); }

const InMemoryQelBackend* QelBackend::in_memory() const {
    const InMemory* p = std::get_if<InMemory>(&v_);
    return p ? p->get() : nullptr;
}

InMemoryQelBackend* QelBackend::in_memory() {
    InMemory* p = std::get_if<InMemory>(&v_);
    return p ? p->get() : nullptr;
}

namespace {
template <class Fn>
decltype(auto) with_memory(const QelBackend& b, Fn&& fn) {
    const InMemoryQelBackend* mem = b.in_memory();
    if (!mem) disk_storage_unavailable();
    return fn(*mem);
}
}  // namespace

std::size_t QelBackend::n() const {
    return with_memory(*this, [](const InMemoryQelBackend& m) { return m.n(); });
}
std::size_t QelBackend::num_dim() const {
    return with_memory(*this, [](const InMemoryQelBackend& m) { return m.num_dim(); });
}
std::size_t QelBackend::num_metrics() const {
    return with_memory(*this, [](const InMemoryQelBackend& m) { return m.num_metrics(); });
}
std::vector<double> QelBackend::row_x(std::size_t i) const {
    return with_memory(*this, [&](const InMemoryQelBackend& m) { return m.row_x(i); });
}
std::vector<double> QelBackend::row_y(std::size_t i) const {
    return with_memory(*this, [&](const InMemoryQelBackend& m) { return m.row_y(i); });
}
std::optional<std::vector<double>> QelBackend::row_yvar(std::size_t i) const {
    return with_memory(*this, [&](const InMemoryQelBackend& m) { return m.row_yvar(i); });
}
TrainRows QelBackend::train_rows_at(std::span<const std::size_t> indices) const {
    return with_memory(*this, [&](const InMemoryQelBackend& m) { return m.train_rows_at(indices); });
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
    return with_memory(*this, [&](const InMemoryQelBackend& m) { return m.search(queries, search_k, drop_first); });
}

void QelBackend::ensure_index_sync(bool scale_x, std::span<const double> x_scale) const {
    with_memory(*this, [&](const InMemoryQelBackend& m) { m.ensure_index_sync(scale_x, x_scale); });
}

void QelBackend::mark_index_stale() const {
    if (const InMemoryQelBackend* m = in_memory()) m->mark_index_stale();
}

bool QelBackend::search_is_final() const { return is_disk(); }

std::uint64_t QelBackend::index_memory_bytes() const {
    return with_memory(*this, [](const InMemoryQelBackend& m) { return m.index_memory_bytes(); });
}

}  // namespace qelbo
