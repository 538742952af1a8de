#include "qelbo/model/index.h"

namespace qelbo {

QELIndex::QELIndex(FaissBackend knn, std::vector<double> x_scale, bool scale_x)
    : x_scale_(std::move(x_scale)), knn_(std::move(knn)), dim_(0), scale_x_(scale_x) {
    dim_ = knn_.with_locked([](FaissBackend& b) { return b.d(); });
}

void QELIndex::rebuild_from_scaled(const MatView& scaled, std::vector<double> x_scale) const {
    knn_.with_locked([&](FaissBackend& b) {
        // The new index is complete before the old one is released.
        FaissBackend fresh = FaissBackend::make_index(b.d(), b.driver(), scaled);
        b = std::move(fresh);
    });
    std::lock_guard lock(x_scale_mutex_);
    x_scale_ = std::move(x_scale);
}

void QELIndex::append_rows(const MatView& rows) const {
    knn_.with_locked([&](FaissBackend& b) { b.add(rows); });
}

}  // namespace qelbo
