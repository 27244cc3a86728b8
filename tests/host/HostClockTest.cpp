// SPDX-License-Identifier: GPL-3.0-or-later
// The host clock: milliseconds since the host was made, 32 bits, wrapping.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "host/common/RealHost.h"

namespace {

using vlx::host::HostClock;

TEST(HostClock, StartsAtZeroTruncatesToMillisecondsAndWrapsAfterTwoToThe32) {
    const HostClock clock;
    const std::int64_t start = clock.startMicros();
    constexpr std::int64_t kMs = 1000;
    EXPECT_EQ(clock.hostTimeAt(start), 0);
    EXPECT_EQ(clock.hostTimeAt(start + 999), 0);
    EXPECT_EQ(clock.hostTimeAt(start + 1000), 1);
    EXPECT_EQ(clock.hostTimeAt(start + (std::int64_t{1} << 31) * kMs - kMs), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(clock.hostTimeAt(start + (std::int64_t{1} << 31) * kMs), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(clock.hostTimeAt(start + (std::int64_t{1} << 32) * kMs + 5 * kMs), 5);
}

TEST(HostClock, RealHostTimeNeverRunsBackwardsAndSleepAdvancesIt) {
    const HostClock clock;
    std::int32_t previous = clock.now();
    EXPECT_GE(previous, 0);
    for (int i = 0; i < 100000; ++i) {
        const std::int32_t now = clock.now();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

}  // namespace
