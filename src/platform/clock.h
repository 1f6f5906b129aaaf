// The server's one clock, chosen once at start-up and read by every position
// calculation, plus the rounded multiply-divide those calculations use.
#pragma once

#include <cstdint>

namespace quillon::platform {

struct Clock {
    bool usePerformanceCounter = false;
    std::int64_t clockFrequency = 1000; // ticks per second
    std::uint32_t timerPeriod = 0;      // ms; only used by the millisecond fall-back
};

// Main thread, start-up. forceTimer selects the millisecond fall-back even when
// a high-resolution counter exists, so tests can exercise it.
void chooseClock(Clock& clock, bool forceTimer = false);

// Any thread; callback-safe. Ticks of clock.clockFrequency per second.
std::int64_t clockNow(const Clock& clock);

// a * b / c with a 64-bit intermediate, rounded half away from zero; -1 when c
// is 0 or the result does not fit. Same contract as the Windows call, so
// position arithmetic gives identical answers on both platforms.
std::int32_t mulDiv(std::int32_t a, std::int32_t b, std::int32_t c);

} // namespace quillon::platform
