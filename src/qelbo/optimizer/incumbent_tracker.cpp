#include "qelbo/optimizer/incumbent_tracker.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "qelbo/core/error.h"
#include "base/total_order.h"

namespace qelbo {

IncrementalIncumbentTracker::IncrementalIncumbentTracker(std::size_t capacity, std::size_t num_metrics,
                                                         bool noise_aware)
    : capacity_(capacity), num_metrics_(num_metrics) {
    expect(num_metrics >= 1, "the incumbent tracker follows at least one metric");
    if (capacity > kKeepAllAbove) {
        mode_ = Mode::KeepAll;
    } else if (num_metrics == 1) {
        mode_ = noise_aware ? Mode::TopFirstColumn : Mode::BestWithTies;
    } else {
        mode_ = Mode::PerMetricTop;
        per_metric_top_.resize(num_metrics);
    }
}

bool IncrementalIncumbentTracker::ranks_before(const Entry& a, const Entry& b) {
    const bool a_nan = std::isnan(a.value);
    const bool b_nan = std::isnan(b.value);
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && !total_eq(a.value, b.value)) return total_less(b.value, a.value);
    return a.row < b.row;
}

void IncrementalIncumbentTracker::insert_ranked(std::vector<Entry>& list, Entry e) const {
    // Sorted insertion gives the same list as append-then-stable-sort: the order is total on (value, row).
    list.insert(std::upper_bound(list.begin(), list.end(), e, ranks_before), e);
    if (list.size() > capacity_) list.resize(capacity_);
}

void IncrementalIncumbentTracker::tell(std::size_t row, std::span<const double> y) {
    ++num_told_;
    switch (mode_) {
        case Mode::KeepAll:
            all_rows_.push_back(row);
            return;
        case Mode::BestWithTies: {
            expect(!y.empty(), "a told y row holds a value");
            const double v = y[0];
            if (std::isnan(v)) return;  // a NaN never becomes the best value
            if (!has_best_ || v > best_value_) {
                best_value_ = v;
                best_rows_.assign(1, row);
                has_best_ = true;
            } else if (v == best_value_) {
                best_rows_.push_back(row);
            }
            return;
        }
        case Mode::TopFirstColumn:
            expect(!y.empty(), "a told y row holds a value");
            insert_ranked(top_rows_, Entry{row, y[0]});
            return;
        case Mode::PerMetricTop:
            expect(y.size() >= num_metrics_, "a told y row holds every metric");
            for (std::size_t j = 0; j < num_metrics_; ++j) insert_ranked(per_metric_top_[j], Entry{row, y[j]});
            return;
    }
}

void IncrementalIncumbentTracker::reset() {
    all_rows_.clear();
    best_rows_.clear();
    top_rows_.clear();
    for (auto& list : per_metric_top_) list.clear();
    num_told_ = 0;
    best_value_ = -std::numeric_limits<double>::infinity();
    has_best_ = false;
}

std::vector<std::size_t> IncrementalIncumbentTracker::sorted_indices(std::span<const Entry> entries) {
    std::vector<std::size_t> rows;
    rows.reserve(entries.size());
    for (const Entry& e : entries) rows.push_back(e.row);
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::size_t> IncrementalIncumbentTracker::candidate_rows() const {
    if (num_told_ == 0) return {};
    switch (mode_) {
        case Mode::KeepAll: {
            std::vector<std::size_t> rows = all_rows_;
            std::sort(rows.begin(), rows.end());
            return rows;
        }
        case Mode::BestWithTies: {
            std::vector<std::size_t> rows = best_rows_;
            std::sort(rows.begin(), rows.end());
            return rows;
        }
        case Mode::TopFirstColumn:
            return sorted_indices(top_rows_);
        case Mode::PerMetricTop: {
            std::set<std::size_t> rows;
            for (const auto& list : per_metric_top_)
                for (const Entry& e : list) rows.insert(e.row);
            return {rows.begin(), rows.end()};
        }
    }
    return {};
}

}  // namespace qelbo
