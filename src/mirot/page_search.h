#pragma once
// One query against one fragment: descend the page tree towards the query, widen
// the candidate leaves along skip edges, cap them at 384, score every row of those
// leaves in f32 and keep the k nearest.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "mirot/mirot_index.h"
#include "mirot/search_source.h"

namespace mirot {

// Most leaves scored by one fragment search, whatever the beam and skip edges add.
inline constexpr std::size_t kCandidateLeafCap = 384;

// The k nearest candidate pairs of the fragment, by distance then smaller row id.
// A beam of 0 counts as 1. Every leaf put on the candidate queue is appended to
// `leaf_trace` when given. A row beyond the x store throws the row error.
std::vector<Candidate> search_index(const MirotIndex& index, std::span<const float> query, std::size_t k,
                                    std::size_t beam, bool refine, std::vector<std::uint32_t>* leaf_trace,
                                    const SearchSource& source);

// The same k pairs appended to `out` in no particular order, without allocating
// beyond the thread's reused scratch and `out` itself.
void search_index_into(const MirotIndex& index, std::span<const float> query, std::size_t k, std::size_t beam,
                       bool refine, std::vector<std::uint32_t>* leaf_trace, const SearchSource& source,
                       std::vector<Candidate>& out);

// Pairs of rows [start, end) of the x store, in row order.
void score_leaf_range(const SearchSource& source, std::span<const float> query, std::uint32_t start,
                      std::uint32_t end, std::vector<Candidate>& out);

// Pairs of an id leaf (rows read from the store) or a vector leaf (stored vectors,
// already in the search space; pairs up to the shorter of the two lists).
void score_leaf_rows(const SearchSource& source, std::span<const float> query,
                     const std::vector<std::uint32_t>& row_ids, const std::vector<std::vector<float>>& vectors,
                     std::vector<Candidate>& out);

// Scores a leaf page with the rule its shape calls for.
void score_leaf(const SearchSource& source, std::span<const float> query, const LeafPage& leaf,
                std::vector<Candidate>& out);

}  // namespace mirot
