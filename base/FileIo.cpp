#include "base/FileIo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/WriteAll.h"

namespace vorel {

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return all.str();
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
