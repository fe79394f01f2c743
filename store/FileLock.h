#pragma once

#include <chrono>
#include <string>

namespace vorel {

// An exclusive lock (flock) on a lock file, created when missing. The kernel
// releases it when the process dies, so a crashed holder never blocks anyone.
// Two locks on one file conflict within one process too.
class FileLock {
public:
    // wait: block until the lock is free; otherwise try once (see held()).
    // Throws std::runtime_error when the lock file cannot be opened.
    FileLock(const std::string& path, bool wait);
    // Waits at most `wait` for the lock (see held()).
    FileLock(const std::string& path, std::chrono::milliseconds wait);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }

private:
    void open(const std::string& path);
    bool tryLock(bool wait);
    int fd_ = -1;
    bool held_ = false;
};

// Lock files of the application folder.
inline constexpr char kRunLockFile[] = "run.lock";         // one mail run at a time
inline constexpr char kQueueLockFile[] = "msgqueue.lock";  // one writer of the queue at a time

}  // namespace vorel
