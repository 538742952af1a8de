#include "mirot/merge.h"

#include <algorithm>

namespace mirot {

namespace {

struct NeighbourOrder {
    bool operator()(const Neighbour& a, const Neighbour& b) const {
        if (distance_less(a.distance, b.distance)) return true;
        if (distance_less(b.distance, a.distance)) return false;
        return a.row < b.row;
    }
};

}  // namespace

void merge_topk_into(std::span<const Candidate> a, std::span<const Candidate> b, std::size_t k, std::size_t bound,
                     bool drop_first, std::vector<Neighbour>& out, const ExactDistance* exact) {
    // (row, position in a then b): sorting by both finds each row's first occurrence
    // without a hash set.
    thread_local std::vector<std::pair<std::uint32_t, std::size_t>> order;
    order.clear();
    const std::size_t total = a.size() + b.size();
    for (std::size_t i = 0; i < total; ++i) {
        const Candidate& c = i < a.size() ? a[i] : b[i - a.size()];
        order.emplace_back(c.row, i);
    }
    std::sort(order.begin(), order.end());
    out.clear();
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && order[i].first == order[i - 1].first) continue;
        const std::size_t at = order[i].second;
        const Candidate& c = at < a.size() ? a[at] : b[at - a.size()];
        out.push_back({c.row, exact ? (*exact)(c.row) : static_cast<double>(c.distance)});
    }
    std::sort(out.begin(), out.end(), NeighbourOrder{});
    std::size_t first = 0;
    if (drop_first && out.size() >= 2) first = 1;
    const std::size_t keep = std::min({out.size() - first, k, bound});
    if (first) out.erase(out.begin());
    out.resize(keep);
}

std::vector<Neighbour> merge_topk_precomputed_dist(std::span<const Candidate> a, std::span<const Candidate> b,
                                                   std::size_t k, std::size_t bound, bool drop_first) {
    std::vector<Neighbour> out;
    merge_topk_into(a, b, k, bound, drop_first, out);
    return out;
}

}  // namespace mirot
