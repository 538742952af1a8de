#include "mirot/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "mirot/io_fault.h"
#include "mirot/posix_file.h"

namespace mirot {

void write_file_synced(const std::string& path, std::string_view bytes) {
    if (int code = take_io_fault(IoFault::Open)) throw os_error(code);
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw os_error(errno);
    UniqueFd file(fd);
    write_all(file.get(), bytes);
    sync_fd(file.get());
    if (::close(file.release()) != 0 && errno != EINTR) throw os_error(errno);
}

std::string parent_directory(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

void write_file_atomic(const std::string& path, std::string_view bytes) {
    std::string tmp = path + ".tmp";
    try {
        write_file_synced(tmp, bytes);
        rename_path(tmp, path);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    sync_directory(parent_directory(path));
}

}  // namespace mirot
