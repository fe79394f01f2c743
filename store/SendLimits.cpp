#include "store/SendLimits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <charconv>
#include <optional>
#include <utility>

#include "store/AppFolder.h"
#include "store/TextFile.h"  // replaceFile, textLines

namespace vorel {

namespace {

// sending.ini is two short lines; msgqueue.sent about 25 bytes a message.
constexpr std::size_t kLimitsFileBytes = 64u << 10;
constexpr std::size_t kSentLogBytes = 4u << 20;

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

std::int64_t saturatingSum(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

std::string trimBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A state file as read: missing, refused (a link, a FIFO, a device, too
// large, unreadable), or its text.
struct StateFile {
    bool exists = false;
    std::optional<std::string> text;
    bool cut = false;  // only its end was read
};

// Opened without following a link and without waiting on a FIFO's writer;
// only a regular file is read. Past `limit` bytes: its last `limit` bytes
// when `tail` (the newest lines of a log), else nothing.
StateFile readStateFile(const std::string& path, std::size_t limit, bool tail) {
    StateFile out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        out.exists = errno != ENOENT;
        return out;
    }
    out.exists = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (static_cast<std::uint64_t>(st.st_size) > limit && !tail)) {
        ::close(fd);
        return out;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    off_t at = size > limit ? static_cast<off_t>(size - limit) : 0;
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(size, limit)), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::pread(fd, text.data() + got, text.size() - got, at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
        at += n;
    }
    ::close(fd);
    text.resize(got);
    if (size > limit) {
        out.cut = true;
        // The first line is cut: it starts after the first line end.
        const std::size_t nl = text.find('\n');
        text.erase(0, nl == std::string::npos ? text.size() : nl + 1);
    }
    out.text = std::move(text);
    return out;
}

// One value of sending.ini: absent, read well, or unreadable as written.
struct LimitValue {
    bool present = false;
    std::optional<long> value;
    std::string written;
};
struct LimitValues {
    LimitValue daily, pace;
};

LimitValues parseLimits(const std::string& text) {
    LimitValues values;
    for (const std::string& line : textLines(text)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = trimBlanks(line.substr(0, eq));
        LimitValue* v = key == "dailylimit" ? &values.daily
                        : key == "pace"     ? &values.pace
                                            : nullptr;
        if (v == nullptr) {
            continue;
        }
        v->present = true;
        v->written = line.substr(eq + 1);
        const std::string digits = trimBlanks(v->written);
        v->value.reset();
        if (!digits.empty() && std::all_of(digits.begin(), digits.end(),
                                           [](char c) { return c >= '0' && c <= '9'; })) {
            // Too many digits for a number is more than any limit.
            const auto n = number(digits);
            v->value = n ? clampedLong(*n) : 100000000L;
        }
    }
    return values;
}

std::string limitsText(const SendLimits& limits) {
    return "dailylimit=" + std::to_string(limits.dailyLimit < 0 ? 0 : limits.dailyLimit) +
           "\r\npace=" + std::to_string(limits.pace < 0 ? 0 : limits.pace) + "\r\n";
}

// A value as the log shows it: printable, and short.
std::string shown(const std::string& written) {
    std::string out;
    for (const char c : written.substr(0, 40)) {
        const auto u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7f ? '?' : c;
    }
    return written.size() > 40 ? out + "..." : out;
}

}  // namespace

namespace {

CheckedSendLimits checkedLimits(const std::string& folder, bool remember) {
    CheckedSendLimits out;
    const StateFile file =
        readStateFile(joinPath(folder, kSendLimitsFile), kLimitsFileBytes, false);
    const StateFile lastFile =
        readStateFile(joinPath(folder, kLastSendLimitsFile), kLimitsFileBytes, false);
    const LimitValues last = lastFile.text ? parseLimits(*lastFile.text) : LimitValues{};
    LimitValues now;
    // UTF-16 and other binary text reads as nothing, not as "no limit".
    const bool whole = file.text && file.text->find('\0') == std::string::npos;
    if (whole) {
        now = parseLimits(*file.text);
    } else if (file.exists) {
        out.problems.push_back(std::string(kSendLimitsFile) +
                               " cannot be read (it must be a plain text file of at most 64 KiB)");
        now.daily = {true, std::nullopt, {}};
        now.pace = {true, std::nullopt, {}};
    }
    const auto pick = [&](const char* key, const LimitValue& v, const LimitValue& kept) -> long {
        if (v.value || !v.present) {
            return v.value.value_or(0);
        }
        const std::string holds =
            kept.value ? "the value last read well, " + std::to_string(*kept.value) + ", holds"
                       : "no limit holds";
        if (whole) {
            out.problems.push_back("The value \"" + shown(v.written) + "\" of " + key + " in " +
                                   kSendLimitsFile + " is not a whole number: " + holds);
        }
        return kept.value.value_or(0);
    };
    out.limits.dailyLimit = pick("dailylimit", now.daily, last.daily);
    out.limits.pace = pick("pace", now.pace, last.pace);
    if (!whole && file.exists && (last.daily.value || last.pace.value)) {
        out.problems.back() += ": the values last read well hold (dailylimit=" +
                               std::to_string(out.limits.dailyLimit) +
                               ", pace=" + std::to_string(out.limits.pace) + ")";
    }
    // Remembered as they read now, a bad value keeping the last good one.
    const std::string remembered = limitsText(out.limits);
    if (remember && whole && (!lastFile.text || *lastFile.text != remembered)) {
        try {
            replaceFile(joinPath(folder, kLastSendLimitsFile), remembered, 0600);
        } catch (const std::exception&) {
            // Costs only the memory of a good value.
        }
    }
    return out;
}

}  // namespace

SendLimits readSendLimits(const std::string& folder) {
    return checkedLimits(folder, false).limits;
}

CheckedSendLimits readSendLimitsForRun(const std::string& folder) {
    return checkedLimits(folder, true);
}

void writeSendLimits(const std::string& folder, const SendLimits& limits) {
    replaceFile(joinPath(folder, kSendLimitsFile), limitsText(limits), 0600);
}

long daysToSend(std::int64_t recipients, long dailyLimit) {
    if (dailyLimit <= 0 || recipients <= dailyLimit) {
        return 1;
    }
    return static_cast<long>((recipients + dailyLimit - 1) / dailyLimit);
}

SentLog::SentLog(std::string folder, std::int64_t now) : path_(joinPath(folder, kSentLogFile)) {
    const StateFile file = readStateFile(path_, kSentLogBytes, true);
    const std::optional<std::vector<std::string>> lines =
        file.text ? std::optional(textLines(*file.text)) : std::nullopt;
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
            total_ = saturatingSum(total_, *count);
            kept += line + "\n";
        }
        // Only the window's entries stay, so the file never grows past a day.
        if (entries_.size() != lines->size() || file.cut) {
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

std::vector<std::int64_t> SentLog::lastSends(std::size_t count) const {
    std::vector<std::int64_t> out;
    for (const Entry& e : entries_) {
        out.push_back(e.when);
    }
    std::sort(out.begin(), out.end());
    out.erase(out.begin(), out.end() - static_cast<long>(std::min(count, out.size())));
    return out;
}

void SentLog::add(std::int64_t when, std::int64_t recipients) {
    entries_.push_back({when, recipients});
    total_ = saturatingSum(total_, recipients);
    const std::string line = std::to_string(when) + " " + std::to_string(recipients) + "\n";
    const int fd = ::open(
        path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            (void)!::write(fd, line.data(), line.size());
        }
        ::close(fd);
    }
}

}  // namespace vorel
