#include "store/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorel {

FileLock::FileLock(const std::string& path, bool wait) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    }
    int rc = 0;
    do {
        rc = ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    held_ = rc == 0;
}

FileLock::~FileLock() {
    // Closing the descriptor releases the lock.
    ::close(fd_);
}

}  // namespace vorel
