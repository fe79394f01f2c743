#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorel {

// The provider's sending limits, kept in sending.ini beside setup.ini (whose
// 18 lines keep their meaning for every reader): "dailylimit=N" (recipients
// per 24 hours) and "pace=N" (messages per minute); 0 or missing = none.
struct SendLimits {
    long dailyLimit = 0;
    long pace = 0;
};

inline constexpr char kSendLimitsFile[] = "sending.ini";
// The values last read well from sending.ini, in its form, for the runs that
// find it damaged.
inline constexpr char kLastSendLimitsFile[] = "msgqueue.limits";
// The limits as a run would apply them (see below), for the windows and
// `vorel post`; remembers nothing.
SendLimits readSendLimits(const std::string& folder);

// The limits a sending step applies: each value of sending.ini that reads
// well (blanks trimmed, decimal digits only), else the one last read well,
// else none; `problems` has one log line per value (or file) that does not
// read. The values read well are remembered in msgqueue.limits.
struct CheckedSendLimits {
    SendLimits limits;
    std::vector<std::string> problems;
};
CheckedSendLimits readSendLimitsForRun(const std::string& folder);
// Writes sending.ini (owner-only). Throws std::runtime_error.
void writeSendLimits(const std::string& folder, const SendLimits& limits);

// How many days a post to `recipients` members takes under `dailyLimit`
// (1 without a limit; at least 1).
long daysToSend(std::int64_t recipients, long dailyLimit);

// The recipients sent to in the last 24 hours, kept in msgqueue.sent (one
// line "<seconds since the epoch> <recipients>" per message) so that the
// allowance and the pace hold across runs.
inline constexpr char kSentLogFile[] = "msgqueue.sent";
class SentLog {
public:
    // Reads the entries of the 24 hours before `now`; a missing file counts
    // as nothing sent, a damaged line as nothing. Only a regular file is
    // read, and of a large one only its last entries.
    SentLog(std::string folder, std::int64_t now);
    std::int64_t sentInWindow() const { return total_; }
    // When the last `count` messages went, oldest first.
    std::vector<std::int64_t> lastSends(std::size_t count) const;
    // Recipients still allowed now under `dailyLimit` (0 = none: unlimited).
    std::int64_t remaining(long dailyLimit) const;
    // When the allowance next grows: the oldest entry's time + 24 hours.
    std::int64_t opensAt() const;
    // Adds an entry and appends it to the file (a failure costs only the count).
    void add(std::int64_t when, std::int64_t recipients);

private:
    struct Entry {
        std::int64_t when;
        std::int64_t recipients;
    };
    std::string path_;
    std::vector<Entry> entries_;
    std::int64_t total_ = 0;
};

inline constexpr std::int64_t kSendWindowSeconds = 24 * 60 * 60;

}  // namespace vorel
