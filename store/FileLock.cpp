#include "store/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "base/WriteAll.h"

namespace vorel {

FileLock::FileLock(const std::string& path, bool wait) {
    open(path);
    held_ = tryLock(wait);
}

FileLock::FileLock(const std::string& path, std::chrono::milliseconds wait) {
    open(path);
    // flock has no time-out of its own: try again every little while.
    const auto until = std::chrono::steady_clock::now() + wait;
    held_ = tryLock(false);
    while (!held_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        held_ = tryLock(false);
    }
}

void FileLock::open(const std::string& path) {
    fd_ = openNoFollow(path, O_RDWR | O_CREAT, 0600);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path + ": " + fileErrorText(errno));
    }
}

bool FileLock::tryLock(bool wait) {
    int rc = 0;
    do {
        rc = ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

FileLock::~FileLock() {
    // Closing the descriptor releases the lock.
    ::close(fd_);
}

}  // namespace vorel
