#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorel {

// The whole content of a file, following links (a user's own file may be
// one); std::nullopt when it cannot be opened or read to its end, with the
// errno in `error` (EISDIR for a folder). The string is sized once for the
// file and `slack` more bytes, so that a caller that grows it a little (a
// longer header block) does not copy a large file again.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t slack = 0,
                                         int* error = nullptr);

// What an atomic write does with a file already at the path.
enum class ExistingFile {
    Replace,  // renamed over it
    Keep,     // left alone: the new file is linked to the name only when it is free
};
// The step of an atomic write that failed.
enum class WriteStep { Create, Write, Publish };

// Writes the new file's content to the descriptor; returns 0 or an errno.
using FileFiller = std::function<int(int fd, const std::string& tempPath)>;

// Gives `path` new content in one step, so that a reader sees the old file or
// the new one, never a part: `fill` writes into a new file made beside `path`
// (the same folder, so the rename cannot cross file systems) with `mode`; it
// is flushed to disk and then takes the name. A failure removes the new file
// and leaves `path` as it was. Returns 0, or the errno of the failed step
// (`failed` says which); with ExistingFile::Keep, EEXIST when the name was
// taken, by this file or another.
int writeFileAtomically(const std::string& path, mode_t mode, const FileFiller& fill,
                        ExistingFile existing = ExistingFile::Replace, WriteStep* failed = nullptr);
int writeFileAtomically(const std::string& path, std::string_view content, mode_t mode);

}  // namespace vorel
