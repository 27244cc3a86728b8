// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where a host's millisecond 0 began on std::chrono::steady_clock, found by
// watching its clock turn (to a microsecond or two). Lets a test or a
// benchmark act at chosen host milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "host/api/HostAutomation.h"

namespace vlx::test {

inline std::int64_t steadyMicrosNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Each reading of the host clock, bracketed by two of the steady clock,
// bounds where millisecond 0 began; readings across a few turns of the
// millisecond narrow the bounds to a microsecond or two, and a reading
// preempted in the middle only bounds loosely instead of misleading.
inline std::int64_t hostMillisecondZeroMicros(HostAutomation& host) {
    std::int64_t low = 0, high = 0;
    const std::int64_t until = steadyMicrosNow() + 20'000;
    for (bool first = true; first || (high - low > 2 && steadyMicrosNow() < until); first = false) {
        const std::int64_t before = steadyMicrosNow();
        const std::int64_t ms = host.HostTime();
        const std::int64_t after = steadyMicrosNow();
        low = first ? before - ms * 1000 - 999 : std::max(low, before - ms * 1000 - 999);
        high = first ? after - ms * 1000 : std::min(high, after - ms * 1000);
    }
    return high;
}

// Sleeps until the steady clock reads `us`.
inline void sleepUntilMicros(std::int64_t us) {
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(us)));
}

}  // namespace vlx::test
