#include "mirot/posix_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>

#include "mirot/io_fault.h"

namespace mirot {

std::string os_error_text(int code) {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

MirotError os_error(int code) { return MirotError::invalid_parameter(os_error_text(code)); }

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void UniqueFd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileMapping::FileMapping(FileMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void FileMapping::reset() {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

FileMapping FileMapping::map_file(int fd) {
    struct stat st = fstat_fd(fd);
    if (st.st_size < 0) throw MirotError::invalid_parameter("memory map length overflows isize");
    FileMapping m;
    if (st.st_size == 0) return m;
    auto len = static_cast<std::size_t>(st.st_size);
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) throw os_error(errno);
    m.data_ = static_cast<std::byte*>(p);
    m.size_ = len;
    return m;
}

bool path_exists(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return true;
    if (errno == ENOENT) return false;
    throw os_error(errno);
}

void create_file_exclusive(const std::string& path) {
    if (int code = take_io_fault(IoFault::Open)) throw os_error(code);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return;
        throw os_error(errno);
    }
    ::close(fd);
}

UniqueFd open_read_write(const std::string& path) {
    if (int code = take_io_fault(IoFault::Open)) throw os_error(code);
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw os_error(errno);
    return UniqueFd(fd);
}

struct stat fstat_fd(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw os_error(errno);
    return st;
}

void allocate_file(int fd, std::uint64_t length, std::uint64_t from) {
    if (length == 0) return;
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        throw MirotError::invalid_parameter("out of range integral type conversion attempted");
    auto len = static_cast<off_t>(length);
    // Only the range asked for: allocation walks the extents it covers, and a growing
    // file would otherwise pay for its whole length at every step.
    const auto start = static_cast<off_t>(std::min(from, length - 1));
    const off_t before = fstat_fd(fd).st_size;
    int rc = take_io_fault(IoFault::Allocate);
    if (rc != 0) {
        // A full disk can fail an allocation after it has extended the file part of the way;
        // the seam leaves such a part behind too.
        if (before < len) (void)::ftruncate(fd, before + (len - before) / 2);
    } else {
        do {
            rc = ::posix_fallocate(fd, start, len - start);
        } while (rc == EINTR);
    }
    if (rc == 0) return;
    if (rc != EOPNOTSUPP && rc != EINVAL) {
        // Files grow by whole rows only, and a reopen relies on that: what a failed
        // allocation added is cut off again.
        if (fstat_fd(fd).st_size > before) {
            int r;
            do {
                r = ::ftruncate(fd, before);
            } while (r != 0 && errno == EINTR);
        }
        throw os_error(rc);
    }
    // Never shorten: the file may already be longer than asked.
    if (fstat_fd(fd).st_size >= len) return;
    int r;
    do {
        r = ::ftruncate(fd, len);
    } while (r != 0 && errno == EINTR);
    if (r != 0) throw os_error(errno);
}

void write_all(int fd, std::string_view bytes) {
    if (int code = take_io_fault(IoFault::Write)) throw os_error(code);
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw os_error(errno);
        }
        if (n == 0) throw os_error(EIO);
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void sync_fd(int fd) {
    if (int code = take_io_fault(IoFault::Fsync)) throw os_error(code);
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    if (r != 0) throw os_error(errno);
}

void rename_path(const std::string& from, const std::string& to) {
    if (int code = take_io_fault(IoFault::Rename)) throw os_error(code);
    if (::rename(from.c_str(), to.c_str()) != 0) throw os_error(errno);
}

void sync_directory(const std::string& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw os_error(errno);
    UniqueFd owner(fd);
    if (int code = take_io_fault(IoFault::Fsync)) throw os_error(code);
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    // Some file systems cannot sync a directory at all; that is not a failed write.
    if (r != 0 && errno != EINVAL && errno != EROFS) throw os_error(errno);
}

void create_directories(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw os_error(ec.value());
}

std::string read_regular_file(const std::string& path, std::size_t max_bytes) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw os_error(errno);
    UniqueFd file(fd);
    const struct stat st = fstat_fd(file.get());
    if (!S_ISREG(st.st_mode)) throw MirotError::invalid_parameter(path + " is not a regular file");
    auto too_large = [&] {
        return MirotError::invalid_parameter(path + " is larger than " + std::to_string(max_bytes) + " bytes");
    };
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) throw too_large();
    std::string out;
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw os_error(errno);
        }
        if (n == 0) break;
        // The file may grow while it is read.
        if (static_cast<std::size_t>(n) > max_bytes - out.size()) throw too_large();
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::optional<std::string> read_file_bounded(const std::string& path, std::size_t max_bytes) {
    try {
        return read_regular_file(path, max_bytes);
    } catch (const MirotError&) {
        return std::nullopt;
    }
}

}  // namespace mirot
