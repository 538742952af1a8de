#include "mirot/mmap_store.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace mirot {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kGrowthRows = 64;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t out;
    return __builtin_mul_overflow(a, b, &out) ? kU64Max : out;
}

}  // namespace

MmapColumnStore mmap_open_or_create(const std::string& path, std::uint64_t ncols,
                                    std::optional<std::uint64_t> known_nrows) {
    if (ncols > kU64Max / sizeof(double))
        throw MirotError::invalid_parameter("column count " + std::to_string(ncols) + " is too large");
    if (!path_exists(path)) create_file_exclusive(path);

    MmapColumnStore store;
    store.file_ = open_read_write(path);
    struct stat st = fstat_fd(store.file_.get());
    if (!S_ISREG(st.st_mode)) throw MirotError::invalid_parameter(path + " is not a regular file");
    auto length = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t stride = ncols * sizeof(double);

    if (known_nrows) {
        std::uint64_t needed;
        if (__builtin_mul_overflow(*known_nrows, stride, &needed) || needed > length)
            throw MirotError::invalid_parameter("known_nrows " + std::to_string(*known_nrows) +
                                                " exceeds train file bytes " + std::to_string(length));
        store.nrows_ = *known_nrows;
    } else {
        store.nrows_ = stride == 0 ? 0 : length / stride;
    }
    store.mapping_ = FileMapping::map_file(store.file_.get());
    store.path_ = path;
    store.ncols_ = ncols;
    store.stride_ = stride;
    return store;
}

std::uint64_t MmapColumnStore::capacity_rows() const {
    return stride_ == 0 ? nrows_ : mapping_.size() / stride_;
}

void MmapColumnStore::ensure_capacity(std::uint64_t rows) {
    if (saturating_mul(rows, stride_) <= mapping_.size()) return;
    // rows > nrows_ here, since the rows in use always fit the mapping.
    std::uint64_t extra = std::max(rows - nrows_, kGrowthRows);
    std::uint64_t capacity = nrows_ > kU64Max - extra ? kU64Max : nrows_ + extra;
    std::uint64_t length = saturating_mul(capacity, stride_);
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw MirotError::invalid_parameter("out of range integral type conversion attempted");
    // A file cut short by someone else is allocated again from its end.
    const auto size = static_cast<std::uint64_t>(fstat_fd(file_.get()).st_size);
    allocate_file(file_.get(), length, std::min(allocated_, size));
    allocated_ = length;
    // The old mapping stays until the new one exists, so a failure leaves the store usable.
    FileMapping fresh = FileMapping::map_file(file_.get());
    if (fresh.size() < length) throw MirotError::invalid_parameter(path_ + " shrank while growing");
    mapping_ = std::move(fresh);
}

void MmapColumnStore::mmap_append(const BlockView& block) {
    if (block.rows == 0) return;
    if (block.cols != ncols_)
        throw MirotError::invalid_shape({static_cast<std::size_t>(nrows_), static_cast<std::size_t>(ncols_)},
                                        {block.rows, block.cols});
    std::uint64_t total;
    if (__builtin_add_overflow(nrows_, static_cast<std::uint64_t>(block.rows), &total))
        throw MirotError::invalid_parameter("row count overflows");
    ensure_capacity(total);
    if (stride_ != 0) {
        // Both fit the mapping, so neither product can overflow.
        auto* dst = reinterpret_cast<double*>(mapping_.data() + nrows_ * stride_);
        if (block.is_row_major()) {
            std::memcpy(dst, block.data, block.rows * stride_);
        } else {
            for (std::size_t i = 0; i < block.rows; ++i)
                for (std::size_t j = 0; j < block.cols; ++j) *dst++ = block(i, j);
        }
    }
    nrows_ = total;
}

Matrix MmapColumnStore::mmap_gather(std::span<const std::uint64_t> indices) const {
    Matrix out;
    std::uint64_t count;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(indices.size()), ncols_, &count) ||
        count > std::numeric_limits<std::size_t>::max() / sizeof(double))
        throw MirotError::invalid_parameter("gather size overflows");
    out.rows = indices.size();
    out.cols = ncols_;
    out.values.assign(count, 0.0);
    double* dst = out.values.data();
    for (std::uint64_t i : indices) {
        if (i >= nrows_)
            throw MirotError::invalid_parameter("row " + std::to_string(i) + " out of range [0, " +
                                                std::to_string(nrows_) + ")");
        if (ncols_ != 0) std::memcpy(dst, row(i), stride_);
        dst += ncols_;
    }
    return out;
}

void MmapColumnStore::release_resident_pages() {
    FileMapping fresh = FileMapping::map_file(file_.get());
    // Someone else cut the file: rows in use would lie outside the new mapping.
    if (fresh.size() < nrows_ * stride_) throw MirotError::invalid_parameter(path_ + " is shorter than its rows");
    mapping_ = std::move(fresh);
}

}  // namespace mirot
