#include "store/SendLimits.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <optional>
#include <utility>

#include "store/AppFolder.h"
#include "store/TextFile.h"

namespace vorel {

namespace {

std::optional<std::int64_t> number(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0) {
        return std::nullopt;
    }
    return value;
}

long clampedLong(std::int64_t v) {
    return v > 100000000 ? 100000000L : static_cast<long>(v);
}

}  // namespace

SendLimits readSendLimits(const std::string& folder) {
    SendLimits limits;
    const auto lines = readTextLines(joinPath(folder, kSendLimitsFile));
    if (!lines) {
        return limits;
    }
    for (const std::string& line : *lines) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const auto value = number(line.substr(eq + 1));
        if (!value) {
            continue;
        }
        if (key == "dailylimit") {
            limits.dailyLimit = clampedLong(*value);
        } else if (key == "pace") {
            limits.pace = clampedLong(*value);
        }
    }
    return limits;
}

void writeSendLimits(const std::string& folder, const SendLimits& limits) {
    replaceFile(joinPath(folder, kSendLimitsFile),
                "dailylimit=" + std::to_string(limits.dailyLimit < 0 ? 0 : limits.dailyLimit) +
                    "\r\npace=" + std::to_string(limits.pace < 0 ? 0 : limits.pace) + "\r\n",
                0600);
}

long daysToSend(std::int64_t recipients, long dailyLimit) {
    if (dailyLimit <= 0 || recipients <= dailyLimit) {
        return 1;
    }
    return static_cast<long>((recipients + dailyLimit - 1) / dailyLimit);
}

SentLog::SentLog(std::string folder, std::int64_t now) : path_(joinPath(folder, kSentLogFile)) {
    const auto lines = readTextLines(path_);
    std::string kept;
    if (lines) {
        for (const std::string& line : *lines) {
            const std::size_t blank = line.find(' ');
            const auto when = number(line.substr(0, blank));
            const auto count =
                blank == std::string::npos ? std::nullopt : number(line.substr(blank + 1));
            if (!when || !count || *when <= now - kSendWindowSeconds || *when > now + 60) {
                continue;  // older than the window, damaged, or from a clock set back
            }
            entries_.push_back({*when, *count});
            total_ += *count;
            kept += line + "\n";
        }
        // Only the window's entries stay, so the file never grows past a day.
        if (entries_.size() != lines->size()) {
            try {
                replaceFile(path_, kept, 0600);
            } catch (const std::exception&) {
            }
        }
    }
}

std::int64_t SentLog::remaining(long dailyLimit) const {
    if (dailyLimit <= 0) {
        return INT64_MAX;
    }
    return total_ >= dailyLimit ? 0 : dailyLimit - total_;
}

std::int64_t SentLog::opensAt() const {
    return entries_.empty() ? 0 : entries_.front().when + kSendWindowSeconds;
}

void SentLog::add(std::int64_t when, std::int64_t recipients) {
    entries_.push_back({when, recipients});
    total_ += recipients;
    const std::string line = std::to_string(when) + " " + std::to_string(recipients) + "\n";
    const int fd =
        ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

}  // namespace vorel
