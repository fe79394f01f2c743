#include "base/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace vorel {

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace vorel

#include <fcntl.h>

#include <cstring>

namespace vorel {

int openNoFollow(const std::string& path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int truncateNoFollow(const std::string& path, off_t size) {
    const int fd = openNoFollow(path, O_WRONLY);
    if (fd < 0) {
        return errno;
    }
    int err = ::ftruncate(fd, size) == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

std::string fileErrorText(int err) {
    if (err == ELOOP) {
        return "it is a symbolic link, which Vorel does not follow in its folder";
    }
    return std::strerror(err);
}

}  // namespace vorel
