#pragma once

#include "base/Clock.h"

namespace vorel::test {

// A clock that stands still at `t` (tests may move it).
class FixedClock : public Clock {
public:
    FixedClock() = default;
    explicit FixedClock(const LocalTime& at) : t(at) {}
    LocalTime now() const override { return t; }

    LocalTime t{2026, 12, 5, 12, 34, 56};
};

}  // namespace vorel::test
