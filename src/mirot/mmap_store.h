#pragma once
// A table of f64 rows kept in one file and mapped whole, read-write and shared.
// The file is raw little-endian binary64 values, row-major, no header: row r starts
// at byte r * ncols * 8. The row count in use lives elsewhere (the caller records
// it) and the file may be longer than the rows in use: it grows in steps of at
// least 64 rows so that most appends make no system call.
//
// No lock of its own: appends, growth and release need exclusive access, reads may
// share. Growth and release replace the mapping, so no address taken from it may be
// kept across an exclusive section.

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "mirot/matrix.h"
#include "mirot/posix_file.h"

namespace mirot {

static_assert(std::endian::native == std::endian::little, "column files are read in place as little-endian");

class MmapColumnStore {
public:
    MmapColumnStore(MmapColumnStore&&) noexcept = default;
    MmapColumnStore& operator=(MmapColumnStore&&) noexcept = default;

    // Makes room for at least `rows` rows in total (rows in use included).
    void ensure_capacity(std::uint64_t rows);
    // Appends a block of rows (any layout). A block of zero rows is accepted whatever
    // its width; otherwise its width must be ncols. On failure nothing changes.
    void mmap_append(const BlockView& block);
    // A new array with the given rows, in order; repeats allowed.
    Matrix mmap_gather(std::span<const std::uint64_t> indices) const;
    // Maps the file anew, dropping the pages the process held resident.
    void release_resident_pages();

    const std::string& path() const { return path_; }
    std::uint64_t ncols() const { return ncols_; }
    std::uint64_t nrows() const { return nrows_; }
    // Rows the current mapping can hold (the file length seen at the last mapping).
    std::uint64_t capacity_rows() const;
    // The mapped rows; row r is ncols values from data() + r * ncols. Null while
    // the file is empty. Callers keep r below nrows().
    const double* data() const { return reinterpret_cast<const double*>(mapping_.data()); }
    const double* row(std::uint64_t r) const { return data() + r * ncols_; }
    // The mapping's bytes, writable (the backend pre-touches fresh files).
    std::span<std::byte> mapped_bytes() { return {mapping_.data(), mapping_.size()}; }

private:
    friend MmapColumnStore mmap_open_or_create(const std::string& path, std::uint64_t ncols,
                                               std::optional<std::uint64_t> known_nrows);
    MmapColumnStore() = default;

    std::string path_;
    std::uint64_t ncols_ = 0;
    std::uint64_t stride_ = 0;  // bytes per row
    std::uint64_t nrows_ = 0;
    // Bytes from offset 0 whose blocks this store has allocated. A file opened from
    // before may hold holes, so its first growth allocates it whole; later ones only
    // what they add.
    std::uint64_t allocated_ = 0;
    UniqueFd file_;
    FileMapping mapping_;
};

// Opens the file (creating it empty only when it does not exist) and maps it.
// `known_nrows` is the row count in use as recorded elsewhere; it must fit the file.
// Without it the rows are the whole rows the file holds.
MmapColumnStore mmap_open_or_create(const std::string& path, std::uint64_t ncols,
                                    std::optional<std::uint64_t> known_nrows);

}  // namespace mirot
