#pragma once
// Vantorix: the nearest-neighbour surrogate model value. It owns the observation backend
// and the running column statistics behind x_scale and y_scale.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/backend.h"
#include "qelbo/model/faiss_backend.h"

namespace qelbo {

enum class StorageMode : std::uint8_t { Memory = 0, Disk = 1 };

struct ColumnMoments {
    std::vector<double> sums;
    std::vector<double> sumsq;
};

// Per-column sums and sums of squares, rows added in row order without compensation.
ColumnMoments column_sums_and_sumsq(const MatView& a);
void accumulate_columns(std::vector<double>& sums, std::vector<double>& sumsq, const MatView& a);
// Population standard deviation per column; 1.0 for n < 2 or where the std is not finite or <= min_std.
std::vector<double> scale_from_moments(std::size_t n, std::size_t width, std::span<const double> sums,
                                       std::span<const double> sumsq, double min_std);

// Refuses stored rows and query rows with a NaN or infinite coordinate. Throws QELError.
void check_x_values(const MatView& x);

class Vantorix {
public:
    // Takes the arrays over. Throws QELError.
    static Vantorix new_with_storage(Array2 x, Array2 y, std::optional<Array2> yvar, bool scale_x,
                                     IndexDriver index_driver, StorageMode storage,
                                     std::optional<std::string> work_dir);
    // Refuses, without touching the directory, disk storage that new_with_storage would
    // refuse for `rows` new rows: another index driver than MiRotDisk, no work_dir and no
    // QEL_WORK_DIR, or (rows > 0) a work directory that already holds rows. Throws QELError.
    static void check_disk_storage(IndexDriver index_driver, const std::optional<std::string>& work_dir,
                                   std::size_t rows);

    Vantorix(Vantorix&&) noexcept = default;
    // The replaced model is destroyed as below.
    Vantorix& operator=(Vantorix&& other) noexcept;
    // A disk-backed model persists its index first; a failure is printed, not raised.
    ~Vantorix();

    // Appends rows (any strides). Throws QELError; in memory nothing changes on failure.
    void add(const MatView& x, const MatView& y, const std::optional<MatView>& yvar);

    std::size_t num_obs() const { return num_obs_; }
    std::size_t num_dim() const { return num_dim_; }
    std::size_t num_metrics() const { return num_metrics_; }
    bool scale_x() const { return scale_x_; }
    const std::vector<double>& x_scale() const { return x_scale_; }
    const std::vector<double>& y_scale() const { return y_scale_; }
    const QelBackend& backend() const { return backend_; }

    // Brings the index up to date where needed, then runs the backend search. Refuses
    // non-finite queries.
    SearchResult backend_search(const MatView& queries, std::int64_t search_k, bool drop_first) const;
    void ensure_index_sync() const { backend_.ensure_index_sync(scale_x_, x_scale_); }

private:
    Vantorix(QelBackend backend) : backend_(std::move(backend)) {}
    void persist_on_drop() noexcept;
    // Takes n, d and m from a disk store that holds other rows than the ones given (a
    // reopened directory) and recomputes the statistics from its rows.
    void adopt_stored_rows();

    std::vector<double> x_scale_;
    std::vector<double> y_scale_;
    std::vector<double> y_sum_;
    std::vector<double> y_sumsq_;
    std::vector<double> x_sum_;
    std::vector<double> x_sumsq_;
    QelBackend backend_;
    std::size_t num_obs_ = 0;
    std::size_t num_dim_ = 0;
    std::size_t num_metrics_ = 0;
    bool scale_x_ = false;
};

}  // namespace qelbo
