#include "qelbo/model/tie_break.h"

#include <algorithm>
#include <numeric>

#include "base/total_order.h"

namespace qelbo {

bool pool_less(const PoolEntry& a, const PoolEntry& b) {
    const auto ka = total_order_key(a.dist2);
    const auto kb = total_order_key(b.dist2);
    return ka < kb || (ka == kb && a.row < b.row);
}

bool faiss_pool_needs_full_row_scan_from_row(std::span<const double> scan, std::size_t k) {
    if (scan.size() <= k) return false;
    std::vector<double> copy(scan.begin(), scan.end());
    std::nth_element(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(k - 1), copy.end(), total_less);
    const double c = copy[k - 1];
    std::size_t at_or_below = 0;
    for (double v : scan) at_or_below += total_le(v, c) ? 1 : 0;
    return at_or_below > k;
}

std::size_t count_below_cutoff(const std::vector<PoolEntry>& pool, std::size_t k) {
    const double c = pool[k - 1].dist2;
    auto it = std::partition_point(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(k),
                                   [c](const PoolEntry& e) { return e.dist2 < c; });
    return static_cast<std::size_t>(it - pool.begin());
}

void resolve_pool_tie_break_at_cutoff(std::vector<PoolEntry>& pool, std::size_t k) {
    if (k < 2 || pool.size() < k) return;
    if (count_below_cutoff(pool, k) >= k - 1) return;
    std::stable_sort(pool.begin(), pool.end(), pool_less);
}

std::vector<PoolEntry> select_from_full_scan(std::span<const double> scan, std::size_t k) {
    std::vector<PoolEntry> all(scan.size());
    for (std::size_t i = 0; i < scan.size(); ++i) all[i] = {scan[i], static_cast<std::int64_t>(i)};
    k = std::min(k, all.size());
    // The key is unique per row, so selecting then sorting the front equals a full sort's prefix.
    if (k < all.size()) {
        std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end(), pool_less);
    }
    all.resize(k);
    std::sort(all.begin(), all.end(), pool_less);
    return all;
}

}  // namespace qelbo
