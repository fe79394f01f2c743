#pragma once

#include <string_view>

namespace vorel {

// Writes every byte to the descriptor, however many writes it takes (a
// write may be cut short or interrupted by a signal). Returns 0, or the errno
// of the write that failed.
int writeAll(int fd, std::string_view bytes);

}  // namespace vorel
