#include "platform/clock.h"

#include "platform/platform.h"

namespace quillon::platform {

void chooseClock(Clock& clock, bool forceTimer) {
    std::int64_t frequency = 0;
    if (!forceTimer && platform::perfFrequency(&frequency) && frequency > 0) {
        clock.usePerformanceCounter = true;
        clock.clockFrequency = frequency;
        clock.timerPeriod = 0;
        return;
    }
    clock.usePerformanceCounter = false;
    clock.timerPeriod = platform::timerMinPeriodMs();
    clock.clockFrequency = 1000;
}

std::int64_t clockNow(const Clock& clock) {
    if (clock.usePerformanceCounter) {
        return platform::perfCounter();
    }
    // The period is raised only around the read so the server never holds the
    // system timer at high resolution while idle.
    platform::timerBeginPeriod(clock.timerPeriod);
    const std::uint32_t ms = platform::timerMs();
    platform::timerEndPeriod(clock.timerPeriod);
    return static_cast<std::int64_t>(ms);
}

std::int32_t mulDiv(std::int32_t a, std::int32_t b, std::int32_t c) {
    if (c == 0) {
        return -1;
    }
    std::int64_t product = static_cast<std::int64_t>(a) * b;
    std::int64_t divisor = c;
    if (divisor < 0) {
        product = -product;
        divisor = -divisor;
    }
    const std::int64_t half = divisor / 2;
    const std::int64_t result =
        product >= 0 ? (product + half) / divisor : (product - half) / divisor;
    // Like the Windows call, INT32_MIN counts as overflow.
    if (result > INT32_MAX || result < -INT32_MAX) {
        return -1;
    }
    return static_cast<std::int32_t>(result);
}

} // namespace quillon::platform
