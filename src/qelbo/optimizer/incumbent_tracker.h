#pragma once
// Keeps, row by row, the few observation rows among which the incumbent is
// chosen. Stores row indices (and the ranking value in the top-k modes), never
// x or y rows.

#include <cstddef>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace qelbo {

class IncrementalIncumbentTracker {
public:
    // A capacity above this keeps every row.
    static constexpr std::size_t kKeepAllAbove = 999'999'999;

    struct Entry {
        std::size_t row;
        double value;
    };

    enum class Mode { KeepAll, BestWithTies, TopFirstColumn, PerMetricTop };

    IncrementalIncumbentTracker(std::size_t capacity, std::size_t num_metrics, bool noise_aware);

    // Records one told row; y holds at least the metrics the mode reads.
    void tell(std::size_t row, std::span<const double> y);
    // Forgets every told row; mode, capacity and metric count stay.
    void reset();
    // Ascending, distinct rows among which the incumbent is picked.
    std::vector<std::size_t> candidate_rows() const;

    // The entries' rows in ascending order.
    static std::vector<std::size_t> sorted_indices(std::span<const Entry> entries);
    // Ranking of top-list entries: larger value first (NaN below every number,
    // -0.0 below +0.0), then the smaller row.
    static bool ranks_before(const Entry& a, const Entry& b);

    Mode mode() const { return mode_; }
    std::size_t num_told() const { return num_told_; }
    std::size_t capacity() const { return capacity_; }
    std::size_t num_metrics() const { return num_metrics_; }
    bool has_best() const { return has_best_; }
    double best_value() const { return best_value_; }
    const std::vector<std::size_t>& best_rows() const { return best_rows_; }
    const std::vector<Entry>& top_rows() const { return top_rows_; }
    const std::vector<std::vector<Entry>>& per_metric_top_rows() const { return per_metric_top_; }

private:
    void insert_ranked(std::vector<Entry>& list, Entry e) const;

    std::vector<std::size_t> all_rows_;
    std::vector<std::size_t> best_rows_;
    std::vector<Entry> top_rows_;
    std::vector<std::vector<Entry>> per_metric_top_;
    std::size_t capacity_;
    std::size_t num_metrics_;
    std::size_t num_told_ = 0;
    double best_value_ = -std::numeric_limits<double>::infinity();
    bool has_best_ = false;
    Mode mode_;
};

}  // namespace qelbo
