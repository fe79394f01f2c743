#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vorel {

// A list on the run window that is emptied when it already holds more than
// `limit` lines before a new one goes in: lstLOG (15) and lstdebug (10).
class ScreenList {
public:
    explicit ScreenList(std::size_t limit) : limit_(limit) {}

    // Returns true when the list was emptied before the line went in.
    bool add(const std::string& line) {
        bool cleared = lines_.size() > limit_;
        if (cleared) {
            lines_.clear();
        }
        lines_.push_back(line);
        return cleared;
    }
    void clear() { lines_.clear(); }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    std::size_t limit_;
    std::vector<std::string> lines_;
};

inline constexpr std::size_t kLogListLimit = 15;
inline constexpr std::size_t kDebugListLimit = 10;

}  // namespace vorel
