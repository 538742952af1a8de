#include "qelbo/optimizer/acquisition.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "qelbo/core/error.h"
#include "base/total_order.h"

namespace qelbo {
namespace {

// Candidates ordered by a descending, then b descending, under the total order;
// equal pairs keep their input order. Keys are computed once and the input
// position breaks ties, so an unstable sort gives the stable order.
void sort_for_sweep(std::vector<std::size_t>& cand, std::span<const double> a, std::span<const double> b) {
    struct Keyed {
        std::int64_t ka, kb;
        std::size_t pos, c;
    };
    std::vector<Keyed> keyed(cand.size());
    for (std::size_t i = 0; i < cand.size(); ++i) {
        keyed[i] = {total_order_key(a[cand[i]]), total_order_key(b[cand[i]]), i, cand[i]};
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& p, const Keyed& q) {
        if (p.ka != q.ka) return p.ka > q.ka;
        if (p.kb != q.kb) return p.kb > q.kb;
        return p.pos < q.pos;
    });
    for (std::size_t i = 0; i < cand.size(); ++i) cand[i] = keyed[i].c;
}

// Walks candidates already in sweep order; marks and returns the front members.
std::vector<std::size_t> sweep(const std::vector<std::size_t>& sorted, std::span<const double> a,
                               std::span<const double> b) {
    std::vector<std::size_t> front;
    double best_b = -std::numeric_limits<double>::infinity();
    bool have_prev = false;
    double prev_a = 0.0, prev_b = 0.0;
    for (std::size_t c : sorted) {
        const double ac = a[c], bc = b[c];
        if (bc > best_b) {
            front.push_back(c);
            best_b = bc;
            prev_a = ac;
            prev_b = bc;
            have_prev = true;
        } else if (have_prev && ac == prev_a && bc == prev_b) {
            front.push_back(c);
        }
    }
    return front;
}

bool finite_at(std::span<const double> a, std::span<const double> b, const std::vector<std::size_t>& cand) {
    for (std::size_t c : cand) {
        if (!std::isfinite(a[c]) || !std::isfinite(b[c])) return false;
    }
    return true;
}

// Strict Pareto dominance; a comparison with NaN counts as neither less nor greater.
bool dominates(std::span<const double> p, std::span<const double> q) {
    bool strictly = false;
    for (std::size_t j = 0; j < p.size(); ++j) {
        if (p[j] < q[j]) return false;
        if (p[j] > q[j]) strictly = true;
    }
    return strictly;
}

}  // namespace

std::vector<std::vector<std::size_t>> ParetoAcquisition::non_domin_sort(MatView y) {
    const std::size_t n = y.rows;
    std::vector<std::vector<std::size_t>> fronts;
    if (n == 0) return fronts;
    expect(y.is_row_major(), "objective rows are contiguous");

    if (y.cols == 2) {
        std::vector<double> a(n), b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = y(i, 0);
            b[i] = y(i, 1);
        }
        // The remaining candidates stay in index order, so their sweep order is a
        // subsequence of the full one: sort once, then peel.
        std::vector<std::size_t> remaining(n);
        std::iota(remaining.begin(), remaining.end(), std::size_t{0});
        sort_for_sweep(remaining, a, b);
        std::vector<char> taken(n, 0);
        while (!remaining.empty()) {
            std::vector<std::size_t> front = sweep(remaining, a, b);
            if (front.empty()) {
                // Only candidates with b NaN or -inf are left; the sweep never accepts
                // them, so they form the last front (in index order) instead of looping.
                std::sort(remaining.begin(), remaining.end());
                fronts.push_back(std::move(remaining));
                break;
            }
            for (std::size_t c : front) taken[c] = 1;
            std::erase_if(remaining, [&](std::size_t c) { return taken[c] != 0; });
            fronts.push_back(std::move(front));
        }
        return fronts;
    }

    std::vector<std::vector<std::size_t>> dominated(n);
    std::vector<std::size_t> count(n, 0);
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = 0; q < n; ++q) {
            if (q == p) continue;
            if (dominates(y.row_span(p), y.row_span(q))) {
                dominated[p].push_back(q);
            } else if (dominates(y.row_span(q), y.row_span(p))) {
                ++count[p];
            }
        }
    }
    std::vector<char> placed(n, 0);
    std::size_t num_placed = 0;
    std::vector<std::size_t> current;
    for (std::size_t p = 0; p < n; ++p) {
        if (count[p] == 0) current.push_back(p);
    }
    while (!current.empty()) {
        std::vector<std::size_t> next;
        for (std::size_t p : current) {
            placed[p] = 1;
            ++num_placed;
            for (std::size_t q : dominated[p]) {
                if (--count[q] == 0) next.push_back(q);
            }
        }
        fronts.push_back(std::move(current));
        current = std::move(next);
    }
    if (num_placed < n) {
        // NaN makes dominance intransitive, so cycles can hold candidates back
        // forever; they form the last front rather than being dropped.
        std::vector<std::size_t> rest;
        for (std::size_t p = 0; p < n; ++p) {
            if (!placed[p]) rest.push_back(p);
        }
        fronts.push_back(std::move(rest));
    }
    return fronts;
}

