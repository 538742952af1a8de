#pragma once
// Thin owners of POSIX file descriptors and shared mappings, and the few file calls
// the index library makes. Failures become MirotError::InvalidParameter holding the
// system's text of the error code, "<description> (os error N)".

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mirot/error.h"

namespace mirot {

std::string os_error_text(int code);
MirotError os_error(int code);

// Owns one open descriptor; closes it when destroyed. Move-only.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// A shared read-write mapping of a whole file from offset 0. An empty file maps to
// nothing (null data, size 0): there is no byte that could be touched. Move-only;
// unmapped when destroyed.
class FileMapping {
public:
    FileMapping() = default;
    FileMapping(FileMapping&& other) noexcept;
    FileMapping& operator=(FileMapping&& other) noexcept;
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    ~FileMapping() { reset(); }

    // Maps the file's current length, as fstat reports it.
    static FileMapping map_file(int fd);

    std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }
    void reset();

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

// True when `path` exists, false when it does not (ENOENT); any other failure of
// stat is an error, so that a file is never recreated because it could not be seen.
bool path_exists(const std::string& path);

// Creates an empty file exclusively (0666 before the umask); losing a race to
// another creator is fine, and an existing file is never truncated.
void create_file_exclusive(const std::string& path);

UniqueFd open_read_write(const std::string& path);

struct stat fstat_fd(int fd);

// Makes the file at least `length` bytes long with the blocks of [from, length)
// allocated, so that a full disk shows here rather than as a fault when a mapped page
// is first written. Falls back to ftruncate only on file systems that refuse allocation.
void allocate_file(int fd, std::uint64_t length, std::uint64_t from = 0);

void write_all(int fd, std::string_view bytes);
void sync_fd(int fd);
void rename_path(const std::string& from, const std::string& to);
// Makes a rename inside `dir` durable.
void sync_directory(const std::string& dir);
// Creates the directory and every missing parent (0777 before the umask).
void create_directories(const std::string& dir);

// The whole of a regular file of at most `max_bytes`. Opened without blocking and read
// only when regular: a FIFO would hang the caller, a device would never end. Throws the
// system's text, "<path> is not a regular file" or "<path> is larger than N bytes".
std::string read_regular_file(const std::string& path, std::size_t max_bytes);
// read_regular_file, or nothing when it fails.
std::optional<std::string> read_file_bounded(const std::string& path, std::size_t max_bytes);

}  // namespace mirot
