#pragma once

#include <cstddef>
#include <istream>
#include <string>

namespace vorel {

// Reads the lines of an import file: each ends at CR LF, LF or CR, and a last
// line without an end counts. At most `limit` bytes of a line are kept; the
// rest of a longer line is read and dropped, so that a file of one huge line
// costs no more memory than a short one and the next line still starts right.
class ImportLineReader {
public:
    ImportLineReader(std::istream& in, std::size_t limit) : in_(in), limit_(limit) {}
    // The next line without its end; false at the end of the input. `cut`
    // tells whether the line was longer than the limit.
    bool next(std::string& line, bool& cut);

private:
    std::istream& in_;
    std::size_t limit_;
};

// No address with its display name comes near this; a longer line is
// reported, not searched for an address.
inline constexpr std::size_t kLongestImportLine = 64 * 1024;

}  // namespace vorel