std::vector<std::size_t> pareto_front_2d_maximize(std::span<const double> a, std::span<const double> b,
                                                  const std::optional<std::vector<std::size_t>>& idx) {
    expect(a.size() == b.size(), "a and b have the same length");
    const std::size_t n = a.size();
    if (n == 0) return {};
    std::vector<std::size_t> cand;
    if (idx) {
        cand = *idx;
        for (std::size_t c : cand) expect(c < n, "idx entries are valid positions");
    } else {
        cand.resize(n);
        std::iota(cand.begin(), cand.end(), std::size_t{0});
    }
    if (!finite_at(a, b, cand)) throw QELError::invalid_parameter("a and b must be finite");
    sort_for_sweep(cand, a, b);
    return sweep(cand, a, b);
}

std::vector<std::size_t> arms_from_pareto_fronts(std::span<const double> mu, std::span<const double> se,
                                                 std::uint64_t num_arms, std::uint64_t seed) {
    expect(mu.size() == se.size(), "mu and se have the same length");
    const std::size_t n = mu.size();
    std::vector<std::size_t> selected;
    if (num_arms == 0 || n == 0) return selected;
    std::vector<std::size_t> remaining(n);
    std::iota(remaining.begin(), remaining.end(), std::size_t{0});
    // The first front is taken over every candidate, so checking once covers them all.
    if (!finite_at(mu, se, remaining)) throw CoreError("mu and se must be finite");
    auto by_mu_desc = [&](std::size_t p, std::size_t q) { return total_less(mu[q], mu[p]); };
    std::vector<char> taken(n, 0);
    std::uint64_t state = seed;
    // Candidates left in play keep their index order, so their sweep order is a
    // subsequence of the full one: sort once, then peel.
    sort_for_sweep(remaining, mu, se);
    while (selected.size() < num_arms && !remaining.empty()) {
        std::vector<std::size_t> front = sweep(remaining, mu, se);
        if (front.empty()) break;
        std::stable_sort(front.begin(), front.end(), by_mu_desc);
        if (selected.size() + front.size() <= num_arms) {
            for (std::size_t c : front) taken[c] = 1;
            selected.insert(selected.end(), front.begin(), front.end());
            std::erase_if(remaining, [&](std::size_t c) { return taken[c] != 0; });
            continue;
        }
        const std::uint64_t r = num_arms - selected.size();
        std::vector<std::size_t> picked;
        for (std::uint64_t i = 0; i < r; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            const std::size_t pos = static_cast<std::size_t>(state % front.size());
            picked.push_back(front[pos]);
            front.erase(front.begin() + static_cast<std::ptrdiff_t>(pos));
        }
        selected.insert(selected.end(), picked.begin(), picked.end());
        break;
    }
    std::stable_sort(selected.begin(), selected.end(), by_mu_desc);
    return selected;
}

std::size_t argmax_random_tie(std::span<const double> values, StdRng& rng) {
    const std::size_t n = values.size();
    if (n == 0) return 0;
    double m = -std::numeric_limits<double>::infinity();
    for (double v : values) {
        if (std::isnan(v)) continue;
        if (v > m || (v == m && !std::signbit(v))) m = v;
    }
    std::vector<std::size_t> ties;
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i] >= m) ties.push_back(i);
    }
    if (ties.size() == 1) return ties[0];
    if (ties.empty()) return static_cast<std::size_t>(rng.gen_range_usize(0, n));
    return ties[static_cast<std::size_t>(rng.gen_range_usize(0, ties.size()))];
}

}  // namespace qelbo
