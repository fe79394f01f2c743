#pragma once

#include <cstdint>
#include <string>

namespace vorel {

// Local wall-clock time, as the run stamps logs and merges dates.
struct LocalTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Injected so that tests can fix and advance the time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
};

class SystemClock : public Clock {
public:
    LocalTime now() const override;
};

// Seconds since the epoch in strftime's `format`, local time or UTC.
std::string formatTime(std::int64_t seconds, const char* format, bool utc = false);
// "2026-12-07 14:05", as the log and the windows show a moment.
inline std::string minuteText(std::int64_t seconds) {
    return formatTime(seconds, "%Y-%m-%d %H:%M");
}

}  // namespace vorel
