#include "base/Clock.h"

#include <ctime>

namespace vorel {

LocalTime SystemClock::now() const {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

std::string formatTime(std::int64_t seconds, const char* format, bool utc) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (utc) {
        gmtime_r(&t, &tm);
    } else {
        localtime_r(&t, &tm);
    }
    char text[64];
    return std::strftime(text, sizeof text, format, &tm) ? text : "";
}

}  // namespace vorel
