// The host clock: milliseconds since the host was made, 32 bits, wrapping.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "host/RealHost.h"

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

TEST(HostClock, EachHostMillisecondBeginsWhereTheClockTurnsToItNearestNowAcrossTheWrap) {
    const HostClock clock;
    const std::int64_t start = clock.startMicros();
    constexpr std::int64_t kMs = 1000, kWrap = std::int64_t{1} << 32;
    struct Case {
        std::int64_t nowMs;  // since the start, unwrapped
        std::int64_t wantMs;  // the millisecond asked for, unwrapped
    };
    for (const auto& c : {Case{1, 5}, Case{1, 1}, Case{1, 0}, Case{3, 1}, Case{kWrap + 5, kWrap + 10},
                          Case{kWrap - 2, kWrap + 3}, Case{kWrap + 3, kWrap - 5}, Case{(kWrap >> 1) - 1, kWrap >> 1}}) {
        for (const std::int64_t within : {0, 1, 999}) {
            const auto hostMs = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.wantMs));
            const std::int64_t at = clock.startMicrosOf(hostMs, start + c.nowMs * kMs + within);
            EXPECT_EQ(at, start + c.wantMs * kMs) << c.nowMs << " " << c.wantMs << " +" << within;
            EXPECT_EQ(clock.hostTimeAt(at), hostMs);
            EXPECT_NE(clock.hostTimeAt(at - 1), hostMs);
        }
    }
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
