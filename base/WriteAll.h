#pragma once

#include <string_view>

namespace vorel {

// Writes every byte to the descriptor, however many writes it takes (a
// write may be cut short or interrupted by a signal). Returns 0, or the errno
// of the write that failed.
int writeAll(int fd, std::string_view bytes);

}  // namespace vorel

#include <sys/types.h>

#include <string>

namespace vorel {

// Opens a file of the application folder without following a symbolic link
// (O_NOFOLLOW, O_CLOEXEC added): a link planted under one of our names would
// otherwise have mail, logs or queue records written to wherever it points.
// Returns the descriptor, or -1 with errno set (ELOOP for a link).
int openNoFollow(const std::string& path, int flags, mode_t mode = 0600);

// Cuts a file to `size` through openNoFollow. Returns 0 or the errno.
int truncateNoFollow(const std::string& path, off_t size);

// The reason an open or write failed, as a log line shows it: a refused
// link is named as such rather than as "Too many levels of symbolic links".
std::string fileErrorText(int err);

}  // namespace vorel
