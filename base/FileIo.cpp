#include "base/FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/WriteAll.h"

namespace vorel {

std::optional<std::string> readWholeFile(const std::string& path, std::size_t slack, int* error) {
    const auto failed = [error](int err) -> std::optional<std::string> {
        if (error) {
            *error = err;
        }
        return std::nullopt;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return failed(errno);
    }
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        out.reserve(static_cast<std::size_t>(st.st_size) + slack);
    }
    char buffer[64 * 1024];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            if (n < 0) {
                return failed(err);
            }
            return out;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

namespace {

// Links the new file to a free name; never replaces a file there.
int linkIfFree(const std::string& temp, const std::string& path) {
    if (::link(temp.c_str(), path.c_str()) == 0) {
        return 0;
    }
    const int err = errno;
    if (::access(path.c_str(), F_OK) == 0) {
        return EEXIST;
    }
    // Some file systems have no hard links; rename is the fall-back.
    if ((err == EPERM || err == ENOTSUP || err == EXDEV) &&
        ::rename(temp.c_str(), path.c_str()) == 0) {
        return 0;
    }
    return err;
}

}  // namespace

int writeFileAtomically(const std::string& path, mode_t mode, const FileFiller& fill,
                        ExistingFile existing, WriteStep* failed) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    const auto failAt = [&](WriteStep step, int err) {
        if (failed) {
            *failed = step;
        }
        return err;
    };
    if (fd < 0) {
        return failAt(WriteStep::Create, errno);
    }
    int err = ::fchmod(fd, mode) == 0 ? fill(fd, temp) : errno;
    // Flushed before it takes the name, so a crash cannot leave an empty file there.
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return failAt(WriteStep::Write, err);
    }
    if (existing == ExistingFile::Replace) {
        err = ::rename(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
        if (err != 0) {
            ::unlink(temp.c_str());
        }
    } else {
        err = linkIfFree(temp, path);
        // Linked, the new file has two names; the temporary one goes.
        ::unlink(temp.c_str());
    }
    return err == 0 ? 0 : failAt(WriteStep::Publish, err);
}

int writeFileAtomically(const std::string& path, std::string_view content, mode_t mode) {
    return writeFileAtomically(
        path, mode, [content](int fd, const std::string&) { return writeAll(fd, content); });
}

}  // namespace vorel
