#pragma once
// Rules for neighbours tied at the k-th distance: ties go to the smaller row index.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qelbo {

struct PoolEntry {
    double dist2;
    std::int64_t row;
};

// Order by (distance in total order, then row index).
bool pool_less(const PoolEntry& a, const PoolEntry& b);

// Whether more than k of the scan distances lie at or below the k-th smallest one
// (so a candidate pool may have missed a tied row). False when there are at most k rows.
bool faiss_pool_needs_full_row_scan_from_row(std::span<const double> scan, std::size_t k);

// With two or more of the first k entries at the cutoff distance, sorts the whole pool
// by (distance, row index); otherwise leaves it unchanged.
void resolve_pool_tie_break_at_cutoff(std::vector<PoolEntry>& pool, std::size_t k);

// The k rows smallest under (distance, row index) among all scan distances, sorted by that key.
std::vector<PoolEntry> select_from_full_scan(std::span<const double> scan, std::size_t k);

// Number of leading entries among the first k whose distance is below that of entry k-1
// (ordinary comparison; the entries are sorted).
std::size_t count_below_cutoff(const std::vector<PoolEntry>& pool, std::size_t k);

}  // namespace qelbo
