#pragma once
// What the file-reading fuzz targets share: one scratch directory per process,
// removed at exit, and a whole-file writer. The directory lives in memory where it
// can: on a disk, file writes dominate and the fuzzer runs 20 times slower.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? std::filesystem::path("/dev/shm")
                                         : std::filesystem::temp_directory_path();
        std::string pattern = (base / "mirot-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        static std::string to_remove = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(to_remove, ec);
        });
        return pattern;
    }();
    return dir;
}

inline void put_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) std::abort();
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace fuzz
