#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace vorel {

// The lines of a text file without their line ends. CR LF and LF both end a
// line; a last line without a line end counts. std::nullopt when the file
// cannot be read.
std::optional<std::vector<std::string>> readTextLines(const std::string& path);
// The same for a text already read.
std::vector<std::string> textLines(const std::string& text);

// Replaces `path` with `content`: written to a temporary file in the same
// folder, flushed, and renamed over the old file, so a failure leaves the old
// file as it was. The new file gets `mode`. Throws std::runtime_error.
void replaceFile(const std::string& path, const std::string& content, mode_t mode);

// A value as one line of a line-per-value file: a line break inside it would
// shift every later value, so CR and LF become blanks.
std::string asOneLine(const std::string& value);

}  // namespace vorel
